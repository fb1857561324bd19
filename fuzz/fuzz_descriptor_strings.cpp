#include "FuzzCheck.h"
#include "TrimCheck.h"

#include "diskinfo/DeviceAnswers.h"

#include <algorithm>
#include <array>
#include <optional>

namespace {

constexpr std::size_t kAnswerSize = DeviceAnswers::kDescriptorAnswerSize;
constexpr std::size_t kOffsetFieldSize = 4;

// Reads the string that `offsetField` points to and checks it against what the answer holds:
// present exactly when the field lies in the answer and its offset is neither 0 nor past the
// end; then it starts at that offset, stays inside the answer, holds no NUL, and stops at a NUL
// or at the end of the answer.
void CheckDescriptorString(DeviceAnswers::DescriptorAnswer answer, std::size_t offsetField)
{
    const auto string = DeviceAnswers::DescriptorString(answer, offsetField);

    const bool fieldFits = offsetField <= kAnswerSize - kOffsetFieldSize;
    const std::size_t offset = fieldFits
        ? static_cast<std::size_t>(FuzzReadLe(answer.subspan(offsetField), kOffsetFieldSize))
        : 0;
    FUZZ_CHECK(string.has_value() == (fieldFits && offset != 0 && offset < kAnswerSize));
    if (!string) {
        return;
    }

    const char* const begin = reinterpret_cast<const char*>(answer.data());
    FUZZ_CHECK(string->data() == begin + offset);
    FUZZ_CHECK(string->size() <= kAnswerSize - offset);
    FUZZ_CHECK(string->find('\0') == std::string_view::npos);
    const std::size_t stop = offset + string->size();
    FUZZ_CHECK(stop == kAnswerSize || answer[stop] == 0);

    // The inventory trims every string it reads; do the same on the string as it lies in the answer.
    CheckTrimBlanks(*string);
}

// The input's first bytes, up to the program's buffer, as STORAGE_TEMPERATURE_DATA_DESCRIPTOR:
// a temperature only from the first entry (16 bytes from 24, the value at 2) that lies inside
// both the answer and its Size (at 4), among InfoCount (at 12), and holds 0 to 255.
void CheckTemperature(std::span<const std::uint8_t> input)
{
    const ExactAnswer<std::uint8_t> exact(input, std::min(input.size(), DeviceAnswers::kTemperatureAnswerSize));
    const std::span<const std::uint8_t> answer = exact.Bytes();
    const auto field = [answer](std::size_t offset, std::size_t width) {
        return offset < answer.size() ? FuzzReadLe(answer.subspan(offset), width) : 0;
    };
    const std::size_t end = std::min<std::size_t>(answer.size(), field(4, 4));
    std::optional<std::int32_t> expected;
    for (std::size_t i = 0; i < field(12, 2) && 40 + 16 * i <= end && !expected; ++i) {
        if (const auto value = static_cast<std::int16_t>(field(26 + 16 * i, 2)); value >= 0 && value <= 255) {
            expected = value;
        }
    }
    FUZZ_CHECK(DeviceAnswers::StorageTemperature(answer) == expected);
}

} // namespace

// The first 1024 bytes are the storage-descriptor answer (zero-filled when the input is
// shorter). Up to eight bytes after it pick one more offset field to read, so that fields at
// or past the end of the answer are tried as well as the three the inventory uses. The same
// bytes are read as the temperature descriptor too.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    const ExactAnswer<std::uint8_t> answer(input, kAnswerSize);
    const DeviceAnswers::DescriptorAnswer descriptor = answer.Bytes().first<kAnswerSize>();

    for (const std::size_t field : {DeviceAnswers::kProductIdOffsetField, DeviceAnswers::kSerialNumberOffsetField,
                                    DeviceAnswers::kProductRevisionOffsetField}) {
        CheckDescriptorString(descriptor, field);
    }
    // Names are looked for in whatever strings the descriptor holds.
    DeviceAnswers::DescriptorNamesVirtualDisk(descriptor);
    CheckTemperature(input);
    if (size > kAnswerSize) {
        CheckDescriptorString(descriptor, static_cast<std::size_t>(FuzzReadLe(input.subspan(kAnswerSize), 8)));
    }
    return 0;
}
