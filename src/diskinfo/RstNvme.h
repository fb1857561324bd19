#pragma once

#include "diskinfo/SrbIoControl.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// An NVMe drive behind Intel's RST/VMD driver (iaStorAVC, iaStorVD): the driver answers none of
// Windows' NVMe requests for it, but carries an NVMe admin command to it inside
// IOCTL_SCSI_MINIPORT on the port: SRB_IO_CONTROL with the signature "IntelNvm" and the control
// code F0002808h, then the drive's path, target and LUN, the command's sixteen dwords and where
// its data lies in the same buffer. Only four commands are ever built, all reading: Identify
// Controller and Get Log Page of the SMART / Health Information log (02h), the device self-test
// log (06h) and the error information log (01h). Every request is the whole published structure
// with its 4,096-byte data area, so the driver never writes past the buffer whatever it returns.
// Free of <windows.h>: built natively under the sanitizers and fuzzed.
class RstNvme {
public:
    RstNvme() = delete;

    enum class Command : std::uint8_t { HealthLog, IdentifyController, SelfTestLog, ErrorLog };

    // SRB_IO_CONTROL.
    static constexpr std::size_t kHeaderLength = SrbIoControl::kSize;
    static constexpr std::size_t kSignatureAt = SrbIoControl::kSignatureAt;
    static constexpr std::size_t kTimeoutAt = SrbIoControl::kTimeoutAt;
    static constexpr std::size_t kControlCodeAt = SrbIoControl::kControlCodeAt;
    static constexpr std::size_t kReturnCodeAt = SrbIoControl::kReturnCodeAt;
    static constexpr std::size_t kLengthAt = SrbIoControl::kLengthAt;
    // The pass-through behind it, as Intel's RST headers publish it.
    static constexpr std::size_t kVersionAt = 28;
    static constexpr std::size_t kPathAt = 29;
    static constexpr std::size_t kTargetAt = 30;
    static constexpr std::size_t kLunAt = 31;
    static constexpr std::size_t kCommandAt = 32; // CDW0 .. CDW15
    static constexpr std::size_t kNamespaceAt = kCommandAt + 4;
    static constexpr std::size_t kCdw10At = kCommandAt + 40;
    static constexpr std::size_t kDataOffsetAt = 116;
    static constexpr std::size_t kDataLengthAt = 120;
    static constexpr std::size_t kDataAt = 164;
    static constexpr std::size_t kDataCapacity = 4096;
    static constexpr std::size_t kRequestSize = kDataAt + kDataCapacity;

    static constexpr std::uint32_t kControlCode = 0xF0002808; // CTL_CODE(0xF000, 0xA02, METHOD_BUFFERED, FILE_ANY_ACCESS)
    static constexpr std::uint8_t kVersion = 1;
    static constexpr std::uint32_t kSrbStatusSuccess = 1;
    static constexpr std::uint32_t kTimeOutSeconds = 10;

    // The bytes a command moves: a whole 512-byte log, 564 bytes of self-tests, `errorEntries`
    // entries of 64 bytes (up to 64), a 4,096-byte Identify.
    static std::size_t LengthOf(Command command, std::size_t errorEntries);

    using Request = std::array<std::uint8_t, kRequestSize>;
    // The request for `command` to the drive at `path`, `target`, `lun`, every other byte 0.
    static Request Build(Command command, std::uint8_t path, std::uint8_t target, std::uint8_t lun,
                         std::size_t errorEntries = 0);

    // The command's data in the answer (the request's buffer as the driver returned it): only
    // where the driver ended it with SRB_STATUS_SUCCESS. Older and newer drivers refuse the
    // signature or the command with another status.
    static std::optional<std::span<const std::uint8_t>> DataOf(std::span<const std::uint8_t, kRequestSize> answer,
                                                               std::size_t length);
};
