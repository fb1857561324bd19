#pragma once

#include "diskinfo/NvmeHealth.h"
#include "diskinfo/SatPassThrough.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// An NVMe drive in a USB enclosure: the bridge answers neither ATA SMART nor ATA PASS-THROUGH,
// but the three common bridge families each carry an NVMe admin command to the drive inside a
// vendor-specific SCSI command. Only three NVMe commands are ever built, all reading: Get Log
// Page of the SMART / Health Information log and of the device self-test log, and Identify
// Controller. A vendor opcode means
// something else to other bridges, so nothing is sent to a bridge whose USB vendor and product
// IDs are not in the table. Free of <windows.h>: built natively under the sanitizers and fuzzed.
class NvmeBridge {
public:
    NvmeBridge() = delete;

    enum class Family : std::uint8_t { Realtek, ASMedia, JMicron };

    struct UsbId {
        std::uint16_t vendor = 0;
        std::uint16_t product = 0;
    };
    struct KnownBridge {
        UsbId id;
        Family family;
    };
    static constexpr std::size_t kKnownBridges = 20;
    static const std::array<KnownBridge, kKnownBridges>& KnownBridges();

    // The vendor and product IDs of a USB device ID of the form "USB\VID_xxxx&PID_yyyy...",
    // hex digits of either case; nullopt for any other ID.
    static std::optional<UsbId> ParseDeviceId(std::wstring_view deviceId);
    static std::optional<Family> FamilyOf(UsbId id);

    enum class Command : std::uint8_t { HealthLog, IdentifyController, SelfTestLog };
    static constexpr std::size_t kLogSize = NvmeHealth::kLogSize;
    static constexpr std::size_t kIdentifySize = 4096;
    static constexpr std::size_t kSelfTestLogSize = 564;
    static constexpr std::size_t LengthOf(Command command)
    {
        return command == Command::HealthLog ? kLogSize : command == Command::SelfTestLog ? kSelfTestLogSize
                                                                                            : kIdentifySize;
    }
    // Realtek and ASMedia bridges return at most 512 bytes of a log (more times out or returns
    // stale data): the self-test log goes through JMicron's tunnel alone.
    static constexpr bool Fits(Family family, Command command)
    {
        return command != Command::SelfTestLog || family == Family::JMicron;
    }

    // One SCSI command of a tunnel, sent as the SAT route sends its own: 32 bytes of sense and
    // the same time-out.
    enum class Direction : std::uint8_t { In, Out };
    struct Step {
        SatPassThrough::Command cdb{};
        std::uint8_t cdbLength = 16;
        Direction direction = Direction::In;
        std::uint32_t length = 0;
    };
    // Realtek and ASMedia take one command whose data is the answer. JMicron takes three:
    // (a) the 512-byte command descriptor out, (b) the answer in, (c) the 512-byte reply in.
    // No steps for a command that does not fit the family.
    static constexpr std::size_t kMaxSteps = 3;
    struct Steps {
        std::array<Step, kMaxSteps> steps{};
        std::size_t count = 0;
    };
    static Steps StepsOf(Family family, Command command);

    // The JMicron command descriptor: "NVME", the opcode, the namespace and CDW10, every other
    // byte 0 (byte 72 above all, which on these bridges switches power).
    static constexpr std::size_t kJMicronBlockSize = 512;
    using JMicronBlock = std::array<std::uint8_t, kJMicronBlockSize>;
    static JMicronBlock JMicronDescriptor(Command command);

    // What came back for one step.
    struct Answer {
        bool requestSucceeded = false;
        std::uint8_t scsiStatus = 0;
        std::uint32_t transferred = 0; // DataTransferLength as returned
    };
    // The request went through, the command ended GOOD and the whole length came back.
    static bool Completed(const Answer& answer, const Step& step);
    // A JMicron reply counts with "NVME" at its start and a zero status field.
    static bool ReplyCounts(std::span<const std::uint8_t, kJMicronBlockSize> reply);
    // A bridge that did not pass the command on may still end it GOOD with the buffer as it
    // was: an all-zero log or an Identify whose model is not printable text is no answer.
    static bool LogCounts(std::span<const std::uint8_t> log);
    static bool IdentifyCounts(std::span<const std::uint8_t, kIdentifySize> identify);

    // The drive's own identity strings in Identify Controller, as their raw bytes.
    struct Identity {
        std::string_view serial;   // bytes 4-23
        std::string_view model;    // bytes 24-63
        std::string_view firmware; // bytes 64-71
    };
    static Identity IdentityOf(std::span<const std::uint8_t, kIdentifySize> identify);
};
