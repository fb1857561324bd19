#include "FuzzCheck.h"

#include "diskinfo/DiskInfo.h"
#include "ui/CellText.h"

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

// Input layout, all little-endian: column (1 byte, signed), capacity (2 bytes, signed), flags
// (1 byte: bit 0 failure predicted, bit 1 no buffer at all), index (4), size in bytes (8),
// temperature (4), power-on hours (8), power cycles (8); then model, serial number, firmware,
// health and volumes as UTF-16 units, separated by the unit 0xFFFF. Missing bytes count as zero.
constexpr std::size_t kHeaderSize = 36;
constexpr std::uint16_t kFieldSeparator = 0xFFFF;
constexpr int kMaxCapacity = 1024;

// Guards either side of the cell buffer, which a write in bounds never touches, and what the
// buffer holds before the call, to see that a call that writes nothing leaves it alone.
constexpr std::size_t kGuard = 16;
constexpr wchar_t kCanary = 0xFDD0;
constexpr wchar_t kUntouched = 0xFDD1;

struct CellCase {
    DriveInfo drive;
    int column = 0;
    int capacity = 0;
    bool noBuffer = false;
};

// The two's-complement value of `size` bytes at `offset`.
std::int64_t Signed(std::span<const std::uint8_t> header, std::size_t offset, std::size_t size)
{
    std::uint64_t value = FuzzReadLe(header.subspan(offset), size);
    const std::uint64_t sign = std::uint64_t{1} << (8 * size - 1);
    if ((value & sign) != 0) {
        value |= ~((sign << 1) - 1);
    }
    return static_cast<std::int64_t>(value);
}

CellCase ReadCase(std::span<const std::uint8_t> input)
{
    std::array<std::uint8_t, kHeaderSize> header{};
    std::copy_n(input.begin(), std::min(input.size(), kHeaderSize), header.begin());

    CellCase cell;
    cell.column = static_cast<int>(Signed(header, 0, 1));
    cell.capacity = static_cast<int>(Signed(header, 1, 2));
    if (cell.capacity > kMaxCapacity) {
        cell.capacity %= kMaxCapacity + 1;
    }
    cell.drive.failurePredicted = (header[3] & 1U) != 0;
    cell.noBuffer = (header[3] & 2U) != 0;
    cell.drive.index = static_cast<std::int32_t>(Signed(header, 4, 4));
    cell.drive.sizeBytes = Signed(header, 8, 8);
    cell.drive.temperature = static_cast<std::int32_t>(Signed(header, 16, 4));
    cell.drive.powerOnHours = Signed(header, 20, 8);
    cell.drive.powerCycles = Signed(header, 28, 8);

    std::array<std::wstring*, 5> strings{&cell.drive.model, &cell.drive.serialNumber, &cell.drive.firmware,
                                         &cell.drive.health, &cell.drive.volumes};
    std::size_t field = 0;
    const auto text = input.subspan(std::min(input.size(), kHeaderSize));
    for (std::size_t i = 0; i + 1 < text.size() && field < strings.size(); i += 2) {
        const auto unit = static_cast<std::uint16_t>(FuzzReadLe(text.subspan(i), 2));
        if (unit == kFieldSeparator) {
            ++field;
        } else {
            strings[field]->push_back(static_cast<wchar_t>(unit));
        }
    }
    return cell;
}

// What a cell shows when its buffer is large enough, and whether a text too long for the buffer
// is cut (copied texts) or leaves the cell empty (formatted numbers).
struct ExpectedText {
    std::wstring text;
    bool cut = false;
};

std::wstring FormatSize(std::int64_t sizeBytes)
{
    std::array<char, 64> narrow{};
    std::snprintf(narrow.data(), narrow.size(), "%.1f", static_cast<double>(sizeBytes) / 1073741824.0);
    return {narrow.data(), narrow.data() + std::char_traits<char>::length(narrow.data())};
}

std::wstring Counter(std::int64_t value)
{
    return value < 0 ? L"-" : std::to_wstring(value);
}

std::optional<ExpectedText> Expected(const DriveInfo& drive, int column)
{
    switch (column) {
    case 0:
        return ExpectedText{std::to_wstring(drive.index), false};
    case 1:
        return ExpectedText{drive.model, true};
    case 2:
        return ExpectedText{drive.serialNumber, true};
    case 3:
        return ExpectedText{drive.firmware, true};
    case 4:
        return ExpectedText{FormatSize(drive.sizeBytes), false};
    case 5:
        return ExpectedText{drive.health, true};
    case 6:
        return drive.temperature < 0 ? ExpectedText{L"-", true}
                                     : ExpectedText{std::to_wstring(drive.temperature) + L" C", false};
    case 7:
        return ExpectedText{Counter(drive.powerOnHours), drive.powerOnHours < 0};
    case 8:
        return ExpectedText{Counter(drive.powerCycles), drive.powerCycles < 0};
    case 9:
        return ExpectedText{L"-", true};
    case 10:
        return ExpectedText{drive.volumes.empty() ? L"-" : drive.volumes, true};
    default:
        return std::nullopt;
    }
}

void CheckCell(const CellCase& cell, bool written, std::span<const wchar_t> out)
{
    const auto expected = Expected(cell.drive, cell.column);
    if (!expected || cell.noBuffer || cell.capacity <= 0) {
        FUZZ_CHECK(!written);
        FUZZ_CHECK(std::all_of(out.begin(), out.end(), [](wchar_t c) { return c == kUntouched; }));
        return;
    }

    // Terminated inside the buffer, so the list never reads a text longer than its capacity.
    FUZZ_CHECK(std::find(out.begin(), out.end(), L'\0') != out.end());

    const std::wstring_view text = expected->text;
    if (expected->cut) {
        const std::size_t kept = std::min(text.size(), out.size() - 1);
        FUZZ_CHECK(written);
        FUZZ_CHECK(std::equal(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(kept), out.begin()));
        FUZZ_CHECK(out[kept] == L'\0');
    } else if (text.size() < out.size()) {
        FUZZ_CHECK(written);
        FUZZ_CHECK(std::equal(text.begin(), text.end(), out.begin()));
        FUZZ_CHECK(out[text.size()] == L'\0');
    } else {
        FUZZ_CHECK(!written);
        FUZZ_CHECK(out[0] == L'\0');
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const CellCase cell = ReadCase({data, size});

    const std::size_t capacity = cell.capacity > 0 ? static_cast<std::size_t>(cell.capacity) : 0;
    std::vector<wchar_t> block(kGuard + capacity + kGuard, kCanary);
    const std::span<wchar_t> out = std::span<wchar_t>(block).subspan(kGuard, capacity);
    std::fill(out.begin(), out.end(), kUntouched);

    const bool written = CellText::Write(cell.drive, cell.column, cell.noBuffer ? nullptr : out.data(), cell.capacity);

    const auto isCanary = [](wchar_t c) { return c == kCanary; };
    FUZZ_CHECK(std::all_of(block.begin(), block.begin() + kGuard, isCanary));
    FUZZ_CHECK(std::all_of(block.end() - kGuard, block.end(), isCanary));
    CheckCell(cell, written, out);
    return 0;
}
