#pragma once

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
    static constexpr std::size_t kProductIdOffsetField = 16;
    static constexpr std::size_t kProductRevisionOffsetField = 20;
    static constexpr std::size_t kSerialNumberOffsetField = 24;
    using DescriptorAnswer = std::span<const std::uint8_t, kDescriptorAnswerSize>;

    // The 8-bit string that the little-endian offset stored at `offsetField` points to, up to
    // its NUL or the end of the answer, whichever comes first. nullopt when the offset is 0
    // (absent) or lies outside the answer.
    static std::optional<std::string_view> DescriptorString(DescriptorAnswer answer, std::size_t offsetField);

    // `text` without leading and trailing blanks of the set " \t\r\n".
    static std::string_view TrimBlanks(std::string_view text);

    // SENDCMDINPARAMS for SMART READ DATA, packed to its 33 bytes.
    static constexpr std::size_t kSmartCommandSize = 33;
    static std::array<std::uint8_t, kSmartCommandSize> SmartReadDataCommand(std::int32_t driveNumber);

    // The three values the inventory takes from a SMART page; -1 where the page has none.
    struct SmartValues {
        std::int32_t temperature = -1;
        std::int64_t powerOnHours = -1;
        std::int64_t powerCycles = -1;
    };

    // ATA SMART READ DATA: revision word, then 30 attribute entries of 12 bytes.
    static constexpr std::size_t kSmartDataSize = 512;
    static SmartValues ParseSmartAttributes(std::span<const std::uint8_t, kSmartDataSize> data);
};
