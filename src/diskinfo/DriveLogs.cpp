#include "diskinfo/DriveLogs.h"

#include "diskinfo/LittleEndian.h"
#include "text/BoundedText.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr std::size_t kSmartCapabilityByte = 367;
constexpr std::uint8_t kSelfTestCapability = 0x10;
constexpr std::size_t kErrorLoggingByte = 370;

constexpr std::size_t kDescriptorSize = 24;
constexpr std::size_t kSelfTestIndexByte = 508;
constexpr std::uint32_t kNoLba = 0xFFFF'FFFF;

constexpr std::size_t kErrorEntries = 5;
constexpr std::size_t kErrorEntrySize = 90;
constexpr std::size_t kCommandSize = 12;
constexpr std::size_t kCommandsSize = 5 * kCommandSize;
constexpr std::size_t kErrorCountByte = 452;
static_assert(2 + kErrorEntries * kErrorEntrySize == kErrorCountByte);

// The extended logs' first page, as ACS publishes it: a 16-bit index at 2, the entries from 4.
constexpr std::size_t kExtIndexByte = 2;
constexpr std::size_t kExtEntriesAt = 4;
constexpr std::size_t kExtDescriptorSize = 26;
static_assert(kExtEntriesAt + DriveLogs::kAtaExtSelfTests * kExtDescriptorSize == 498);
constexpr std::uint64_t kNoExtLba = 0xFFFF'FFFF'FFFF;
constexpr std::size_t kExtCommandSize = 18;
constexpr std::size_t kExtCommandsSize = 5 * kExtCommandSize;
constexpr std::size_t kExtErrorSize = 34;
constexpr std::size_t kExtEntrySize = kExtCommandsSize + kExtErrorSize;
constexpr std::size_t kExtErrorCountByte = 500;
static_assert(kExtEntriesAt + DriveLogs::kAtaExtErrors * kExtEntrySize == kExtErrorCountByte);
// Where each byte of the 48-bit LBA lies in the error structure: the registers in the order
// low, low (exp), mid, mid (exp), high, high (exp), i.e. bits 7:0, 31:24, 15:8, 39:32, 23:16, 47:40.
constexpr std::array<std::size_t, 6> kExtLbaBytes{4, 6, 8, 5, 7, 9};

// IDENTIFY DEVICE words, each at twice its number.
constexpr std::size_t kCommandSetWord = 84 * 2;
constexpr std::size_t kCommandSetDefaultWord = 87 * 2;
constexpr std::uint8_t kGeneralPurposeLogging = 0x20;
constexpr std::size_t kSectorSizeWord = 106 * 2;
constexpr std::size_t kLogicalSectorWords = 117 * 2;
constexpr std::uint16_t kLongLogicalSector = 0x1000;

// Words 84, 87 and 106 count only with bit 14 set and bit 15 clear.
std::optional<std::uint16_t> ValidWord(DriveLogs::Sector identify, std::size_t at)
{
    const auto word = static_cast<std::uint16_t>(ReadLe(identify.subspan(at, 2)));
    return (word & 0xC000) == 0x4000 ? std::optional<std::uint16_t>(word) : std::nullopt;
}

constexpr std::size_t kNvmeResults = 20;
constexpr std::size_t kNvmeResultSize = 28;
static_assert(4 + kNvmeResults * kNvmeResultSize == DriveLogs::kNvmeSelfTestLogSize);
constexpr std::uint8_t kNvmeUnused = 0x0F;

constexpr std::uint64_t kSupportedAndValid = std::uint64_t{0xC0} << 56;
constexpr std::uint64_t kValueBits = (std::uint64_t{1} << 56) - 1;
constexpr std::size_t kPageListCountByte = 8;
constexpr std::int32_t kNoTemperature = -128;

constexpr std::size_t kOacsByte = 256;
constexpr std::uint8_t kOacsSelfTest = 0x10;
constexpr std::size_t kElpeByte = 262;

// The 28-bit commands that a summary error log's LBA field holds whole.
constexpr std::array<std::uint8_t, 7> k28BitCommands{0x20, 0x40, 0xC4, 0xC8, 0x30, 0xC5, 0xCA};

bool AllZero(std::span<const std::uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

std::wstring Reserved(unsigned value)
{
    return BoundedText::Formatted<32>(L"Reserved (%u)", value);
}

std::wstring Hex(unsigned value)
{
    return BoundedText::Formatted<16>(L"0x%02X", value);
}

// Words looked up by code; the texts live in read-only tables, not in code that builds them.
struct Word {
    unsigned code;
    std::wstring_view text;
};

template <std::size_t N>
const Word* Find(const std::array<Word, N>& words, unsigned code)
{
    const auto it = std::find_if(words.begin(), words.end(), [code](const Word& word) { return word.code == code; });
    return it == words.end() ? nullptr : &*it;
}

constexpr std::array<Word, 6> kAtaTypes{{
    {0, L"Off-line"}, {1, L"Short"}, {2, L"Extended"}, {3, L"Conveyance"}, {4, L"Selective"}, {127, L"Abort"}}};

constexpr std::array<Word, 10> kAtaStatuses{{{0, L"Completed without error"},
                                             {1, L"Aborted by host"},
                                             {2, L"Interrupted (host reset)"},
                                             {3, L"Fatal or unknown error"},
                                             {4, L"Completed: unknown failure"},
                                             {5, L"Completed: electrical failure"},
                                             {6, L"Completed: servo/seek failure"},
                                             {7, L"Completed: read failure"},
                                             {8, L"Completed: handling damage"},
                                             {15, L"In progress"}}};

constexpr std::array<Word, 10> kNvmeResultWords{{{0, L"Completed without error"},
                                             {1, L"Aborted: self-test command"},
                                             {2, L"Aborted: controller reset"},
                                             {3, L"Aborted: namespace removed"},
                                             {4, L"Aborted: format"},
                                             {5, L"Fatal or unknown error"},
                                             {6, L"Completed: unknown failed segment"},
                                             {7, L"Completed: failed segments"},
                                             {8, L"Aborted: unknown reason"},
                                             {9, L"Aborted: sanitize"}}};

constexpr std::array<Word, 3> kNvmeTypes{{{1, L"Short"}, {2, L"Extended"}, {14, L"Vendor"}}};

constexpr std::array<Word, 9> kFailures{{{3, L"a fatal or unknown error"},
                                         {4, L"an unknown failure"},
                                         {5, L"an electrical failure"},
                                         {6, L"a servo/seek failure"},
                                         {7, L"a read failure"},
                                         {8, L"handling damage"},
                                         {0x15, L"a fatal or unknown error"},
                                         {0x16, L"an unknown failed segment"},
                                         {0x17, L"failed segments"}}};
constexpr unsigned kNvmeFailureKey = 0x10;

constexpr std::array<Word, 4> kErrorBits{
    {{0x80, L"interface CRC"}, {0x40, L"uncorrectable"}, {0x10, L"sector not found"}, {0x04, L"aborted"}}};

// The read and write commands a media error is logged against; reads before writes.
constexpr std::array<Word, 16> kCommands{{{0x20, L"READ SECTOR(S)"},
                                          {0x24, L"READ SECTOR(S) EXT"},
                                          {0x25, L"READ DMA EXT"},
                                          {0x29, L"READ MULTIPLE EXT"},
                                          {0x40, L"READ VERIFY SECTOR(S)"},
                                          {0x42, L"READ VERIFY SECTOR(S) EXT"},
                                          {0x60, L"READ FPDMA QUEUED"},
                                          {0xC4, L"READ MULTIPLE"},
                                          {0xC8, L"READ DMA"},
                                          {0x30, L"WRITE SECTOR(S)"},
                                          {0x34, L"WRITE SECTOR(S) EXT"},
                                          {0x35, L"WRITE DMA EXT"},
                                          {0x39, L"WRITE MULTIPLE EXT"},
                                          {0x61, L"WRITE FPDMA QUEUED"},
                                          {0xC5, L"WRITE MULTIPLE"},
                                          {0xCA, L"WRITE DMA"}}};

constexpr std::array<Word, 12> kNvmeStatuses{{{0x000, L"Successful Completion"},
                                              {0x001, L"Invalid Command Opcode"},
                                              {0x002, L"Invalid Field in Command"},
                                              {0x004, L"Data Transfer Error"},
                                              {0x006, L"Internal Error"},
                                              {0x007, L"Command Abort Requested"},
                                              {0x00B, L"Invalid Namespace or Format"},
                                              {0x109, L"Invalid Log Page"},
                                              {0x280, L"Write Fault"},
                                              {0x281, L"Unrecovered Read Error"},
                                              {0x285, L"Compare Failure"},
                                              {0x286, L"Access Denied"}}};

std::span<const std::uint8_t> PageAt(std::span<const std::uint8_t> pages, std::uint8_t page)
{
    const std::size_t start = std::size_t{page} * DriveLogs::kSectorSize;
    return start + DriveLogs::kSectorSize <= pages.size() ? pages.subspan(start, DriveLogs::kSectorSize)
                                                         : std::span<const std::uint8_t>{};
}

} // namespace

bool DriveLogs::KeepsSelfTestLog(Sector smartData)
{
    return (smartData[kSmartCapabilityByte] & kSelfTestCapability) != 0;
}

bool DriveLogs::KeepsErrorLog(Sector smartData)
{
    return (smartData[kErrorLoggingByte] & 1u) != 0;
}

namespace {

// The slots of a ring of `slots` entries from the 1-based `newest` backwards; none when
// `newest` lies outside.
std::vector<std::size_t> RingSlots(std::size_t newest, std::size_t slots, std::size_t count)
{
    std::vector<std::size_t> order;
    if (newest == 0 || newest > slots) {
        return order;
    }
    order.reserve(std::min(count, slots));
    for (std::size_t age = 0; age < std::min(count, slots); ++age) {
        order.push_back((newest - 1 + slots - age) % slots);
    }
    return order;
}

// A self-test descriptor's common bytes: type, status and remaining, hours; the LBA apart.
void ReadDescriptor(std::span<const std::uint8_t> descriptor, DriveLogs::SelfTest& test)
{
    test.type = descriptor[0];
    test.status = descriptor[1] >> 4;
    test.remainingPercent = static_cast<std::uint8_t>((descriptor[1] & 0x0F) * 10);
    test.hours = ReadLe(descriptor.subspan(2, 2));
    test.failed = test.status >= 3 && test.status <= 8;
    test.extended = (test.type & 0x7F) == 2;
    test.passed = test.status == 0;
}

} // namespace

std::vector<DriveLogs::SelfTest> DriveLogs::AtaSelfTests(Sector log, std::uint64_t driveSectors)
{
    std::vector<SelfTest> tests;
    tests.reserve(kAtaSelfTests);
    for (const std::size_t slot : RingSlots(log[kSelfTestIndexByte], kAtaSelfTests, kAtaSelfTests)) {
        const auto descriptor = log.subspan(2 + slot * kDescriptorSize, kDescriptorSize);
        if (AllZero(descriptor)) {
            continue;
        }
        SelfTest& test = tests.emplace_back();
        ReadDescriptor(descriptor, test);
        const auto lba = static_cast<std::uint32_t>(ReadLe(descriptor.subspan(5, 4)));
        if (test.failed && lba != kNoLba) {
            test.failingLba = lba;
            test.lbaBits = driveSectors > std::uint64_t{1} << kSummarySelfTestLbaBits ? kSummarySelfTestLbaBits : 0;
        }
    }
    return tests;
}

std::vector<DriveLogs::SelfTest> DriveLogs::AtaExtSelfTests(Sector log)
{
    std::vector<SelfTest> tests;
    const std::size_t newest = ReadLe(log.subspan(kExtIndexByte, 2));
    for (const std::size_t slot : RingSlots(newest, kAtaExtSelfTests, kAtaExtSelfTests)) {
        const auto descriptor = log.subspan(kExtEntriesAt + slot * kExtDescriptorSize, kExtDescriptorSize);
        if (AllZero(descriptor)) {
            continue;
        }
        SelfTest& test = tests.emplace_back();
        ReadDescriptor(descriptor, test);
        const std::uint64_t lba = ReadLe(descriptor.subspan(5, 6));
        if (test.failed && lba != kNoExtLba) {
            test.failingLba = lba;
        }
    }
    return tests;
}

DriveLogs::NvmeSelfTestLog DriveLogs::NvmeSelfTests(std::span<const std::uint8_t, kNvmeSelfTestLogSize> log)
{
    NvmeSelfTestLog result;
    result.results.reserve(kNvmeResults);
    result.operation = log[0] & 0x0F;
    result.completion = log[1] & 0x7F;
    for (std::size_t index = 0; index < kNvmeResults; ++index) {
        const auto entry = log.subspan(4 + index * kNvmeResultSize, kNvmeResultSize);
        // Result Fh marks an unused entry, and so does test code 0, which no test has: a log that
        // was never written is all zeros.
        if ((entry[0] & 0x0F) == kNvmeUnused || entry[0] >> 4 == 0) {
            continue;
        }
        SelfTest& test = result.results.emplace_back();
        test.type = entry[0] >> 4;
        test.status = entry[0] & 0x0F;
        const std::uint8_t valid = entry[2];
        test.hours = ReadLe(entry.subspan(4, 8));
        if ((valid & 1u) != 0) {
            test.nsid = static_cast<std::uint32_t>(ReadLe(entry.subspan(12, 4)));
        }
        if ((valid & 2u) != 0) {
            test.failingLba = ReadLe(entry.subspan(16, 8));
        }
        if ((valid & 4u) != 0) {
            test.sct = entry[24];
        }
        if ((valid & 8u) != 0) {
            test.sc = entry[25];
        }
        if (test.status == 7) {
            test.segment = entry[1];
        }
        test.failed = test.status >= 5 && test.status <= 7;
        test.extended = test.type == 2;
        test.passed = test.status == 0;
    }
    return result;
}

DriveLogs::AtaErrorLog DriveLogs::AtaErrors(Sector log, std::uint64_t driveSectors)
{
    AtaErrorLog result;
    result.count = static_cast<std::uint16_t>(ReadLe(log.subspan(kErrorCountByte, 2)));
    const std::vector<std::size_t> slots = RingSlots(log[1], kErrorEntries, result.count);
    for (std::size_t age = 0; age < slots.size(); ++age) {
        const auto entry = log.subspan(2 + slots[age] * kErrorEntrySize, kErrorEntrySize);
        const auto error = entry.subspan(kCommandsSize);
        AtaError& logged = result.entries.emplace_back();
        logged.number = result.count - static_cast<std::uint32_t>(age);
        for (std::size_t c = 0; c < 5; ++c) {
            const auto command = entry.subspan(c * kCommandSize, kCommandSize);
            if (!AllZero(command)) {
                ++logged.commandsLogged;
                logged.command = command[7];
                logged.commandMilliseconds = static_cast<std::uint32_t>(ReadLe(command.subspan(8, 4)));
            }
        }
        logged.error = error[1];
        logged.lba = std::uint64_t{error[6] & 0x0Fu} << 24 | std::uint64_t{error[5]} << 16 |
                     std::uint64_t{error[4]} << 8 | error[3];
        logged.status = error[7];
        logged.state = error[27];
        logged.hours = static_cast<std::uint16_t>(ReadLe(error.subspan(28, 2)));
        logged.weighed = (logged.error & (kErrorUnc | kErrorIdnf)) != 0;
        const bool whole = std::find(k28BitCommands.begin(), k28BitCommands.end(), logged.command) !=
                           k28BitCommands.end();
        logged.lbaBits = !whole && driveSectors > std::uint64_t{1} << kSummaryErrorLbaBits ? kSummaryErrorLbaBits : 0;
    }
    return result;
}

DriveLogs::AtaErrorLog DriveLogs::AtaExtErrors(Sector log)
{
    AtaErrorLog result;
    result.count = static_cast<std::uint16_t>(ReadLe(log.subspan(kExtErrorCountByte, 2)));
    const std::vector<std::size_t> slots = RingSlots(ReadLe(log.subspan(kExtIndexByte, 2)), kAtaExtErrors, result.count);
    for (std::size_t age = 0; age < slots.size(); ++age) {
        const auto entry = log.subspan(kExtEntriesAt + slots[age] * kExtEntrySize, kExtEntrySize);
        const auto error = entry.subspan(kExtCommandsSize);
        AtaError& logged = result.entries.emplace_back();
        logged.number = result.count - static_cast<std::uint32_t>(age);
        for (std::size_t c = 0; c < 5; ++c) {
            const auto command = entry.subspan(c * kExtCommandSize, kExtCommandSize);
            if (!AllZero(command)) {
                ++logged.commandsLogged;
                logged.command = command[12];
                logged.commandMilliseconds = static_cast<std::uint32_t>(ReadLe(command.subspan(14, 4)));
            }
        }
        logged.error = error[1];
        for (std::size_t byte = 0; byte < kExtLbaBytes.size(); ++byte) {
            logged.lba |= std::uint64_t{error[kExtLbaBytes[byte]]} << (8 * byte);
        }
        logged.status = error[11];
        logged.state = error[31];
        logged.hours = static_cast<std::uint16_t>(ReadLe(error.subspan(32, 2)));
        logged.weighed = (logged.error & (kErrorUnc | kErrorIdnf)) != 0;
    }
    return result;
}

bool DriveLogs::ExtNewestOnFirstPage(Sector log, std::uint8_t address)
{
    return ReadLe(log.subspan(kExtIndexByte, 2)) <= (address == kExtSelfTestLogAddress ? kAtaExtSelfTests : kAtaExtErrors);
}

bool DriveLogs::HasGeneralPurposeLogging(Sector identify)
{
    const auto has = [identify](std::size_t at) {
        const auto word = ValidWord(identify, at);
        return word && (*word & kGeneralPurposeLogging) != 0;
    };
    return has(kCommandSetWord) || has(kCommandSetDefaultWord);
}

std::uint32_t DriveLogs::LogicalSectorSize(Sector identify)
{
    const auto word = ValidWord(identify, kSectorSizeWord);
    if (!word || (*word & kLongLogicalSector) == 0) {
        return kSectorSize;
    }
    // In 16-bit words; a size that no drive has keeps the default.
    const std::uint64_t bytes = ReadLe(identify.subspan(kLogicalSectorWords, 4)) * 2;
    return bytes >= kSectorSize && bytes <= 0x10000 && (bytes & (bytes - 1)) == 0 ? static_cast<std::uint32_t>(bytes)
                                                                                  : static_cast<std::uint32_t>(kSectorSize);
}

bool DriveLogs::PageCounts(std::span<const std::uint8_t> pages, std::uint8_t page)
{
    return PageRevision(pages, page).has_value();
}

std::optional<std::uint16_t> DriveLogs::PageRevision(std::span<const std::uint8_t> pages, std::uint8_t page)
{
    const auto bytes = PageAt(pages, page);
    if (bytes.empty() || bytes[2] != page) {
        return std::nullopt;
    }
    const auto revision = static_cast<std::uint16_t>(ReadLe(bytes.first(2)));
    return revision != 0 ? std::optional<std::uint16_t>(revision) : std::nullopt;
}

std::vector<std::uint8_t> DriveLogs::ListedPages(std::span<const std::uint8_t> pages)
{
    if (!PageCounts(pages, 0)) {
        return {};
    }
    const std::size_t count = std::min<std::size_t>(pages[kPageListCountByte], kSectorSize - kPageListCountByte - 1);
    const auto list = pages.subspan(kPageListCountByte + 1, count);
    return {list.begin(), list.end()};
}

std::size_t DriveLogs::StatisticsSectors(Sector pageZero)
{
    const std::vector<std::uint8_t> listed = ListedPages(pageZero);
    if (listed.empty()) {
        return PageCounts(pageZero, 0) ? 1 : 0;
    }
    std::size_t highest = 0;
    for (const std::uint8_t page : listed) {
        if (page < kMaxStatisticsPages) {
            highest = std::max<std::size_t>(highest, page);
        }
    }
    return highest + 1;
}

std::optional<std::uint64_t> DriveLogs::StatisticWord(std::span<const std::uint8_t> pages, std::uint8_t page,
                                                      std::size_t offset)
{
    if (offset < 8 || offset >= kSectorSize || offset % 8 != 0 || !PageCounts(pages, page)) {
        return std::nullopt;
    }
    return ReadLe(PageAt(pages, page).subspan(offset, 8));
}

std::optional<std::uint64_t> DriveLogs::Statistic(std::span<const std::uint8_t> pages, std::uint8_t page,
                                                  std::size_t offset)
{
    const auto word = StatisticWord(pages, page, offset);
    if (!word || (*word & kSupportedAndValid) != kSupportedAndValid) {
        return std::nullopt;
    }
    return *word & kValueBits;
}

std::optional<std::int32_t> DriveLogs::Temperature(std::span<const std::uint8_t> pages, std::size_t offset)
{
    const auto value = Statistic(pages, kTemperaturePage, offset);
    if (!value) {
        return std::nullopt;
    }
    const auto celsius = static_cast<std::int32_t>(static_cast<std::int8_t>(*value & 0xFF));
    return celsius == kNoTemperature ? std::nullopt : std::optional<std::int32_t>(celsius);
}

std::vector<DriveLogs::NvmeError> DriveLogs::NvmeErrors(std::span<const std::uint8_t> log)
{
    std::vector<NvmeError> errors;
    const std::size_t entries = std::min(log.size() / kNvmeErrorEntrySize, kMaxNvmeErrors);
    errors.reserve(entries);
    for (std::size_t index = 0; index < entries; ++index) {
        const auto entry = log.subspan(index * kNvmeErrorEntrySize, kNvmeErrorEntrySize);
        const std::uint64_t count = ReadLe(entry.first(8));
        if (count == 0) {
            continue;
        }
        errors.push_back({count, static_cast<std::uint16_t>(ReadLe(entry.subspan(8, 2))),
                          static_cast<std::uint16_t>(ReadLe(entry.subspan(10, 2))),
                          static_cast<std::uint16_t>(ReadLe(entry.subspan(12, 2))),
                          static_cast<std::uint16_t>(ReadLe(entry.subspan(14, 2))), ReadLe(entry.subspan(16, 8)),
                          static_cast<std::uint32_t>(ReadLe(entry.subspan(24, 4))), entry[28]});
    }
    return errors;
}

bool DriveLogs::NvmeRunsSelfTests(std::span<const std::uint8_t, kIdentifySize> identify)
{
    return (identify[kOacsByte] & kOacsSelfTest) != 0;
}

std::size_t DriveLogs::NvmeErrorEntries(std::span<const std::uint8_t, kIdentifySize> identify)
{
    return std::min<std::size_t>(std::size_t{identify[kElpeByte]} + 1, kMaxNvmeErrors);
}

std::wstring DriveLogs::LbaText(std::uint64_t lba, std::uint8_t bits)
{
    return bits == 0 ? BoundedText::Formatted<32>(L"%llu", static_cast<unsigned long long>(lba))
                     : BoundedText::Formatted<48>(L"LBA (low %u bits) %llu", unsigned{bits},
                                                  static_cast<unsigned long long>(lba));
}

std::wstring DriveLogs::AtaTestType(std::uint8_t type)
{
    const bool captive = type >= 129 && type <= 132;
    if (const Word* word = Find(kAtaTypes, captive ? type - 128u : type)) {
        return std::wstring(word->text) + (captive ? L" (captive)" : L"");
    }
    return L"Vendor (" + Hex(type) + L")";
}

std::wstring DriveLogs::AtaTestStatus(std::uint8_t status)
{
    const Word* word = Find(kAtaStatuses, status);
    return word != nullptr ? std::wstring(word->text) : Reserved(status);
}

std::wstring DriveLogs::NvmeTestType(std::uint8_t code)
{
    const Word* word = Find(kNvmeTypes, code);
    return word != nullptr ? std::wstring(word->text) : Reserved(code);
}

std::wstring DriveLogs::NvmeTestResult(std::uint8_t result)
{
    const Word* word = Find(kNvmeResultWords, result);
    return word != nullptr ? std::wstring(word->text) : Reserved(result);
}

std::wstring DriveLogs::NvmeOperation(std::uint8_t operation)
{
    if (operation == 0) {
        return L"No self-test in progress";
    }
    const Word* word = Find(kNvmeTypes, operation);
    return word != nullptr ? std::wstring(word->text) + L" self-test in progress" : Reserved(operation);
}

std::wstring DriveLogs::FailureWords(const SelfTest& test, bool nvme)
{
    const Word* word = Find(kFailures, test.status + (nvme ? kNvmeFailureKey : 0u));
    return word != nullptr ? std::wstring(word->text) : (nvme ? NvmeTestResult(test.status) : AtaTestStatus(test.status));
}

std::wstring DriveLogs::AtaErrorWords(std::uint8_t error)
{
    std::wstring words;
    for (const Word& bit : kErrorBits) {
        if ((error & bit.code) != 0) {
            words.append(words.empty() ? L"" : L", ").append(bit.text);
        }
    }
    return words.empty() ? Hex(error) : words;
}

std::wstring DriveLogs::AtaCommandName(std::uint8_t command)
{
    const Word* word = Find(kCommands, command);
    return word != nullptr ? std::wstring(word->text) : Hex(command);
}

std::wstring DriveLogs::AtaCommandKind(std::uint8_t command)
{
    const Word* word = Find(kCommands, command);
    if (word == nullptr) {
        return {};
    }
    return word->text.starts_with(L"READ") ? L"read" : L"write";
}

std::wstring DriveLogs::NvmeStatusWords(std::uint8_t sct, std::uint8_t sc)
{
    if (const Word* word = Find(kNvmeStatuses, static_cast<unsigned>(sct) << 8 | sc)) {
        return std::wstring(word->text);
    }
    return BoundedText::Formatted<40>(L"Status type %u, code 0x%02X", static_cast<unsigned>(sct),
                                      static_cast<unsigned>(sc));
}
