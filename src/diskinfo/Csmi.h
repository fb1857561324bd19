#pragma once

#include "diskinfo/SatPassThrough.h"
#include "diskinfo/SrbIoControl.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// The requests of the Common Storage Management Interface that a RAID driver takes through
// IOCTL_SCSI_MINIPORT, and its answers, as CSMI's published structures lay them out (packed to 8,
// Windows flavour): SRB_IO_CONTROL, then the request's own structure. Only GET_DRIVER_INFO,
// GET_PHY_INFO and STP_PASSTHRU of a PIO data-in command. Free of <windows.h>: built natively
// under the sanitizers and fuzzed.
class Csmi {
public:
    Csmi() = delete;

    using Buffer = std::vector<std::uint8_t>;
    using Bytes = std::span<const std::uint8_t>;

    static constexpr std::size_t kHeaderSize = SrbIoControl::kSize;
    static constexpr std::uint32_t kTimeoutSeconds = 60; // CSMI_ALL_TIMEOUT, CSMI_SAS_TIMEOUT

    // CSMI_SAS_DRIVER_INFO_BUFFER: the header, szName[81], szDescription[81], six revisions of 16
    // bits (174 bytes), padded to the header's alignment of 4.
    static constexpr std::size_t kDriverInfoSize = 204;
    static constexpr std::size_t kDriverNameAt = kHeaderSize;
    static constexpr std::size_t kDriverNameSize = 81;

    // CSMI_SAS_PHY_INFO_BUFFER: the header, bNumberOfPhys and 3 reserved bytes, 32 entries of
    // CSMI_SAS_PHY_ENTITY (64 bytes: Identify, 8 bytes of port and link, Attached).
    static constexpr std::size_t kPhyInfoSize = 2080;
    static constexpr std::size_t kPhyCountAt = kHeaderSize;
    static constexpr std::size_t kPhysAt = kHeaderSize + 4;
    static constexpr std::size_t kPhyEntrySize = 64;
    static constexpr std::size_t kMaxPhys = 32;
    // Inside an entry: Identify.bPhyIdentifier, bPortIdentifier, and of Attached (at 36) the
    // device type, the target protocols and the SAS address.
    static constexpr std::size_t kPhyIdentifierAt = 20;
    static constexpr std::size_t kPortIdentifierAt = 28;
    static constexpr std::size_t kAttachedTypeAt = 36;
    static constexpr std::size_t kAttachedProtocolAt = 39;
    static constexpr std::size_t kAttachedAddressAt = 48;
    static constexpr std::uint8_t kProtocolSata = 0x01;
    static constexpr std::uint8_t kProtocolStp = 0x04;

    // CSMI_SAS_STP_PASSTHRU_BUFFER: the header; Parameters (44 bytes: phy, port, connection rate,
    // reserved, the destination's SAS address at 4, reserved, the command FIS at 16, uFlags at 36,
    // uDataLength at 40); Status (92 bytes: bConnectionStatus, reserved, the status FIS at 4,
    // uSCR[16], uDataBytes at 88); bDataBuffer. 168 bytes with its one-byte data placeholder and
    // the padding to 4: the request is those and the data, so that a driver that sizes it the
    // structure's way finds room too.
    static constexpr std::size_t kStpSize = 168;
    static constexpr std::size_t kStpParametersAt = kHeaderSize;
    static constexpr std::size_t kStpStatusAt = kStpParametersAt + 44;
    static constexpr std::size_t kStpDataAt = kStpStatusAt + 92;
    static constexpr std::size_t kFisSize = 20;
    static constexpr std::uint32_t kStpReadPio = 0x01 | 0x10; // CSMI_SAS_STP_READ | CSMI_SAS_STP_PIO

    enum ControlCode : std::uint32_t { kGetDriverInfo = 1, kGetPhyInfo = 20, kStpPassThrough = 25 };

    // The zero-filled requests, their headers filled in: Length is every byte after the header.
    static Buffer DriverInfoRequest();
    static Buffer PhyInfoRequest();

    // A SATA device attached to a phy, where STP_PASSTHRU reaches it.
    struct Device {
        std::uint8_t phy = 0;
        std::uint8_t port = 0;
        std::array<std::uint8_t, 8> address{};
    };
    // STP_PASSTHRU of the command in `registers` as a host-to-device register FIS, PIO data in,
    // reading `sectors` 512-byte sectors.
    static Buffer StpRequest(const Device& device, const SatPassThrough::Registers& registers, std::size_t sectors);

    // The driver's name, when it answered GET_DRIVER_INFO with success and a NUL inside szName.
    static std::optional<std::string_view> DriverName(Bytes answer);
    // The SATA devices of a GET_PHY_INFO answer (end devices whose target protocols name SATA or
    // STP), in the order of their phys; none unless the driver answered with success.
    static std::vector<Device> SataDevices(Bytes answer);
    // The data of an STP_PASSTHRU answer: only when the driver ended it with success, the link
    // opened, the drive's status has no error bit and all `length` bytes came.
    static std::optional<Bytes> StpData(Bytes answer, std::size_t length);
    // The user-addressable sectors that IDENTIFY DEVICE names: words 100-103 where it names the
    // 48-bit feature set (word 83 bit 10), else words 60-61.
    static std::uint64_t IdentifySectors(std::span<const std::uint8_t, SatPassThrough::kPageSize> identify);
};
