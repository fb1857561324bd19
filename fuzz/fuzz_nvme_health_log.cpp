#include "FuzzCheck.h"

#include "diskinfo/DeviceAnswers.h"
#include "diskinfo/DriveLogs.h"
#include "diskinfo/NvmeHealth.h"
#include "diskinfo/RstNvme.h"
#include "report/DetailsText.h"

#include <array>
#include <cwchar>
#include <iterator>
#include <map>
#include <optional>
#include <string>

namespace {

constexpr std::size_t kLogSize = DeviceAnswers::kNvmeLogSize;
constexpr std::size_t kDataStart = 8; // STORAGE_PROTOCOL_DATA_DESCRIPTOR: Version, Size, then the protocol data
constexpr std::int64_t kCap = (std::int64_t{1} << 48) - 1;

// A 128-bit little-endian count by the published rule: the count below 2^48, else 2^48 - 1.
std::int64_t ExpectedCount(std::span<const std::uint8_t> log, std::size_t at)
{
    const std::uint64_t low = FuzzReadLe(log.subspan(at), 8);
    const std::uint64_t high = FuzzReadLe(log.subspan(at + 8), 8);
    return high == 0 && low <= static_cast<std::uint64_t>(kCap) ? static_cast<std::int64_t>(low) : kCap;
}

void CheckHealthLog(DeviceAnswers::NvmeLog log)
{
    const DeviceAnswers::SmartValues values = DeviceAnswers::ParseNvmeHealthLog(log);

    // The list view shows "-" for a negative value: the sentinel is exactly -1 and real values
    // stay in the record's ranges.
    FUZZ_CHECK(values.temperature == -1 || (values.temperature >= 0 && values.temperature <= 255));
    FUZZ_CHECK(values.powerOnHours >= 0 && values.powerOnHours <= kCap);
    FUZZ_CHECK(values.powerCycles >= 0 && values.powerCycles <= kCap);

    const auto kelvin = static_cast<std::int64_t>(FuzzReadLe(log.subspan(1), 2));
    FUZZ_CHECK(values.temperature == (kelvin == 0 ? -1 : std::clamp<std::int64_t>(kelvin - 273, 0, 255)));
    FUZZ_CHECK(values.powerCycles == ExpectedCount(log, 112));
    FUZZ_CHECK(values.powerOnHours == ExpectedCount(log, 128));
}

// A decimal text read back by multiplying up in two 64-bit halves: the inverse of the
// long division that wrote it.
NvmeHealth::Count FromDecimal(const std::string& digits)
{
    NvmeHealth::Count count;
    for (const char digit : digits) {
        FUZZ_CHECK(digit >= '0' && digit <= '9');
        const unsigned __int128 value =
            ((static_cast<unsigned __int128>(count.high) << 64) | count.low) * 10 + static_cast<unsigned>(digit - '0');
        count = {static_cast<std::uint64_t>(value), static_cast<std::uint64_t>(value >> 64)};
    }
    return count;
}

// Every field of the log at its published place, the count `written` in decimal exactly, and,
// when `view`, the details view's rows and verdict of it.
void CheckWholeLog(DeviceAnswers::NvmeLog log, std::size_t written, bool view)
{
    const NvmeHealth::Fields fields = NvmeHealth::Read(log);
    FUZZ_CHECK(fields.criticalWarning == log[0] && fields.availableSpare == log[3]);
    FUZZ_CHECK(fields.availableSpareThreshold == log[4] && fields.percentageUsed == log[5]);
    FUZZ_CHECK(fields.warningTemperatureMinutes == FuzzReadLe(log.subspan(192), 4));
    FUZZ_CHECK(fields.criticalTemperatureMinutes == FuzzReadLe(log.subspan(196), 4));
    std::size_t sensorRows = 0;
    for (std::size_t i = 0; i < fields.sensors.size(); ++i) {
        const auto kelvin = static_cast<std::int32_t>(FuzzReadLe(log.subspan(200 + 2 * i), 2));
        FUZZ_CHECK(fields.sensors[i] == (kelvin == 0 ? std::nullopt : std::optional<std::int32_t>(kelvin - 273)));
        sensorRows += kelvin == 0 ? 0 : 1;
    }
    FUZZ_CHECK(fields.thermalTransitions1 == FuzzReadLe(log.subspan(216), 4));
    FUZZ_CHECK(fields.thermalTransitions2 == FuzzReadLe(log.subspan(220), 4));
    FUZZ_CHECK(fields.thermalSeconds1 == FuzzReadLe(log.subspan(224), 4));
    FUZZ_CHECK(fields.thermalSeconds2 == FuzzReadLe(log.subspan(228), 4));
    const NvmeHealth::Count* counts[] = {&fields.dataUnitsRead,    &fields.dataUnitsWritten,
                                         &fields.hostReadCommands, &fields.hostWriteCommands,
                                         &fields.controllerBusyMinutes, &fields.powerCycles,
                                         &fields.powerOnHours,     &fields.unsafeShutdowns,
                                         &fields.mediaErrors,      &fields.errorLogEntries};
    for (std::size_t i = 0; i < std::size(counts); ++i) {
        const std::size_t at = 32 + 16 * i;
        FUZZ_CHECK(counts[i]->low == FuzzReadLe(log.subspan(at), 8) && counts[i]->high == FuzzReadLe(log.subspan(at + 8), 8));
    }
    const std::string digits = NvmeHealth::ToDecimal(*counts[written]);
    FUZZ_CHECK(!digits.empty() && (digits.size() == 1 || digits[0] != '0'));
    FUZZ_CHECK(FromDecimal(digits) == *counts[written]);
    if (!view) {
        return;
    }

    DriveDetails details;
    details.nvmeLog.emplace();
    std::copy(log.begin(), log.end(), details.nvmeLog->begin());
    const DetailsText::Table table = DetailsText::BuildTable(details);
    FUZZ_CHECK(table.columns.size() == 2 && table.rows.size() == 21 + sensorRows);
    const auto verdict = Assessment::Of(details).verdict;
    const bool caution = fields.percentageUsed >= 100 || fields.mediaErrors != NvmeHealth::Count{};
    FUZZ_CHECK(verdict == (fields.criticalWarning != 0 ? Assessment::Verdict::Failing
                           : caution                   ? Assessment::Verdict::Caution
                                                       : Assessment::Verdict::Good));
}

// The log is found exactly when the returned length is at least 512 and the returned offset
// and length keep the returned data inside the answer, and then it starts at that offset.
void CheckLocate(std::span<const std::uint8_t> answer)
{
    const auto log = DeviceAnswers::NvmeHealthLog(answer);
    const bool hasDescriptor = answer.size() >= kDataStart + DeviceAnswers::kProtocolSpecificDataSize;
    const std::uint64_t offset = hasDescriptor ? FuzzReadLe(answer.subspan(kDataStart + 16), 4) : 0;
    const std::uint64_t length = hasDescriptor ? FuzzReadLe(answer.subspan(kDataStart + 20), 4) : 0;
    FUZZ_CHECK(log.has_value() ==
               (hasDescriptor && length >= kLogSize && kDataStart + offset + length <= answer.size()));
    if (log) {
        FUZZ_CHECK(log->data() == answer.data() + kDataStart + offset);
        CheckHealthLog(*log);
    }
}

// The request does not depend on the answer: the same 48 bytes every time, only the property
// id differing.
void CheckRequests()
{
    std::array<std::uint8_t, DeviceAnswers::kNvmeLogRequestSize> expected{};
    expected[8] = 3;     // ProtocolTypeNvme
    expected[12] = 2;    // NVMeDataTypeLogPage
    expected[16] = 0x02; // SMART / Health Information
    expected[24] = 40;   // returned data right behind the protocol data
    expected[29] = 0x02; // 512 bytes
    expected[0] = 50;
    FUZZ_CHECK(DeviceAnswers::NvmeHealthLogRequest(DeviceAnswers::NvmeLogProperty::Device) == expected);
    expected[0] = 49;
    FUZZ_CHECK(DeviceAnswers::NvmeHealthLogRequest(DeviceAnswers::NvmeLogProperty::Adapter) == expected);
}

// The words NVMe publishes for a self-test's result and test code, and for the status codes the
// program names, each with the program's text for the rest.
const std::map<unsigned, std::wstring> kResultWords{{0, L"Completed without error"},
                                                    {1, L"Aborted: self-test command"},
                                                    {2, L"Aborted: controller reset"},
                                                    {3, L"Aborted: namespace removed"},
                                                    {4, L"Aborted: format"},
                                                    {5, L"Fatal or unknown error"},
                                                    {6, L"Completed: unknown failed segment"},
                                                    {7, L"Completed: failed segments"},
                                                    {8, L"Aborted: unknown reason"},
                                                    {9, L"Aborted: sanitize"}};
const std::map<unsigned, std::wstring> kTestWords{{1, L"Short"}, {2, L"Extended"}, {14, L"Vendor"}};
const std::map<unsigned, std::wstring> kStatusWords{
    {0x000, L"Successful Completion"}, {0x001, L"Invalid Command Opcode"}, {0x002, L"Invalid Field in Command"},
    {0x004, L"Data Transfer Error"},   {0x006, L"Internal Error"},         {0x007, L"Command Abort Requested"},
    {0x00B, L"Invalid Namespace or Format"}, {0x109, L"Invalid Log Page"}, {0x280, L"Write Fault"},
    {0x281, L"Unrecovered Read Error"}, {0x285, L"Compare Failure"},       {0x286, L"Access Denied"}};

std::wstring WordOr(const std::map<unsigned, std::wstring>& words, unsigned code, const std::wstring& otherwise)
{
    const auto it = words.find(code);
    return it != words.end() ? it->second : otherwise;
}

// The input as the device self-test log (its first 564 bytes) and as the error information log
// (all of it), by their published layouts: unused results and entries left out, each field at
// its place, the optional ones exactly where their valid bits are set; the words of the
// `pick`-th result and entry (one each per input: words are strings, costly to make).
void CheckNvmeLogs(std::span<const std::uint8_t, DriveLogs::kNvmeSelfTestLogSize> selfTests,
                   std::span<const std::uint8_t> errors, std::size_t pick)
{
    const DriveLogs::NvmeSelfTestLog log = DriveLogs::NvmeSelfTests(selfTests);
    FUZZ_CHECK(log.operation == (selfTests[0] & 15U) && log.completion == (selfTests[1] & 0x7FU));
    std::size_t next = 0;
    for (std::size_t i = 0; i < 20; ++i) {
        const auto entry = selfTests.subspan(4 + 28 * i, 28);
        if ((entry[0] & 15U) == 15 || entry[0] >> 4 == 0) {
            continue;
        }
        FUZZ_CHECK(next < log.results.size());
        const DriveLogs::SelfTest& test = log.results[next++];
        const unsigned result = entry[0] & 15U;
        const unsigned valid = entry[2];
        FUZZ_CHECK(test.type == entry[0] >> 4 && test.status == result && test.hours == FuzzReadLe(entry.subspan(4), 8));
        FUZZ_CHECK(test.failed == (result >= 5 && result <= 7) && test.extended == (entry[0] >> 4 == 2));
        FUZZ_CHECK(test.nsid.has_value() == ((valid & 1U) != 0) && (!test.nsid || *test.nsid == FuzzReadLe(entry.subspan(12), 4)));
        FUZZ_CHECK(test.failingLba.has_value() == ((valid & 2U) != 0) &&
                   (!test.failingLba || *test.failingLba == FuzzReadLe(entry.subspan(16), 8)));
        FUZZ_CHECK(test.sct == ((valid & 4U) != 0 ? std::optional<std::uint8_t>(entry[24]) : std::nullopt));
        FUZZ_CHECK(test.sc == ((valid & 8U) != 0 ? std::optional<std::uint8_t>(entry[25]) : std::nullopt));
        FUZZ_CHECK(test.segment == (result == 7 ? std::optional<std::uint8_t>(entry[1]) : std::nullopt));
    }
    FUZZ_CHECK(next == log.results.size());
    if (!log.results.empty()) {
        const DriveLogs::SelfTest& test = log.results[pick % log.results.size()];
        const std::wstring reserved = L"Reserved (";
        FUZZ_CHECK(DriveLogs::NvmeTestResult(test.status) ==
                   WordOr(kResultWords, test.status, reserved + std::to_wstring(test.status) + L")"));
        FUZZ_CHECK(DriveLogs::NvmeTestType(test.type) ==
                   WordOr(kTestWords, test.type, reserved + std::to_wstring(test.type) + L")"));
    }

    const auto entries = DriveLogs::NvmeErrors(errors);
    std::size_t used = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(errors.size() / 64, 64); ++i) {
        const auto entry = errors.subspan(64 * i, 64);
        if (FuzzReadLe(entry, 8) == 0) {
            continue;
        }
        FUZZ_CHECK(used < entries.size());
        const DriveLogs::NvmeError& error = entries[used++];
        FUZZ_CHECK(error.count == FuzzReadLe(entry, 8) && error.status == FuzzReadLe(entry.subspan(12), 2));
        FUZZ_CHECK(error.lba == FuzzReadLe(entry.subspan(16), 8) && error.nsid == FuzzReadLe(entry.subspan(24), 4));
        FUZZ_CHECK(error.sct() <= 7);
    }
    FUZZ_CHECK(used == entries.size());
    if (!entries.empty()) {
        const DriveLogs::NvmeError& error = entries[pick % entries.size()];
        wchar_t other[40];
        std::swprintf(other, std::size(other), L"Status type %u, code 0x%02X", unsigned{error.sct()}, unsigned{error.sc()});
        FUZZ_CHECK(DriveLogs::NvmeStatusWords(error.sct(), error.sc()) ==
                   WordOr(kStatusWords, unsigned{error.sct()} << 8 | error.sc(), other));
    }
}

// The RST pass-through's buffer as the driver returns it: the data is found exactly when
// ReturnCode (byte 20) is SRB_STATUS_SUCCESS (1), at 164 for the length asked, which fits the
// 4,096-byte area. The error log's request asks NUMD for 1 to 64 entries, its data length to match.
void CheckRstNvme(std::span<const std::uint8_t> input)
{
    static FixedAnswer<RstNvme::kRequestSize> buffer;
    const auto answer = buffer.Fill(input);
    const std::size_t length = Chosen(input, 4097);
    const auto data = RstNvme::DataOf(answer, length);
    FUZZ_CHECK(data.has_value() == (FuzzReadLe(answer.subspan(20), 4) == 1));
    FUZZ_CHECK(!data || (data->data() == answer.data() + 164 && data->size() == length));
    const std::size_t entries = Chosen(input, 100);
    const auto request = RstNvme::Build(RstNvme::Command::ErrorLog, 0, 0, 0, entries);
    const std::uint64_t dwords = (FuzzReadLe(std::span(request).subspan(72), 4) >> 16) + 1;
    FUZZ_CHECK(dwords == std::clamp<std::size_t>(entries, 1, 64) * 16 && FuzzReadLe(std::span(request).subspan(120), 4) == dwords * 4);
}

} // namespace

// The input is a protocol data descriptor answer of exactly its own size, to be searched for
// the log; its first 512 bytes (zero-filled when shorter) are also read as a log directly, so
// that the log reader is fuzzed whatever the descriptor's offset and length say; its first 564
// bytes are a device self-test log, and the whole of it an error information log and the start of
// the RST pass-through's returned buffer.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    const ExactAnswer<std::uint8_t> answer(input, size);
    CheckLocate(answer.Bytes());

    static FixedAnswer<kLogSize> logAnswer;
    const auto log = logAnswer.Fill(input);
    CheckHealthLog(log);
    CheckWholeLog(log, Chosen(input, 10), ChecksView(input));
    CheckRequests();
    static FixedAnswer<DriveLogs::kNvmeSelfTestLogSize> selfTests;
    CheckNvmeLogs(selfTests.Fill(input), answer.Bytes(), Chosen(input, 64));
    CheckRstNvme(input);
    return 0;
}
