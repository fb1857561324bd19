#include "diskinfo/DeviceAnswers.h"

#include <algorithm>

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

constexpr std::size_t kSmartEntryCount = 30;
constexpr std::size_t kSmartEntrySize = 12;
constexpr std::size_t kSmartTableOffset = 2;
constexpr std::size_t kSmartRawOffset = 5;
constexpr std::size_t kSmartRawSize = 6;

constexpr std::uint8_t kAttrPowerOnHours = 9;
constexpr std::uint8_t kAttrPowerCycles = 12;
constexpr std::uint8_t kAttrAirflowTemperature = 190;
constexpr std::uint8_t kAttrTemperature = 194;

std::uint32_t ReadLe32(std::span<const std::uint8_t, 4> bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint64_t ReadLe48(std::span<const std::uint8_t, kSmartRawSize> bytes)
{
    std::uint64_t value = 0;
    for (std::size_t i = kSmartRawSize; i-- > 0;) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// NVMe SMART / Health Information log: composite temperature, then the 16-byte counts.
constexpr std::size_t kNvmeTemperatureOffset = 1;
constexpr std::size_t kNvmePowerCyclesOffset = 112;
constexpr std::size_t kNvmePowerOnHoursOffset = 128;
constexpr std::size_t kNvmeCountSize = 16;
constexpr int kKelvinAtZeroCelsius = 273;
constexpr int kMaxTemperature = 255;

void WriteLe32(std::span<std::uint8_t, 4> bytes, std::uint32_t value)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A 128-bit little-endian count, held below 2^48 so that it fits what a record may carry.
std::int64_t ReadNvmeCount(std::span<const std::uint8_t, kNvmeCountSize> bytes)
{
    const auto high = bytes.subspan<kSmartRawSize>();
    if (std::any_of(high.begin(), high.end(), [](std::uint8_t b) { return b != 0; })) {
        return DeviceAnswers::kNvmeCountCap;
    }
    return static_cast<std::int64_t>(ReadLe48(bytes.first<kSmartRawSize>()));
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

std::string_view DeviceAnswers::TrimBlanks(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::array<std::uint8_t, DeviceAnswers::kSmartCommandSize> DeviceAnswers::SmartReadDataCommand(std::int32_t driveNumber)
{
    std::array<std::uint8_t, kSmartCommandSize> command{};
    command[0] = static_cast<std::uint8_t>(kSmartDataSize & 0xFF); // cBufferSize = 512, little-endian
    command[1] = static_cast<std::uint8_t>(kSmartDataSize >> 8);
    command[4] = 0xD0;  // features: SMART READ DATA
    command[5] = 1;     // sector count
    command[6] = 1;     // sector number
    command[7] = 0x4F;  // cylinder low: SMART signature
    command[8] = 0xC2;  // cylinder high: SMART signature
    command[9] = (driveNumber % 2 == 0) ? 0xA0 : 0xB0; // master or slave on the legacy channel
    command[10] = 0xB0; // command: SMART
    return command;
}

DeviceAnswers::SmartValues DeviceAnswers::ParseSmartAttributes(std::span<const std::uint8_t, kSmartDataSize> data)
{
    static_assert(kSmartTableOffset + kSmartEntryCount * kSmartEntrySize <= kSmartDataSize);

    SmartValues values;
    for (std::size_t i = 0; i < kSmartEntryCount; ++i) {
        const auto entry = data.subspan(kSmartTableOffset + i * kSmartEntrySize).first<kSmartEntrySize>();
        const std::uint8_t id = entry[0];
        const auto raw = entry.subspan<kSmartRawOffset, kSmartRawSize>();
        switch (id) {
        case kAttrPowerOnHours:
            values.powerOnHours = static_cast<std::int64_t>(ReadLe48(raw));
            break;
        case kAttrPowerCycles:
            values.powerCycles = static_cast<std::int64_t>(ReadLe48(raw));
            break;
        case kAttrAirflowTemperature:
        case kAttrTemperature:
            values.temperature = raw[0];
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
    std::array<std::uint8_t, kNvmeLogRequestSize> request{};
    const auto field = [&request](std::size_t offset, std::uint32_t value) {
        WriteLe32(std::span<std::uint8_t, kNvmeLogRequestSize>(request).subspan(offset).first<4>(), value);
    };
    constexpr std::size_t data = kPropertyQueryHeaderSize;
    field(0, static_cast<std::uint32_t>(property));
    field(4, 0);                     // PropertyStandardQuery
    field(data + 0, kProtocolTypeNvme);
    field(data + 4, kNvmeDataTypeLogPage);
    field(data + 8, kNvmeHealthLogId); // ProtocolDataRequestValue: the log identifier
    field(data + 12, 0);             // ProtocolDataRequestSubValue: from the log's first byte
    field(data + kProtocolDataOffsetField, static_cast<std::uint32_t>(kProtocolSpecificDataSize));
    field(data + kProtocolDataLengthField, static_cast<std::uint32_t>(kNvmeLogSize));
    return request;
}

std::optional<DeviceAnswers::NvmeLog> DeviceAnswers::NvmeHealthLog(std::span<const std::uint8_t> answer)
{
    constexpr std::size_t data = kProtocolDescriptorHeaderSize;
    if (answer.size() < data + kProtocolSpecificDataSize) {
        return std::nullopt;
    }
    // Both values come from the driver: add them in 64 bits so that no sum wraps.
    const std::uint64_t offset = ReadLe32(answer.subspan(data + kProtocolDataOffsetField).first<4>());
    const std::uint64_t length = ReadLe32(answer.subspan(data + kProtocolDataLengthField).first<4>());
    if (length < kNvmeLogSize || data + offset + length > answer.size()) {
        return std::nullopt;
    }
    return answer.subspan(static_cast<std::size_t>(data + offset)).first<kNvmeLogSize>();
}

DeviceAnswers::SmartValues DeviceAnswers::ParseNvmeHealthLog(NvmeLog log)
{
    SmartValues values;
    const int kelvin = log[kNvmeTemperatureOffset] | log[kNvmeTemperatureOffset + 1] << 8;
    if (kelvin != 0) {
        values.temperature = std::clamp(kelvin - kKelvinAtZeroCelsius, 0, kMaxTemperature);
    }
    values.powerCycles = ReadNvmeCount(log.subspan<kNvmePowerCyclesOffset, kNvmeCountSize>());
    values.powerOnHours = ReadNvmeCount(log.subspan<kNvmePowerOnHoursOffset, kNvmeCountSize>());
    return values;
}
