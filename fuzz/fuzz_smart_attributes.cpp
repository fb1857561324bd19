#include "FuzzCheck.h"

#include "diskinfo/DeviceAnswers.h"

#include <array>

namespace {

constexpr std::size_t kPageSize = DeviceAnswers::kSmartDataSize;
constexpr std::int64_t kMaxRaw = (std::int64_t{1} << 48) - 1;

// The values the attribute table gives by its published rule, read slot by slot: the later
// entry wins, temperature is the lowest raw byte of 190 or 194, hours and cycles the whole
// 48-bit raw value of 9 and 12.
DeviceAnswers::SmartValues ExpectedValues(std::span<const std::uint8_t> page)
{
    DeviceAnswers::SmartValues expected;
    for (std::size_t slot = 0; slot < 30; ++slot) {
        const auto entry = page.subspan(2 + 12 * slot, 12);
        const auto raw = static_cast<std::int64_t>(FuzzReadLe(entry.subspan(5), 6));
        switch (entry[0]) {
        case 9:
            expected.powerOnHours = raw;
            break;
        case 12:
            expected.powerCycles = raw;
            break;
        case 190:
        case 194:
            expected.temperature = entry[5];
            break;
        default:
            break;
        }
    }
    return expected;
}

void CheckSmartAttributes(std::span<const std::uint8_t, kPageSize> page)
{
    const DeviceAnswers::SmartValues values = DeviceAnswers::ParseSmartAttributes(page);

    // The list view shows "-" for a negative value and a number otherwise, so the sentinel is
    // exactly -1 and real values stay in the range the attribute can hold.
    FUZZ_CHECK(values.temperature == -1 || (values.temperature >= 0 && values.temperature <= 255));
    FUZZ_CHECK(values.powerOnHours == -1 || (values.powerOnHours >= 0 && values.powerOnHours <= kMaxRaw));
    FUZZ_CHECK(values.powerCycles == -1 || (values.powerCycles >= 0 && values.powerCycles <= kMaxRaw));

    const DeviceAnswers::SmartValues expected = ExpectedValues(page);
    FUZZ_CHECK(values.temperature == expected.temperature);
    FUZZ_CHECK(values.powerOnHours == expected.powerOnHours);
    FUZZ_CHECK(values.powerCycles == expected.powerCycles);
}

// The SMART READ DATA command for any drive number: the fixed register block, and the
// drive/head register choosing master (even numbers) or slave (odd numbers).
void CheckSmartCommand(std::int32_t driveNumber)
{
    const auto command = DeviceAnswers::SmartReadDataCommand(driveNumber);
    std::array<std::uint8_t, DeviceAnswers::kSmartCommandSize> expected{};
    expected[1] = 0x02; // buffer size 512, little-endian
    expected[4] = 0xD0;
    expected[5] = 1;
    expected[6] = 1;
    expected[7] = 0x4F;
    expected[8] = 0xC2;
    expected[9] = (static_cast<std::uint32_t>(driveNumber) & 1U) == 0 ? 0xA0 : 0xB0;
    expected[10] = 0xB0;
    FUZZ_CHECK(command == expected);
}

} // namespace

// The first 512 bytes are the SMART data page (zero-filled when the input is shorter); up to
// four bytes after it are a drive number for the command that asks for the page.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    const ExactAnswer<std::uint8_t> page(input, kPageSize);
    CheckSmartAttributes(page.Bytes().first<kPageSize>());

    const auto driveNumber = static_cast<std::uint32_t>(FuzzReadLe(input.subspan(std::min(size, kPageSize)), 4));
    CheckSmartCommand(static_cast<std::int32_t>(driveNumber));
    return 0;
}
