#include "FuzzCheck.h"

#include "diskinfo/AtaSmart.h"
#include "diskinfo/DeviceAnswers.h"
#include "diskinfo/SatPassThrough.h"
#include "ui/DetailsText.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The attribute table against a thresholds page, by the published rules: every used slot in
// table order, the threshold of the first thresholds entry with the same id, the status from
// current, worst, threshold and the low 32 raw bits.
std::vector<AtaSmart::Attribute> CheckWholeTable(std::span<const std::uint8_t, kPageSize> page,
                                                 std::optional<AtaSmart::Page> thresholds)
{
    const auto attributes = AtaSmart::ReadAttributes(page, thresholds);
    // The threshold of each id, from its first entry: filled from the last entry up, the first
    // one written last.
    std::array<std::optional<std::uint8_t>, 256> thresholdOf{};
    for (std::size_t t = 30; thresholds && t-- > 0;) {
        thresholdOf[(*thresholds)[2 + 12 * t]] = (*thresholds)[3 + 12 * t];
    }
    std::size_t next = 0;
    for (std::size_t slot = 0; slot < 30; ++slot) {
        const auto entry = page.subspan(2 + 12 * slot, 12);
        if (entry[0] == 0) {
            continue;
        }
        FUZZ_CHECK(next < attributes.size());
        const AtaSmart::Attribute& attribute = attributes[next++];
        FUZZ_CHECK(attribute.id == entry[0] && attribute.current == entry[3] && attribute.worst == entry[4]);
        FUZZ_CHECK(attribute.raw == FuzzReadLe(entry.subspan(5), 6));
        const std::optional<std::uint8_t> threshold = thresholdOf[entry[0]];
        FUZZ_CHECK(attribute.threshold == threshold);
        const bool canFail = threshold && *threshold != 0;
        const bool counts = entry[0] == 5 || entry[0] == 187 || entry[0] == 188 || entry[0] == 197 || entry[0] == 198;
        const auto status = canFail && entry[3] <= *threshold   ? AtaSmart::Status::FailingNow
                            : canFail && entry[4] <= *threshold ? AtaSmart::Status::FailedInPast
                            : counts && FuzzReadLe(entry.subspan(5), 4) != 0 ? AtaSmart::Status::Watch
                                                                             : AtaSmart::Status::Ok;
        FUZZ_CHECK(attribute.status == status);
        FUZZ_CHECK(!AtaSmart::AttributeName(attribute.id).empty());
    }
    FUZZ_CHECK(next == attributes.size());
    return attributes;
}

// The details view of the same pages: a row per attribute with a cell per column, and its copy.
void CheckDetailsView(std::span<const std::uint8_t, kPageSize> page, std::optional<AtaSmart::Page> thresholds,
                      const std::vector<AtaSmart::Attribute>& attributes)
{
    DriveDetails details;
    details.smartData.emplace();
    std::copy(page.begin(), page.end(), details.smartData->begin());
    if (thresholds) {
        details.smartThresholds.emplace();
        std::copy(thresholds->begin(), thresholds->end(), details.smartThresholds->begin());
    }
    const DetailsText::Table table = DetailsText::BuildTable(details);
    FUZZ_CHECK(table.rows.size() == attributes.size() && table.styles.size() == attributes.size());
    for (const auto& row : table.rows) {
        FUZZ_CHECK(row.size() == table.columns.size());
    }
    const bool failing = std::any_of(attributes.begin(), attributes.end(), [](const AtaSmart::Attribute& a) {
        return a.status == AtaSmart::Status::FailingNow;
    });

    // The copy, which assesses the drive and builds the table once more: "Failing" exactly when
    // an attribute is failing now; after the blank line the note of a missing thresholds page,
    // the column titles and a line per row, each with a tab between every two cells.
    const std::wstring copy = DetailsText::CopyText(details);
    FUZZ_CHECK((copy.find(L"\r\nAssessment\tFailing\r\n") != std::wstring::npos) == failing);
    const std::size_t blank = copy.find(L"\r\n\r\n");
    FUZZ_CHECK(blank != std::wstring::npos);
    const auto tail = std::wstring_view(copy).substr(blank + 4);
    const auto lines = static_cast<std::size_t>(std::count(tail.begin(), tail.end(), L'\n'));
    const auto tabs = static_cast<std::size_t>(std::count(tail.begin(), tail.end(), L'\t'));
    FUZZ_CHECK(lines == (thresholds ? 0 : 1) + 1 + table.rows.size());
    FUZZ_CHECK(tabs == (1 + table.rows.size()) * (table.columns.size() - 1));
}

// The SMART command for any drive number and either page: the fixed register block, and the
// drive/head register choosing master (even numbers) or slave (odd numbers).
void CheckSmartCommand(std::int32_t driveNumber, bool thresholds)
{
    const std::uint8_t features = thresholds ? 0xD1 : 0xD0;
    const auto command = DeviceAnswers::SmartCommand(driveNumber, features);
    std::array<std::uint8_t, DeviceAnswers::kSmartCommandSize> expected{};
    expected[1] = 0x02; // buffer size 512, little-endian
    expected[4] = features;
    expected[5] = 1;
    expected[6] = 1;
    expected[7] = 0x4F;
    expected[8] = 0xC2;
    expected[9] = (static_cast<std::uint32_t>(driveNumber) & 1U) == 0 ? 0xA0 : 0xB0;
    expected[10] = 0xB0;
    FUZZ_CHECK(command == expected);
}

// What a USB bridge returned for an ATA PASS-THROUGH command with the page: counted as answered
// exactly when the request went through, the status is GOOD, all 512 bytes came and the page's
// bytes add up to 0 modulo 256; and the command block itself, byte for byte.
void CheckPassThrough(std::span<const std::uint8_t, kPageSize> page, std::span<const std::uint8_t> answer)
{
    const bool succeeded = (answer[0] & 1U) != 0;
    const std::uint8_t status = answer[1];
    const auto transferred = static_cast<std::uint32_t>(FuzzReadLe(answer.subspan(2), 4));
    unsigned sum = 0;
    for (const std::uint8_t byte : page) {
        sum += byte;
    }
    const bool answered = SatPassThrough::Answered({succeeded, status, transferred, page});
    FUZZ_CHECK(answered == (succeeded && status == 0 && transferred == 512 && sum % 256 == 0));

    const std::uint8_t features = (answer[0] & 2U) != 0 ? 0xD1 : 0xD0;
    const SatPassThrough::Command sixteen{0x85, 0x08, 0x0E, 0x00, features, 0x00, 0x01, 0x00,
                                          0x00, 0x00, 0x4F, 0x00, 0xC2,     0xA0, 0xB0, 0x00};
    const SatPassThrough::Command twelve{0xA1, 0x08, 0x0E, features, 0x01, 0x00, 0x4F, 0xC2, 0xA0, 0xB0, 0x00, 0x00};
    FUZZ_CHECK(SatPassThrough::SmartCommand(SatPassThrough::Length::Sixteen, features) == sixteen);
    FUZZ_CHECK(SatPassThrough::SmartCommand(SatPassThrough::Length::Twelve, features) == twelve);
}

} // namespace

// The first 512 bytes are the SMART data page (zero-filled when the input is shorter); the
// next four a drive number for the command that asks for the page; the 512 after them, when
// the input reaches them, the thresholds page; then what a USB bridge returned with the data
// page: one byte of flags (bit 0 the request succeeded, bit 1 the thresholds command), the
// SCSI status, and four bytes of transferred length.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t kThresholdsStart = kPageSize + 4;
    constexpr std::size_t kBridgeStart = kThresholdsStart + kPageSize;
    const std::span<const std::uint8_t> input(data, size);
    const ExactAnswer<std::uint8_t> page(input, kPageSize);
    CheckSmartAttributes(page.Bytes().first<kPageSize>());

    const auto driveNumber = static_cast<std::uint32_t>(FuzzReadLe(input.subspan(std::min(size, kPageSize)), 4));
    CheckSmartCommand(static_cast<std::int32_t>(driveNumber), (driveNumber & 0x100U) != 0);

    const bool hasThresholds = size > kThresholdsStart;
    const ExactAnswer<std::uint8_t> thresholds(input.subspan(std::min(size, kThresholdsStart)), kPageSize);
    const auto thresholdsPage =
        hasThresholds ? std::optional<AtaSmart::Page>(thresholds.Bytes().first<kPageSize>()) : std::nullopt;
    const auto attributes = CheckWholeTable(page.Bytes().first<kPageSize>(), thresholdsPage);
    if (ChecksView(input)) {
        CheckDetailsView(page.Bytes().first<kPageSize>(), thresholdsPage, attributes);
    }

    const ExactAnswer<std::uint8_t> bridge(input.subspan(std::min(size, kBridgeStart)), 6);
    CheckPassThrough(page.Bytes().first<kPageSize>(), bridge.Bytes());
    return 0;
}
