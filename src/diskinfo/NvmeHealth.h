#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// Reader of every field of the NVMe SMART / Health Information log (log identifier 0x02).
// Free of <windows.h>: built natively under the sanitizers and fuzzed.
class NvmeHealth {
public:
    NvmeHealth() = delete;

    static constexpr std::size_t kLogSize = 512;
    static constexpr std::size_t kSensors = 8;
    using Log = std::span<const std::uint8_t, kLogSize>;

    // A 128-bit count as the log holds it, little-endian, in two halves: standard C++ has no
    // 128-bit integer.
    struct Count {
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        friend bool operator==(const Count&, const Count&) = default;
    };
    // The exact value in decimal, without separators.
    static std::string ToDecimal(Count count);

    struct Fields {
        std::uint8_t criticalWarning = 0;
        std::int32_t temperature = -1; // composite temperature in degrees Celsius, 0..255; -1 when 0 K
        std::uint8_t availableSpare = 0;          // percent
        std::uint8_t availableSpareThreshold = 0; // percent
        std::uint8_t percentageUsed = 0;          // percent, may exceed 100
        Count dataUnitsRead;                      // units of 1,000 blocks of 512 bytes
        Count dataUnitsWritten;
        Count hostReadCommands;
        Count hostWriteCommands;
        Count controllerBusyMinutes;
        Count powerCycles;
        Count powerOnHours;
        Count unsafeShutdowns;
        Count mediaErrors;
        Count errorLogEntries;
        std::uint32_t warningTemperatureMinutes = 0;
        std::uint32_t criticalTemperatureMinutes = 0;
        // Temperature sensors 1 to 8 in degrees Celsius (kelvin - 273, unclamped); empty where
        // the sensor reads 0 K, which means it is not reported.
        std::array<std::optional<std::int32_t>, kSensors> sensors;
        std::uint32_t thermalTransitions1 = 0; // transitions to thermal-management temperature 1
        std::uint32_t thermalTransitions2 = 0;
        std::uint32_t thermalSeconds1 = 0; // total seconds at thermal-management temperature 1
        std::uint32_t thermalSeconds2 = 0;
    };
    static Fields Read(Log log);
};
