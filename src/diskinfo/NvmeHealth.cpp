#include "diskinfo/NvmeHealth.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::size_t kCountSize = 16;
constexpr int kKelvinAtZeroCelsius = 273;
constexpr int kMaxTemperature = 255;

std::uint64_t ReadLe(std::span<const std::uint8_t> bytes)
{
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) {
        value = value << 8 | bytes[i];
    }
    return value;
}

std::uint32_t Word32At(NvmeHealth::Log log, std::size_t offset)
{
    return static_cast<std::uint32_t>(ReadLe(log.subspan(offset, 4)));
}

NvmeHealth::Count CountAt(NvmeHealth::Log log, std::size_t offset)
{
    const auto bytes = log.subspan(offset, kCountSize);
    return {ReadLe(bytes.first(8)), ReadLe(bytes.subspan(8))};
}

} // namespace

std::string NvmeHealth::ToDecimal(Count count)
{
    // Long division by 10 over four 32-bit limbs, most significant first, while the count needs
    // more than 64 bits; each step's remainder is the next digit from the right. The rest in
    // one 64-bit word. 2^128 has 39 digits.
    std::array<std::uint32_t, 4> limbs{static_cast<std::uint32_t>(count.high >> 32),
                                       static_cast<std::uint32_t>(count.high),
                                       static_cast<std::uint32_t>(count.low >> 32),
                                       static_cast<std::uint32_t>(count.low)};
    std::array<char, 39> digits{};
    std::size_t first = digits.size();
    while (limbs[0] != 0 || limbs[1] != 0) {
        std::uint64_t remainder = 0;
        for (std::uint32_t& limb : limbs) {
            const std::uint64_t value = remainder << 32 | limb;
            limb = static_cast<std::uint32_t>(value / 10);
            remainder = value % 10;
        }
        digits[--first] = static_cast<char>('0' + remainder);
    }
    std::uint64_t rest = std::uint64_t{limbs[2]} << 32 | limbs[3];
    do {
        digits[--first] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    return {digits.data() + first, digits.size() - first};
}

NvmeHealth::Fields NvmeHealth::Read(Log log)
{
    Fields fields;
    fields.criticalWarning = log[0];
    const int kelvin = static_cast<int>(ReadLe(log.subspan(1, 2)));
    if (kelvin != 0) {
        fields.temperature = std::clamp(kelvin - kKelvinAtZeroCelsius, 0, kMaxTemperature);
    }
    fields.availableSpare = log[3];
    fields.availableSpareThreshold = log[4];
    fields.percentageUsed = log[5];
    fields.dataUnitsRead = CountAt(log, 32);
    fields.dataUnitsWritten = CountAt(log, 48);
    fields.hostReadCommands = CountAt(log, 64);
    fields.hostWriteCommands = CountAt(log, 80);
    fields.controllerBusyMinutes = CountAt(log, 96);
    fields.powerCycles = CountAt(log, 112);
    fields.powerOnHours = CountAt(log, 128);
    fields.unsafeShutdowns = CountAt(log, 144);
    fields.mediaErrors = CountAt(log, 160);
    fields.errorLogEntries = CountAt(log, 176);
    fields.warningTemperatureMinutes = Word32At(log, 192);
    fields.criticalTemperatureMinutes = Word32At(log, 196);
    for (std::size_t sensor = 0; sensor < kSensors; ++sensor) {
        const int sensorKelvin = static_cast<int>(ReadLe(log.subspan(200 + 2 * sensor, 2)));
        if (sensorKelvin != 0) {
            fields.sensors[sensor] = sensorKelvin - kKelvinAtZeroCelsius;
        }
    }
    fields.thermalTransitions1 = Word32At(log, 216);
    fields.thermalTransitions2 = Word32At(log, 220);
    fields.thermalSeconds1 = Word32At(log, 224);
    fields.thermalSeconds2 = Word32At(log, 228);
    return fields;
}
