#include "FuzzCheck.h"

#include "diskinfo/DiskInfo.h"
#include "report/CellText.h"
#include "report/DetailsText.h"
#include "report/PromText.h"
#include "report/ScriptText.h"
#include "text/Json.h"
#include "text/Utf8.h"

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
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

// A reader of the JSON the console program writes, strict where RFC 8259 is: strings come back
// decoded, numbers as their token, null as null; anything else fails the check.
struct JsonValue {
    enum class Kind { Null, Number, String, Array, Object };
    Kind kind = Kind::Null;
    std::wstring text;              // a string's text or a number's token
    std::vector<std::wstring> keys; // an object's, one per element
    std::vector<JsonValue> elements;
};

class JsonReader {
public:
    explicit JsonReader(std::wstring_view text) : m_text(text) {}

    JsonValue Document()
    {
        JsonValue value = Value();
        Blanks();
        FUZZ_CHECK(m_at == m_text.size());
        return value;
    }

private:
    void Blanks()
    {
        while (m_at < m_text.size() && std::wstring_view(L" \t\r\n").find(m_text[m_at]) != std::wstring_view::npos) {
            ++m_at;
        }
    }
    wchar_t Next()
    {
        FUZZ_CHECK(m_at < m_text.size());
        return m_text[m_at++];
    }
    void Expect(wchar_t c) { FUZZ_CHECK(Next() == c); }

    JsonValue Value()
    {
        Blanks();
        JsonValue value;
        FUZZ_CHECK(m_at < m_text.size());
        const wchar_t first = m_text[m_at];
        if (first == L'{' || first == L'[') {
            value.kind = first == L'{' ? JsonValue::Kind::Object : JsonValue::Kind::Array;
            ++m_at;
            Blanks();
            const wchar_t close = first == L'{' ? L'}' : L']';
            if (m_at < m_text.size() && m_text[m_at] == close) {
                ++m_at;
                return value;
            }
            for (wchar_t separator = L','; separator == L',';) {
                if (value.kind == JsonValue::Kind::Object) {
                    Blanks();
                    value.keys.push_back(String());
                    Blanks();
                    Expect(L':');
                }
                value.elements.push_back(Value());
                Blanks();
                separator = Next();
                FUZZ_CHECK(separator == L',' || separator == close);
            }
        } else if (first == L'"') {
            value.kind = JsonValue::Kind::String;
            value.text = String();
        } else if (m_text.substr(m_at, 4) == L"null") {
            m_at += 4;
        } else {
            value.kind = JsonValue::Kind::Number;
            const std::size_t end = m_text.find_first_not_of(L"-+.eE0123456789", m_at);
            value.text = m_text.substr(m_at, end - m_at);
            m_at = end == std::wstring_view::npos ? m_text.size() : end;
            FUZZ_CHECK(!value.text.empty() && (value.text[0] == L'-' || (value.text[0] >= L'0' && value.text[0] <= L'9')));
        }
        return value;
    }

    std::wstring String()
    {
        Expect(L'"');
        std::wstring text;
        for (wchar_t c = Next(); c != L'"'; c = Next()) {
            FUZZ_CHECK(c >= 0x20); // controls only escaped
            if (c != L'\\') {
                text += c;
                continue;
            }
            const wchar_t escaped = Next();
            const std::wstring_view simple = L"\"\\/bfnrt";
            const std::wstring_view meaning = L"\"\\/\b\f\n\r\t";
            if (const std::size_t at = simple.find(escaped); at != std::wstring_view::npos) {
                text += meaning[at];
                continue;
            }
            FUZZ_CHECK(escaped == L'u');
            unsigned unit = 0;
            for (int digit = 0; digit < 4; ++digit) {
                const wchar_t h = Next();
                const std::size_t value = std::wstring_view(L"0123456789abcdef").find(h);
                FUZZ_CHECK(value != std::wstring_view::npos);
                unit = unit * 16 + static_cast<unsigned>(value);
            }
            text += static_cast<wchar_t>(unit);
        }
        return text;
    }

    std::wstring_view m_text;
    std::size_t m_at = 0;
};

// Whether the bytes are UTF-8 that a strict decoder takes: no stray continuation bytes, no
// overlong forms, no surrogates, nothing beyond U+10FFFF.
bool IsUtf8(std::string_view bytes)
{
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                                     : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
        if (length == 0 || i + length > bytes.size()) {
            return false;
        }
        std::uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (next & 0x3F);
        }
        constexpr std::array<std::uint32_t, 5> kLeast{0, 0, 0x80, 0x800, 0x10000};
        if (c < kLeast[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            return false;
        }
        i += length;
    }
    return true;
}

// The console program's list of the drive, parsed back: the titles in order, each cell as the
// list copies it, "-" as null, a figure (Temp without its unit) as the same number.
void CheckListJson(const DriveInfo& drive)
{
    const std::vector<ScriptText::ListedDrive> drives{{drive, std::nullopt}};
    const std::wstring json = ScriptText::ListJson(drives);
    FUZZ_CHECK(IsUtf8(Utf8(json)));
    const JsonValue document = JsonReader(json).Document();
    FUZZ_CHECK(document.kind == JsonValue::Kind::Array && document.elements.size() == 1);
    const JsonValue& row = document.elements[0];
    const std::vector<std::wstring> cells = DetailsText::ListCells(drive);
    FUZZ_CHECK(row.kind == JsonValue::Kind::Object && row.elements.size() == cells.size() + 3);
    for (std::size_t column = 0; column < row.elements.size(); ++column) {
        const std::wstring& title = row.keys[column];
        const JsonValue& value = row.elements[column];
        if (column >= cells.size()) {
            FUZZ_CHECK(value.kind == JsonValue::Kind::Null); // no details: no verdict, bus or source
            continue;
        }
        FUZZ_CHECK(title == CellText::kTitles[column]);
        const std::wstring& cell = cells[column];
        switch (value.kind) {
        case JsonValue::Kind::Null:
            FUZZ_CHECK(cell == L"-");
            break;
        case JsonValue::Kind::Number:
            FUZZ_CHECK(value.text == cell || value.text + L" C" == cell);
            FUZZ_CHECK(JsonWriter::IsNumber(value.text));
            break;
        case JsonValue::Kind::String:
            FUZZ_CHECK(value.text == cell && cell != L"-");
            break;
        default:
            FUZZ_CHECK(false);
        }
        // What is text in one row is text in every row.
        const bool figures = column == CellText::kDrive || column == CellText::kSize || column == CellText::kTemperature ||
                             column == CellText::kPowerOnHours || column == CellText::kPowerCycles;
        FUZZ_CHECK(figures || value.kind != JsonValue::Kind::Number);
    }
}

// The Prometheus series in UTF-8 and LF lines; the info line's label values unescape to the cells.
void CheckListProm(const DriveInfo& drive)
{
    const std::vector<ScriptText::ListedDrive> drives{{drive, std::nullopt}};
    const std::wstring text = PromText::List(drives, 0);
    FUZZ_CHECK(IsUtf8(Utf8(text)) && text.ends_with(L'\n'));
    std::vector<std::wstring> values;
    for (std::size_t at = text.find(L"ostrevane_drive_info{"); text.at(at) != L'}'; ++at) {
        std::wstring& value = values.emplace_back();
        for (at = text.find(L"=\"", at) + 2; text.at(at) != L'"'; ++at) {
            const bool escaped = text.at(at) == L'\\';
            const wchar_t c = escaped ? text.at(++at) : text.at(at);
            FUZZ_CHECK(c != L'\n' && (!escaped || c == L'\\' || c == L'"' || c == L'n'));
            value += escaped && c == L'n' ? L'\n' : c;
        }
    }
    const std::vector<std::wstring> cells = DetailsText::ListCells(drive);
    FUZZ_CHECK(values.size() == 6 && values[0] == cells[CellText::kDrive] && values[1] == cells[CellText::kSerialNumber] &&
               values[2] == cells[CellText::kModel] && values[3] == cells[CellText::kFirmware]);
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
    // Written and read back, the list's JSON and its Prometheus lines cost many times the cell: a
    // share of the inputs.
    if (ChecksView({data, size})) {
        CheckListJson(cell.drive);
        CheckListProm(cell.drive);
    }
    return 0;
}
