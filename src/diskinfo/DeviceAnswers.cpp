#include "diskinfo/DeviceAnswers.h"

#include "diskinfo/AtaSmart.h"
#include "diskinfo/NvmeHealth.h"

#include <algorithm>
#include <string>

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

constexpr std::uint8_t kAttrPowerOnHours = 9;
constexpr std::uint8_t kAttrPowerCycles = 12;
constexpr std::uint8_t kAttrAirflowTemperature = 190;
constexpr std::uint8_t kAttrTemperature = 194;
constexpr std::uint64_t kRawMax = (std::uint64_t{1} << 48) - 1;

std::uint32_t ReadLe32(std::span<const std::uint8_t, 4> bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void WriteLe32(std::span<std::uint8_t, 4> bytes, std::uint32_t value)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A 128-bit count, held below 2^48 so that it fits what a record may carry.
std::int64_t CappedCount(NvmeHealth::Count count)
{
    return count.high != 0 || count.low > kRawMax ? DeviceAnswers::kNvmeCountCap
                                                   : static_cast<std::int64_t>(count.low);
}

} // namespace

std::optional<std::string_view> DeviceAnswers::DescriptorString(DescriptorAnswer answer, std::size_t offsetField)
{
    if (offsetField > answer.size() - 4) {
        return std::nullopt;
    }
    const std::uint32_t offset = ReadLe32(answer.subspan(offsetField).first<4>());
    if (offset == 0 || offset >= answer.size()) {
        return std::nullopt;
    }
    const auto tail = answer.subspan(offset);
    std::size_t length = 0;
    while (length < tail.size() && tail[length] != 0) {
        ++length;
    }
    return std::string_view(reinterpret_cast<const char*>(tail.data()), length);
}

std::uint32_t DeviceAnswers::DescriptorBusType(DescriptorAnswer answer)
{
    return ReadLe32(answer.subspan<kBusTypeField, 4>());
}

bool DeviceAnswers::DescriptorNamesVirtualDisk(DescriptorAnswer answer)
{
    const std::uint32_t bus = DescriptorBusType(answer);
    if (bus == kBusTypeVirtual || bus == kBusTypeFileBackedVirtual) {
        return true;
    }
    // Hyper-V splits its name between vendor "Msft" and product "Virtual Disk"; an ATA disk's
    // descriptor may hold the whole model as its product.
    std::string named;
    for (const std::size_t field : {kVendorIdOffsetField, kProductIdOffsetField}) {
        named.append(TrimBlanks(DescriptorString(answer, field).value_or(std::string_view()))).push_back(' ');
    }
    constexpr std::array<std::string_view, 4> kNames{"Msft Virtual Disk", "VMware", "VBOX HARDDISK", "QEMU"};
    return std::any_of(kNames.begin(), kNames.end(),
                       [&named](std::string_view name) { return named.find(name) != std::string::npos; });
}

std::optional<std::int32_t> DeviceAnswers::StorageTemperature(std::span<const std::uint8_t> answer)
{
    if (answer.size() < kTemperatureInfoOffset) {
        return std::nullopt;
    }
    const auto le16 = [answer](std::size_t at) { return static_cast<std::uint16_t>(answer[at] | answer[at + 1] << 8); };
    const std::size_t size = std::min<std::size_t>(answer.size(), ReadLe32(answer.subspan<kTemperatureSizeField, 4>()));
    const std::size_t count = le16(kTemperatureCountField);
    for (std::size_t i = 0; i < count && kTemperatureInfoOffset + (i + 1) * kTemperatureInfoSize <= size; ++i) {
        const auto value = static_cast<std::int16_t>(le16(kTemperatureInfoOffset + i * kTemperatureInfoSize +
                                                          kTemperatureValueField));
        if (value >= 0 && value <= 255) {
            return value;
        }
    }
    return std::nullopt;
}

std::string_view DeviceAnswers::TrimBlanks(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::array<std::uint8_t, DeviceAnswers::kSmartCommandSize> DeviceAnswers::SmartCommand(std::int32_t driveNumber,
                                                                                       std::uint8_t features)
{
    auto command = SmartLogCommand(driveNumber, 1, 1);
    command[4] = features; // READ DATA or READ THRESHOLDS: the sector number register is 1
    return command;
}

std::array<std::uint8_t, DeviceAnswers::kSmartCommandSize>
DeviceAnswers::SmartLogCommand(std::int32_t driveNumber, std::uint8_t address, std::uint8_t sectors)
{
    const std::size_t size = std::size_t{sectors} * kSmartDataSize;
    std::array<std::uint8_t, kSmartCommandSize> command{};
    command[0] = static_cast<std::uint8_t>(size & 0xFF); // cBufferSize, little-endian
    command[1] = static_cast<std::uint8_t>(size >> 8);
    command[2] = static_cast<std::uint8_t>(size >> 16);
    command[4] = 0xD5;    // SMART READ LOG
    command[5] = sectors; // sector count
    command[6] = address; // sector number: the log address
    command[7] = AtaSmart::kSignatureLow;
    command[8] = AtaSmart::kSignatureHigh;
    command[9] = (driveNumber % 2 == 0) ? 0xA0 : 0xB0; // master or slave on the legacy channel
    command[10] = AtaSmart::kCommandSmart;
    return command;
}

DeviceAnswers::SmartValues DeviceAnswers::ParseSmartAttributes(std::span<const std::uint8_t, kSmartDataSize> data)
{
    SmartValues values;
    for (const AtaSmart::Attribute& attribute : AtaSmart::ReadAttributes(data, std::nullopt)) {
        switch (attribute.id) {
        case kAttrPowerOnHours:
            values.powerOnHours = static_cast<std::int64_t>(attribute.raw);
            break;
        case kAttrPowerCycles:
            values.powerCycles = static_cast<std::int64_t>(attribute.raw);
            break;
        case kAttrAirflowTemperature:
        case kAttrTemperature:
            values.temperature = static_cast<std::int32_t>(attribute.raw & 0xFF);
            break;
        default:
            break;
        }
    }
    return values;
}

std::array<std::uint8_t, DeviceAnswers::kNvmeLogRequestSize>
DeviceAnswers::NvmeHealthLogRequest(NvmeLogProperty property)
{
    return NvmeRequest(property, kNvmeDataTypeLogPage, kNvmeHealthLogId, static_cast<std::uint32_t>(kNvmeLogSize));
}

std::array<std::uint8_t, DeviceAnswers::kNvmeLogRequestSize> DeviceAnswers::NvmeRequest(NvmeLogProperty property,
                                                                                       std::uint32_t dataType,
                                                                                       std::uint32_t value,
                                                                                       std::uint32_t length)
{
    std::array<std::uint8_t, kNvmeLogRequestSize> request{};
    const auto field = [&request](std::size_t offset, std::uint32_t word) {
        WriteLe32(std::span<std::uint8_t, kNvmeLogRequestSize>(request).subspan(offset).first<4>(), word);
    };
    constexpr std::size_t data = kPropertyQueryHeaderSize;
    field(0, static_cast<std::uint32_t>(property));
    field(4, 0);                     // PropertyStandardQuery
    field(data + 0, kProtocolTypeNvme);
    field(data + 4, dataType);
    field(data + 8, value);          // ProtocolDataRequestValue: the log identifier or the CNS
    field(data + 12, 0);             // ProtocolDataRequestSubValue: from the log's first byte
    field(data + kProtocolDataOffsetField, static_cast<std::uint32_t>(kProtocolSpecificDataSize));
    field(data + kProtocolDataLengthField, length);
    return request;
}

std::optional<DeviceAnswers::NvmeLog> DeviceAnswers::NvmeHealthLog(std::span<const std::uint8_t> answer)
{
    const auto returned = NvmeReturnedData(answer);
    if (!returned || returned->size() < kNvmeLogSize) {
        return std::nullopt;
    }
    return returned->first<kNvmeLogSize>();
}

std::optional<std::span<const std::uint8_t>> DeviceAnswers::NvmeReturnedData(std::span<const std::uint8_t> answer)
{
    constexpr std::size_t data = kProtocolDescriptorHeaderSize;
    if (answer.size() < data + kProtocolSpecificDataSize) {
        return std::nullopt;
    }
    // Both values come from the driver: add them in 64 bits so that no sum wraps.
    const std::uint64_t offset = ReadLe32(answer.subspan(data + kProtocolDataOffsetField).first<4>());
    const std::uint64_t length = ReadLe32(answer.subspan(data + kProtocolDataLengthField).first<4>());
    if (data + offset + length > answer.size()) {
        return std::nullopt;
    }
    return answer.subspan(static_cast<std::size_t>(data + offset), static_cast<std::size_t>(length));
}

DeviceAnswers::SmartValues DeviceAnswers::ParseNvmeHealthLog(NvmeLog log)
{
    const NvmeHealth::Fields fields = NvmeHealth::Read(log);
    SmartValues values;
    values.temperature = fields.temperature;
    values.powerCycles = CappedCount(fields.powerCycles);
    values.powerOnHours = CappedCount(fields.powerOnHours);
    return values;
}
