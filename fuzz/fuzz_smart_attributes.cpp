#include "FuzzCheck.h"

#include "diskinfo/AtaSmart.h"
#include "diskinfo/DeviceAnswers.h"
#include "diskinfo/DriveLogs.h"
#include "diskinfo/NvmeBridge.h"
#include "diskinfo/PciStorage.h"
#include "diskinfo/SatPassThrough.h"
#include "report/DetailsText.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cwchar>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kPageSize = DeviceAnswers::kSmartDataSize;
constexpr std::int64_t kMaxRaw = (std::int64_t{1} << 48) - 1;

// Published words the program must give for known codes: attributes' names, the ATA self-test
// types and statuses (bits 7:4), the error register's bits and the read and write commands'
// names (ACS), each with the program's text for codes outside.
const std::map<unsigned, std::wstring_view> kAttributeNames{{5, L"Reallocated Sectors Count"},
                                                            {9, L"Power-On Hours"},
                                                            {194, L"Temperature"},
                                                            {197, L"Current Pending Sector Count"}};
const std::map<unsigned, std::wstring> kTestTypes{{0, L"Off-line"},   {1, L"Short"},     {2, L"Extended"},
                                                  {3, L"Conveyance"}, {4, L"Selective"}, {127, L"Abort"}};
const std::map<unsigned, std::wstring> kTestStatuses{
    {0, L"Completed without error"},       {1, L"Aborted by host"},
    {2, L"Interrupted (host reset)"},      {3, L"Fatal or unknown error"},
    {4, L"Completed: unknown failure"},    {5, L"Completed: electrical failure"},
    {6, L"Completed: servo/seek failure"}, {7, L"Completed: read failure"},
    {8, L"Completed: handling damage"},    {15, L"In progress"}};
const std::map<unsigned, std::wstring> kCommandNames{{0x25, L"READ DMA EXT"}, {0x60, L"READ FPDMA QUEUED"},
                                                     {0xC8, L"READ DMA"},     {0x61, L"WRITE FPDMA QUEUED"},
                                                     {0xCA, L"WRITE DMA"}};

std::wstring HexWord(unsigned value)
{
    wchar_t text[8];
    std::swprintf(text, std::size(text), L"0x%02X", value);
    return text;
}

// The words of a self-test's type and status.
void CheckTestWords(const DriveLogs::SelfTest& test)
{
    const unsigned type = test.type;
    const bool captive = type >= 129 && type <= 132;
    const auto known = kTestTypes.find(captive ? type - 128 : type);
    FUZZ_CHECK(DriveLogs::AtaTestType(test.type) ==
               (known != kTestTypes.end() ? known->second + (captive ? L" (captive)" : L"")
                                          : L"Vendor (" + HexWord(type) + L")"));
    const auto status = kTestStatuses.find(test.status);
    FUZZ_CHECK(DriveLogs::AtaTestStatus(test.status) ==
               (status != kTestStatuses.end() ? status->second
                                              : L"Reserved (" + std::to_wstring(test.status) + L")"));
}

// The words of an error entry: each named bit of the error register exactly when set, the
// register in hex when none is; a known command by its name, an unknown one in hex.
void CheckErrorWords(const DriveLogs::AtaError& logged)
{
    const std::wstring words = DriveLogs::AtaErrorWords(logged.error);
    const std::pair<unsigned, std::wstring_view> bits[] = {
        {0x80, L"interface CRC"}, {0x40, L"uncorrectable"}, {0x10, L"sector not found"}, {0x04, L"aborted"}};
    for (const auto& [bit, word] : bits) {
        FUZZ_CHECK(((logged.error & bit) != 0) == (words.find(word) != std::wstring::npos));
    }
    FUZZ_CHECK(((logged.error & 0xD4U) == 0) == (words == HexWord(logged.error)));
    const auto name = kCommandNames.find(logged.command);
    const std::wstring command = DriveLogs::AtaCommandName(logged.command);
    FUZZ_CHECK(name == kCommandNames.end() || command == name->second);
    FUZZ_CHECK(DriveLogs::AtaCommandKind(logged.command).empty() == (command == HexWord(logged.command)));
}

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
                                                 std::optional<AtaSmart::Page> thresholds, bool view)
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
        const auto name = kAttributeNames.find(attribute.id);
        FUZZ_CHECK(!view || name == kAttributeNames.end() || AtaSmart::AttributeName(attribute.id) == name->second);
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
    // the column titles and a line per row, each with a tab between every two cells; then the
    // sections of logs the drive did not give and the partitions' section, of a drive that did
    // not answer its partition table.
    const std::wstring copy = DetailsText::CopyText(details);
    FUZZ_CHECK((copy.find(L"\r\nAssessment\tFailing\r\n") != std::wstring::npos) == failing);
    const std::size_t blank = copy.find(L"\r\n\r\n");
    FUZZ_CHECK(blank != std::wstring::npos);
    constexpr std::wstring_view kPartitions =
        L"\r\nSelf-tests\r\nNot available\r\n\r\nErrors\r\nNot available\r\n\r\nStatistics\r\nNot available\r\n"
        L"\r\nPartitions\tNot answered by the drive\r\n";
    FUZZ_CHECK(copy.ends_with(kPartitions));
    const auto tail = std::wstring_view(copy).substr(blank + 4, copy.size() - kPartitions.size() - blank - 4);
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
// bytes add up to 0 modulo 256; and the command block itself, byte for byte. The page as
// IDENTIFY DEVICE data likewise, its checksum checked only under its signature, its model
// printable and not blank; the strings from their words, each word's bytes swapped.
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
    const bool zeros = std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0; });
    FUZZ_CHECK(answered == (succeeded && status == 0 && transferred == 512 && sum % 256 == 0 && !zeros));

    const std::uint8_t features = (answer[0] & 2U) != 0 ? 0xD1 : 0xD0;
    const SatPassThrough::Command sixteen{0x85, 0x08, 0x0E, 0x00, features, 0x00, 0x01, 0x00,
                                          0x00, 0x00, 0x4F, 0x00, 0xC2,     0xA0, 0xB0, 0x00};
    const SatPassThrough::Command twelve{0xA1, 0x08, 0x0E, features, 0x01, 0x00, 0x4F, 0xC2, 0xA0, 0xB0, 0x00, 0x00};
    FUZZ_CHECK(SatPassThrough::SmartCommand(SatPassThrough::Length::Sixteen, features) == sixteen);
    FUZZ_CHECK(SatPassThrough::SmartCommand(SatPassThrough::Length::Twelve, features) == twelve);

    const SatPassThrough::Identity identity = SatPassThrough::IdentityOf(page);
    const auto swappedFrom = [&page](std::string_view text, std::size_t at) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (static_cast<std::uint8_t>(text[i]) != page[at + (i ^ 1)]) {
                return false;
            }
        }
        return true;
    };
    const std::string_view model = identity.model.View();
    FUZZ_CHECK(model.size() == 40 && swappedFrom(model, 54));
    FUZZ_CHECK(identity.serial.View().size() == 20 && swappedFrom(identity.serial.View(), 20));
    FUZZ_CHECK(identity.firmware.View().size() == 8 && swappedFrom(identity.firmware.View(), 46));
    const bool modelText = std::all_of(model.begin(), model.end(), [](char c) { return c >= 0x20 && c <= 0x7E; }) &&
                           model.find_first_not_of(' ') != std::string_view::npos;
    FUZZ_CHECK(SatPassThrough::IdentifyAnswered({succeeded, status, transferred, page}) ==
               (succeeded && status == 0 && transferred == 512 && (page[510] != 0xA5 || sum % 256 == 0) && modelText));
    FUZZ_CHECK(SatPassThrough::IdentifyCommand(SatPassThrough::Length::Sixteen) ==
               (SatPassThrough::Command{0x85, 0x08, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC, 0}));
    FUZZ_CHECK(SatPassThrough::IdentifyCommand(SatPassThrough::Length::Twelve) ==
               (SatPassThrough::Command{0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0xA0, 0xEC, 0, 0}));
}

// The same bytes as what an NVMe bridge returned: the data page as the health log and as a
// JMicron reply, the input as Identify Controller data, the flags choosing the family (bits 2-3)
// and the command (bit 4); and the page's first 32 bytes as a device ID, after "USB\VID_" when
// bit 5 is set. Every command block and the descriptor byte for byte, every check by its rule.
void CheckNvmeBridge(std::span<const std::uint8_t, kPageSize> page, std::span<const std::uint8_t, 4096> identify,
                     std::span<const std::uint8_t> answer)
{
    using Family = NvmeBridge::Family;
    using Command = NvmeBridge::Command;
    FUZZ_CHECK(NvmeBridge::LogCounts(page) == std::any_of(page.begin(), page.end(), [](std::uint8_t b) { return b != 0; }));
    const bool signature = page[0] == 'N' && page[1] == 'V' && page[2] == 'M' && page[3] == 'E';
    FUZZ_CHECK(NvmeBridge::ReplyCounts(page) == (signature && (FuzzReadLe(page.subspan(20), 4) >> 17) == 0));
    bool printable = true;
    bool blank = true;
    for (std::size_t i = 24; i < 64; ++i) {
        printable = printable && identify[i] >= 0x20 && identify[i] <= 0x7E;
        blank = blank && identify[i] == ' ';
    }
    FUZZ_CHECK(NvmeBridge::IdentifyCounts(identify) == (printable && !blank));
    const NvmeBridge::Identity identity = NvmeBridge::IdentityOf(identify);
    FUZZ_CHECK(identity.serial.data() == reinterpret_cast<const char*>(&identify[4]) && identity.serial.size() == 20);
    FUZZ_CHECK(identity.model.data() == reinterpret_cast<const char*>(&identify[24]) && identity.model.size() == 40);
    FUZZ_CHECK(identity.firmware.data() == reinterpret_cast<const char*>(&identify[64]) && identity.firmware.size() == 8);

    const auto family = static_cast<Family>(((answer[0] >> 2) & 3U) % 3);
    const Command command = (answer[0] & 0x10U) != 0 ? Command::IdentifyController : Command::HealthLog;
    const bool log = command == Command::HealthLog;
    const std::uint32_t length = log ? 512 : 4096;
    using Cdb = SatPassThrough::Command;
    std::array<NvmeBridge::Step, NvmeBridge::kMaxSteps> expected{};
    std::size_t count = 1;
    switch (family) {
    case Family::Realtek:
        expected[0] = {log ? Cdb{0xE4, 0x00, 0x02, 0x02, 0x02} : Cdb{0xE4, 0x00, 0x10, 0x06, 0x01}, 16,
                       NvmeBridge::Direction::In, length};
        break;
    case Family::ASMedia:
        expected[0] = {log ? Cdb{0xE6, 0x02, 0x00, 0x02, 0x00, 0x00, 0x00, 0x7F} : Cdb{0xE6, 0x06, 0x00, 0x01}, 16,
                       NvmeBridge::Direction::In, length};
        break;
    case Family::JMicron:
        expected = {{{Cdb{0xA1, 0x80, 0x00, 0x00, 0x02, 0x00}, 12, NvmeBridge::Direction::Out, 512},
                     {Cdb{0xA1, 0x82, 0x00, 0x00, static_cast<std::uint8_t>(log ? 0x02 : 0x10), 0x00}, 12,
                      NvmeBridge::Direction::In, length},
                     {Cdb{0xA1, 0x8F, 0x00, 0x00, 0x02, 0x00}, 12, NvmeBridge::Direction::In, 512}}};
        count = 3;
        break;
    }
    const NvmeBridge::Steps steps = NvmeBridge::StepsOf(family, command);
    FUZZ_CHECK(steps.count == count);
    const bool succeeded = (answer[0] & 1U) != 0;
    const auto transferred = static_cast<std::uint32_t>(FuzzReadLe(answer.subspan(2), 4));
    for (std::size_t i = 0; i < steps.count; ++i) {
        const NvmeBridge::Step& step = steps.steps[i];
        FUZZ_CHECK(step.cdb == expected[i].cdb && step.cdbLength == expected[i].cdbLength);
        FUZZ_CHECK(step.direction == expected[i].direction && step.length == expected[i].length);
        FUZZ_CHECK(NvmeBridge::Completed({succeeded, answer[1], transferred}, step) ==
                   (succeeded && answer[1] == 0 && transferred == step.length));
    }
    NvmeBridge::JMicronBlock descriptor{'N', 'V', 'M', 'E'};
    descriptor[8] = log ? 0x02 : 0x06;
    if (log) {
        descriptor[12] = descriptor[13] = descriptor[14] = descriptor[15] = 0xFF;
    }
    descriptor[48] = log ? 0x02 : 0x01;
    descriptor[50] = log ? 0x7F : 0x00;
    FUZZ_CHECK(NvmeBridge::JMicronDescriptor(command) == descriptor);

    // The device ID in a buffer of its own: strings made for every input would cost more than
    // everything they check.
    std::array<wchar_t, 40> buffer{};
    const std::wstring_view prefix = (answer[0] & 0x20U) != 0 ? L"USB\\VID_" : (answer[0] & 0x40U) != 0 ? L"PCI\\VEN_" : L"";
    std::copy(prefix.begin(), prefix.end(), buffer.begin());
    std::copy(page.begin(), page.begin() + 32, buffer.begin() + static_cast<std::ptrdiff_t>(prefix.size()));
    const std::wstring_view id(buffer.data(), prefix.size() + 32);
    const auto digit = [](wchar_t c) {
        return c >= L'0' && c <= L'9' ? c - L'0' : c >= L'A' && c <= L'F' ? c - L'A' + 10 : c >= L'a' && c <= L'f' ? c - L'a' + 10 : -1;
    };
    const auto hex = [&](std::size_t at) {
        int value = 0;
        for (std::size_t i = at; i < at + 4; ++i) {
            value = digit(id[i]) < 0 || value < 0 ? -1 : value * 16 + digit(id[i]);
        }
        return value;
    };
    const auto sameNoCase = [&id](std::size_t at, std::wstring_view text) {
        return std::equal(text.begin(), text.end(), id.begin() + static_cast<std::ptrdiff_t>(at), [](wchar_t a, wchar_t b) {
            return a == (b >= L'a' && b <= L'z' ? static_cast<wchar_t>(b - 32) : b);
        });
    };
    const bool shaped = sameNoCase(0, L"USB\\VID_") && hex(8) >= 0 && sameNoCase(12, L"&PID_") && hex(17) >= 0;
    const auto parsed = NvmeBridge::ParseDeviceId(id);
    FUZZ_CHECK(parsed.has_value() == shaped);
    if (parsed) {
        FUZZ_CHECK(parsed->vendor == hex(8) && parsed->product == hex(17));
        // The family of the table's entry with exactly these IDs, and none without one: a lookup
        // that matched too much would give a family here.
        const auto& known = NvmeBridge::KnownBridges();
        const auto entry = std::find_if(known.begin(), known.end(), [&parsed](const NvmeBridge::KnownBridge& bridge) {
            return bridge.id.vendor == parsed->vendor && bridge.id.product == parsed->product;
        });
        FUZZ_CHECK(NvmeBridge::FamilyOf(*parsed) ==
                   (entry == known.end() ? std::nullopt : std::optional<Family>(entry->family)));
    }
    // The same bytes as a PCI controller's hardware ID: mass storage (01h) of subclass 04h, 06h or 08h only.
    const int cc = sameNoCase(21, L"&CC_") ? hex(25) : -1;
    const auto pci = PciStorage::ParseHardwareId(id);
    FUZZ_CHECK(pci.has_value() == (sameNoCase(0, L"PCI\\VEN_") && hex(8) >= 0 && sameNoCase(12, L"&DEV_") && hex(17) >= 0 &&
                                   (cc == 0x0104 || cc == 0x0106 || cc == 0x0108)));
    FUZZ_CHECK(!pci || (pci->vendor == hex(8) && pci->device == hex(17) && pci->subclass == (cc & 0xFF)));
    // Every entry of the table finds its own family: the same for every input, so checked once.
    static const bool tableChecked = [] {
        for (const NvmeBridge::KnownBridge& known : NvmeBridge::KnownBridges()) {
            FUZZ_CHECK(NvmeBridge::FamilyOf(known.id) == known.family);
        }
        return true;
    }();
    FUZZ_CHECK(tableChecked);
}

bool AllZero(std::span<const std::uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// The data page as the drive's self-test log or as its summary error log (one of them each
// input, both with the view), by their published layouts: rings read from the newest entry, an
// index out of range meaning no entries.
void CheckAtaLogs(std::span<const std::uint8_t, kPageSize> page, bool view, bool asSelfTests)
{
    std::vector<DriveLogs::SelfTest> tests;
    const unsigned newest = page[508];
    std::size_t next = 0;
    // A drive beyond 2^32 sectors or a small one, by the page's first bit.
    const std::uint64_t sectors = (page[0] & 1U) != 0 ? std::uint64_t{1} << 33 : std::uint64_t{1} << 20;
    if (view || asSelfTests) {
        tests = DriveLogs::AtaSelfTests(page, sectors);
    }
    for (unsigned age = 0; (view || asSelfTests) && newest >= 1 && newest <= 21 && age < 21; ++age) {
        const auto descriptor = page.subspan(2 + 24 * ((newest - 1 + 21 - age) % 21), 24);
        if (AllZero(descriptor)) {
            continue;
        }
        FUZZ_CHECK(next < tests.size());
        const DriveLogs::SelfTest& test = tests[next++];
        const unsigned status = descriptor[1] >> 4;
        const std::uint64_t lba = FuzzReadLe(descriptor.subspan(5), 4);
        FUZZ_CHECK(test.type == descriptor[0] && test.status == status);
        FUZZ_CHECK(test.remainingPercent == (descriptor[1] & 15U) * 10 && test.hours == FuzzReadLe(descriptor.subspan(2), 2));
        FUZZ_CHECK(test.failed == (status >= 3 && status <= 8) && test.passed == (status == 0));
        FUZZ_CHECK(test.failingLba == (test.failed && lba != 0xFFFFFFFF ? std::optional<std::uint64_t>(lba) : std::nullopt));
        FUZZ_CHECK(test.lbaBits == (test.failingLba && sectors > (std::uint64_t{1} << 32) ? 32 : 0));
        if (view) {
            CheckTestWords(test);
        }
    }
    FUZZ_CHECK(next == tests.size());

    if (!view && asSelfTests) {
        return;
    }
    const DriveLogs::AtaErrorLog log = DriveLogs::AtaErrors(page, sectors);
    const auto count = static_cast<unsigned>(FuzzReadLe(page.subspan(452), 2));
    const unsigned index = page[1];
    FUZZ_CHECK(log.count == count);
    FUZZ_CHECK(log.entries.size() == (index >= 1 && index <= 5 ? std::min(count, 5U) : 0U));
    for (unsigned age = 0; age < log.entries.size(); ++age) {
        const DriveLogs::AtaError& logged = log.entries[age];
        const auto entry = page.subspan(2 + 90 * ((index - 1 + 5 - age) % 5), 90);
        const auto error = entry.subspan(60);
        FUZZ_CHECK(logged.number == count - age && logged.error == error[1] && logged.status == error[7]);
        FUZZ_CHECK(logged.lba == ((error[6] & 15U) << 24 | FuzzReadLe(error.subspan(3), 3)));
        FUZZ_CHECK(logged.hours == FuzzReadLe(error.subspan(28), 2) && logged.state == error[27]);
        FUZZ_CHECK(logged.weighed == ((error[1] & 0x50U) != 0));
        // Only the 28-bit reads and writes (ACS) hold their whole LBA on a drive beyond 2^28 sectors.
        const unsigned cmd = logged.command;
        const bool whole = cmd == 0x20 || cmd == 0x40 || cmd == 0xC4 || cmd == 0xC8 || cmd == 0x30 || cmd == 0xC5 || cmd == 0xCA;
        FUZZ_CHECK(logged.lbaBits == (!whole && sectors > (std::uint64_t{1} << 28) ? 28 : 0));
        std::size_t used = 0;
        for (std::size_t c = 0; c < 5; ++c) {
            used += AllZero(entry.subspan(12 * c, 12)) ? 0 : 1;
        }
        FUZZ_CHECK(logged.commandsLogged == used);
        if (view) {
            CheckErrorWords(logged);
        }
    }

    // The details' sections of the page as both logs: a line per self-test and per entry below
    // their column titles, each failure and media error coloured, the count first; sampled, as
    // the attributes' view is.
    if (!view) {
        return;
    }
    DriveDetails details;
    details.selfTestLog.emplace();
    std::copy(page.begin(), page.end(), details.selfTestLog->begin());
    details.errorLog = details.selfTestLog;
    const auto sections = DetailsText::LogSections(details);
    FUZZ_CHECK(sections.size() == 3 && sections[0].lines.size() == 1 + tests.size());
    FUZZ_CHECK(sections[1].lines.size() == 1 + (log.entries.empty() ? 0 : 1 + log.entries.size()));
    for (std::size_t i = 0; i < tests.size(); ++i) {
        FUZZ_CHECK(sections[0].lines[i + 1].size() == 6 &&
                   (sections[0].styles[i + 1] == DetailsText::RowStyle::FailingNow) == tests[i].failed);
    }
    for (std::size_t i = 0; i < log.entries.size(); ++i) {
        FUZZ_CHECK((sections[1].styles[i + 2] == DetailsText::RowStyle::FailingNow) == log.entries[i].weighed);
    }
}

// The page as the extended self-test log and the extended comprehensive error log's first
// page, by ACS's layouts: a 16-bit index of the newest at 2, rings of 19 descriptors of 26
// bytes and of 4 entries of 124 from 4, the error count at 500, LBAs of 48 bits (the error
// structure's in the registers' order low, low exp, mid, mid exp, high, high exp).
void CheckExtLogs(std::span<const std::uint8_t, kPageSize> page)
{
    const auto tests = DriveLogs::AtaExtSelfTests(page);
    const std::uint64_t newest = FuzzReadLe(page.subspan(2), 2);
    FUZZ_CHECK(DriveLogs::ExtNewestOnFirstPage(page, 0x07) == (newest <= 19) &&
               DriveLogs::ExtNewestOnFirstPage(page, 0x03) == (newest <= 4));
    std::size_t next = 0;
    for (std::uint64_t age = 0; newest >= 1 && newest <= 19 && age < 19; ++age) {
        const auto descriptor = page.subspan(4 + 26 * ((newest - 1 + 19 - age) % 19), 26);
        if (AllZero(descriptor)) {
            continue;
        }
        FUZZ_CHECK(next < tests.size());
        const DriveLogs::SelfTest& test = tests[next++];
        const unsigned status = descriptor[1] >> 4;
        const std::uint64_t lba = FuzzReadLe(descriptor.subspan(5), 6);
        FUZZ_CHECK(test.type == descriptor[0] && test.status == status && test.hours == FuzzReadLe(descriptor.subspan(2), 2));
        FUZZ_CHECK(test.failingLba == (test.failed && lba != 0xFFFF'FFFF'FFFF ? std::optional<std::uint64_t>(lba)
                                                                            : std::nullopt));
        FUZZ_CHECK(test.lbaBits == 0);
    }
    FUZZ_CHECK(next == tests.size());

    const auto log = DriveLogs::AtaExtErrors(page);
    const auto count = static_cast<unsigned>(FuzzReadLe(page.subspan(500), 2));
    FUZZ_CHECK(log.count == count);
    FUZZ_CHECK(log.entries.size() == (newest >= 1 && newest <= 4 ? std::min(count, 4U) : 0U));
    for (unsigned age = 0; age < log.entries.size(); ++age) {
        const DriveLogs::AtaError& logged = log.entries[age];
        const auto entry = page.subspan(4 + 124 * ((newest - 1 + 4 - age) % 4), 124);
        const auto error = entry.subspan(90);
        const std::uint64_t lba = std::uint64_t{error[4]} | std::uint64_t{error[6]} << 8 | std::uint64_t{error[8]} << 16 |
                                  std::uint64_t{error[5]} << 24 | std::uint64_t{error[7]} << 32 |
                                  std::uint64_t{error[9]} << 40;
        FUZZ_CHECK(logged.number == count - age && logged.error == error[1] && logged.status == error[11]);
        FUZZ_CHECK(logged.lba == lba && logged.lbaBits == 0);
        FUZZ_CHECK(logged.hours == FuzzReadLe(error.subspan(32), 2) && logged.state == error[31]);
        unsigned used = 0;
        unsigned command = 0;
        for (std::size_t c = 0; c < 5; ++c) {
            if (!AllZero(entry.subspan(18 * c, 18))) {
                ++used;
                command = entry[18 * c + 12];
            }
        }
        FUZZ_CHECK(logged.commandsLogged == used && logged.command == command);
    }
}

// The whole input as device statistics pages: a page counts when its header names it, a value
// when its supported and valid bits are both set; nothing is read outside the pages.
void CheckStatistics(std::span<const std::uint8_t> pages)
{
    const auto counts = [pages](std::size_t page) {
        return (page + 1) * 512 <= pages.size() && FuzzReadLe(pages.subspan(page * 512), 2) != 0 &&
               pages[page * 512 + 2] == page;
    };
    if (pages.size() >= 512) {
        const std::size_t sectors = DriveLogs::StatisticsSectors(pages.first<512>());
        FUZZ_CHECK(sectors <= 8 && (sectors == 0) == !counts(0));
    }
    // One statistic of one page (or one past them), and one temperature, each input.
    constexpr std::size_t kOffsets = 512 / 8 + 1;
    const std::size_t chosen = Chosen(pages, (pages.size() / 512 + 2) * kOffsets);
    const auto page = static_cast<std::uint8_t>(chosen / kOffsets);
    const std::size_t offset = chosen % kOffsets * 8;
    FUZZ_CHECK(DriveLogs::PageCounts(pages, page) == counts(page));
    FUZZ_CHECK(!DriveLogs::StatisticWord(pages, page, offset + 4));
    const auto word = DriveLogs::StatisticWord(pages, page, offset);
    FUZZ_CHECK(word.has_value() == (counts(page) && offset >= 8 && offset < 512));
    if (word) {
        FUZZ_CHECK(*word == FuzzReadLe(pages.subspan(page * 512U + offset), 8));
        const auto value = DriveLogs::Statistic(pages, page, offset);
        FUZZ_CHECK(value == ((*word >> 62) == 3 ? std::optional<std::uint64_t>(*word & 0x00FF'FFFF'FFFF'FFFF)
                                                 : std::nullopt));
    }
    // A temperature: the signed low byte of a supported and valid statistic of page 5, 80h
    // meaning none.
    const auto celsius = DriveLogs::Temperature(pages, offset);
    const auto temperature = counts(5) && offset >= 8 && offset < 512
                                 ? std::optional<std::uint64_t>(FuzzReadLe(pages.subspan(5 * 512U + offset), 8))
                                 : std::nullopt;
    const bool shown = temperature && (*temperature >> 62) == 3 && (*temperature & 0xFF) != 0x80;
    FUZZ_CHECK(celsius == (shown ? std::optional<std::int32_t>(static_cast<std::int8_t>(*temperature & 0xFF))
                                 : std::nullopt));
}

} // namespace

// The first 512 bytes are the SMART data page (zero-filled when the input is shorter), read as
// the self-test and error logs too, and the whole input as device statistics pages; the
// next four a drive number for the command that asks for the page; the 512 after them, when
// the input reaches them, the thresholds page; then what a USB bridge returned with the data
// page: one byte of flags (bit 0 the request succeeded, bit 1 the thresholds command, bits 2-5
// for the NVMe bridges), the SCSI status, and four bytes of transferred length.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t kThresholdsStart = kPageSize + 4;
    constexpr std::size_t kBridgeStart = kThresholdsStart + kPageSize;
    const std::span<const std::uint8_t> input(data, size);
    static FixedAnswer<kPageSize> pageAnswer;
    static FixedAnswer<kPageSize> thresholdsAnswer;
    static FixedAnswer<6> bridgeAnswer;
    static FixedAnswer<NvmeBridge::kIdentifySize> identifyAnswer;
    const auto page = pageAnswer.Fill(input);
    CheckSmartAttributes(page);
    CheckStatistics(input);

    const auto driveNumber = static_cast<std::uint32_t>(FuzzReadLe(input.subspan(std::min(size, kPageSize)), 4));
    CheckSmartCommand(static_cast<std::int32_t>(driveNumber), (driveNumber & 0x100U) != 0);

    const bool hasThresholds = size > kThresholdsStart;
    const auto thresholds = thresholdsAnswer.Fill(input.subspan(std::min(size, kThresholdsStart)));
    const auto thresholdsPage = hasThresholds ? std::optional<AtaSmart::Page>(thresholds) : std::nullopt;
    const bool view = ChecksView(input);
    const auto attributes = CheckWholeTable(page, thresholdsPage, view);
    if (view) {
        CheckDetailsView(page, thresholdsPage, attributes);
    }
    CheckAtaLogs(page, view, Chosen(input, 2) == 0);
    CheckExtLogs(page);

    const auto bridge = bridgeAnswer.Fill(input.subspan(std::min(size, kBridgeStart)));
    CheckPassThrough(page, bridge);
    CheckNvmeBridge(page, identifyAnswer.Fill(input), bridge);
    return 0;
}
