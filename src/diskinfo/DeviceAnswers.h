#pragma once

#include "diskinfo/AtaSmart.h"
#include "diskinfo/NvmeHealth.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// Readers of the raw bytes that drives put in answer to the inventory's requests. Drives,
// bridges and drivers answer with whatever they like, so every reader stays inside the span
// it is given. This header is free of <windows.h>: it builds natively under the sanitizers
// and the fuzzers as well as for Windows.
class DeviceAnswers {
public:
    DeviceAnswers() = delete;

    // STORAGE_DEVICE_DESCRIPTOR and the strings it points to, as one fixed-size answer.
    static constexpr std::size_t kDescriptorAnswerSize = 1024;
    static constexpr std::size_t kVendorIdOffsetField = 12;
    static constexpr std::size_t kProductIdOffsetField = 16;
    static constexpr std::size_t kProductRevisionOffsetField = 20;
    static constexpr std::size_t kSerialNumberOffsetField = 24;
    static constexpr std::size_t kBusTypeField = 28;
    using DescriptorAnswer = std::span<const std::uint8_t, kDescriptorAnswerSize>;

    // The 8-bit string that the little-endian offset stored at `offsetField` points to, up to
    // its NUL or the end of the answer, whichever comes first. nullopt when the offset is 0
    // (absent) or lies outside the answer.
    static std::optional<std::string_view> DescriptorString(DescriptorAnswer answer, std::size_t offsetField);

    // STORAGE_BUS_TYPE of the descriptor.
    static std::uint32_t DescriptorBusType(DescriptorAnswer answer);

    // Whether the descriptor is a hypervisor's disk, which keeps no SMART data: its bus type is
    // BusTypeVirtual or BusTypeFileBackedVirtual, or its vendor and product strings name
    // Hyper-V ("Msft Virtual Disk"), VMware, VirtualBox ("VBOX HARDDISK") or QEMU.
    static constexpr std::uint32_t kBusTypeVirtual = 0x0E;
    static constexpr std::uint32_t kBusTypeFileBackedVirtual = 0x0F;
    static bool DescriptorNamesVirtualDisk(DescriptorAnswer answer);

    // STORAGE_TEMPERATURE_DATA_DESCRIPTOR, the answer to StorageDeviceTemperatureProperty:
    // Version, Size, thresholds, InfoCount, then from offset 24 STORAGE_TEMPERATURE_INFO
    // entries of 16 bytes, each with a signed Temperature in degrees Celsius at 2.
    static constexpr std::uint32_t kTemperatureProperty = 52;
    static constexpr std::size_t kTemperatureSizeField = 4;
    static constexpr std::size_t kTemperatureCountField = 12;
    static constexpr std::size_t kTemperatureInfoOffset = 24;
    static constexpr std::size_t kTemperatureInfoSize = 16;
    static constexpr std::size_t kTemperatureValueField = 2;
    static constexpr std::size_t kTemperatureAnswerSize = kTemperatureInfoOffset + 16 * kTemperatureInfoSize;
    // The first entry's temperature that is reported and 0 to 255 (the record keeps -1 for
    // none), of the entries that lie inside both the answer and the descriptor's Size; index 0,
    // listed first, is the drive's composite where it gives one.
    static std::optional<std::int32_t> StorageTemperature(std::span<const std::uint8_t> answer);

    // `text` without leading and trailing blanks of the set " \t\r\n".
    static std::string_view TrimBlanks(std::string_view text);

    // SENDCMDINPARAMS for the SMART command with `features` (READ DATA 0xD0 or READ
    // THRESHOLDS 0xD1), packed to its 33 bytes.
    static constexpr std::size_t kSmartCommandSize = 33;
    static std::array<std::uint8_t, kSmartCommandSize> SmartCommand(std::int32_t driveNumber, std::uint8_t features);
    // The same for SMART READ LOG (0xD5) of `sectors` sectors of the log at `address`.
    static std::array<std::uint8_t, kSmartCommandSize> SmartLogCommand(std::int32_t driveNumber, std::uint8_t address,
                                                                       std::uint8_t sectors);

    // The three values the inventory takes from a SMART page; -1 where the page has none.
    struct SmartValues {
        std::int32_t temperature = -1;
        std::int64_t powerOnHours = -1;
        std::int64_t powerCycles = -1;
    };

    // ATA SMART READ DATA: revision word, then 30 attribute entries of 12 bytes.
    static constexpr std::size_t kSmartDataSize = AtaSmart::kPageSize;
    static SmartValues ParseSmartAttributes(std::span<const std::uint8_t, kSmartDataSize> data);

    // NVMe SMART / Health Information log (log identifier 0x02), asked for with
    // IOCTL_STORAGE_QUERY_PROPERTY: a STORAGE_PROPERTY_QUERY (PropertyId, QueryType) whose
    // AdditionalParameters hold a STORAGE_PROTOCOL_SPECIFIC_DATA. The answer is a
    // STORAGE_PROTOCOL_DATA_DESCRIPTOR (Version, Size, then that structure again), with the log
    // at the returned data offset from the start of its protocol-specific data.
    enum class NvmeLogProperty : std::uint32_t {
        Adapter = 49, // StorageAdapterProtocolSpecificProperty
        Device = 50,  // StorageDeviceProtocolSpecificProperty
    };
    static constexpr std::uint32_t kProtocolTypeNvme = 3;
    static constexpr std::uint32_t kNvmeDataTypeLogPage = 2;
    static constexpr std::uint32_t kNvmeHealthLogId = 0x02;
    static constexpr std::size_t kNvmeLogSize = NvmeHealth::kLogSize;
    static constexpr std::size_t kPropertyQueryHeaderSize = 8;     // PropertyId, QueryType
    static constexpr std::size_t kProtocolDescriptorHeaderSize = 8; // Version, Size
    static constexpr std::size_t kProtocolSpecificDataSize = 40;
    static constexpr std::size_t kProtocolDataOffsetField = 16;   // inside STORAGE_PROTOCOL_SPECIFIC_DATA
    static constexpr std::size_t kProtocolDataLengthField = 20;
    static constexpr std::size_t kNvmeLogRequestSize = kPropertyQueryHeaderSize + kProtocolSpecificDataSize;
    static constexpr std::size_t kNvmeLogAnswerSize =
        kProtocolDescriptorHeaderSize + kProtocolSpecificDataSize + kNvmeLogSize;

    static std::array<std::uint8_t, kNvmeLogRequestSize> NvmeHealthLogRequest(NvmeLogProperty property);
    // The same query for any log page (data type 2) or Identify (data type 1, value the CNS),
    // `length` bytes of it.
    static constexpr std::uint32_t kNvmeDataTypeIdentify = 1;
    static constexpr std::uint32_t kNvmeIdentifyController = 1;
    static constexpr std::uint32_t kNvmeErrorLogId = 0x01;
    static constexpr std::uint32_t kNvmeSelfTestLogId = 0x06;
    static std::array<std::uint8_t, kNvmeLogRequestSize> NvmeRequest(NvmeLogProperty property, std::uint32_t dataType,
                                                                     std::uint32_t value, std::uint32_t length);
    // All the returned data inside a protocol data descriptor, on the same terms as the log.
    static std::optional<std::span<const std::uint8_t>> NvmeReturnedData(std::span<const std::uint8_t> answer);

    // The 512-byte log inside a protocol data descriptor. nullopt when the answer is too short
    // for the descriptor, when the returned data length is under 512, or when the returned data
    // offset and length do not keep the whole returned data inside `answer`.
    using NvmeLog = std::span<const std::uint8_t, kNvmeLogSize>;
    static std::optional<NvmeLog> NvmeHealthLog(std::span<const std::uint8_t> answer);

    // Composite temperature (kelvin, 0 = not reported) and the power-cycle and power-on-hour
    // counts, the 128-bit counts held to 2^48 - 1 like the SMART raw values they stand in for.
    static constexpr std::int64_t kNvmeCountCap = (std::int64_t{1} << 48) - 1;
    static SmartValues ParseNvmeHealthLog(NvmeLog log);
};
