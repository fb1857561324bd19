#include "FuzzCheck.h"
#include "TrimCheck.h"

#include "diskinfo/DeviceAnswers.h"

#include <array>

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

} // namespace

// The first 1024 bytes are the storage-descriptor answer (zero-filled when the input is
// shorter). Up to eight bytes after it pick one more offset field to read, so that fields at
// or past the end of the answer are tried as well as the three the inventory uses.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    const ExactAnswer<std::uint8_t> answer(input, kAnswerSize);
    const DeviceAnswers::DescriptorAnswer descriptor = answer.Bytes().first<kAnswerSize>();

    for (const std::size_t field : {DeviceAnswers::kProductIdOffsetField, DeviceAnswers::kSerialNumberOffsetField,
                                    DeviceAnswers::kProductRevisionOffsetField}) {
        CheckDescriptorString(descriptor, field);
    }
    if (size > kAnswerSize) {
        CheckDescriptorString(descriptor, static_cast<std::size_t>(FuzzReadLe(input.subspan(kAnswerSize), 8)));
    }
    return 0;
}
