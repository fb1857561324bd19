#include "diskinfo/Assessment.h"

#include "diskinfo/DriveLogs.h"
#include "diskinfo/SatPassThrough.h"
#include "text/BoundedText.h"
#include "text/Decimal.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::size_t kNumberCapacity = 64;
constexpr std::size_t kReasonCapacity = 200;

std::optional<AtaSmart::Page> PageOf(const std::optional<DriveDetails::Page>& page)
{
    return page ? std::optional<AtaSmart::Page>(*page) : std::nullopt;
}

std::wstring AttributeLabel(const AtaSmart::Attribute& attribute)
{
    return L"Attribute " + Decimal(attribute.id) + L" " + std::wstring(AtaSmart::AttributeName(attribute.id));
}

std::optional<std::wstring> AttributeReason(const AtaSmart::Attribute& attribute)
{
    const std::wstring threshold = attribute.threshold ? Decimal(*attribute.threshold) : std::wstring();
    switch (attribute.status) {
    case AtaSmart::Status::FailingNow:
        return AttributeLabel(attribute) + L": current " + Decimal(attribute.current) +
               L" is at or below its threshold " + threshold;
    case AtaSmart::Status::FailedInPast:
        return AttributeLabel(attribute) + L": worst " + Decimal(attribute.worst) +
               L" was at or below its threshold " + threshold + L" in the past";
    case AtaSmart::Status::Watch:
        return AttributeLabel(attribute) + L": raw count " + Decimal(attribute.raw & 0xFFFF'FFFFu) + L" is not 0";
    case AtaSmart::Status::Ok:
        break;
    }
    return std::nullopt;
}

constexpr std::array<std::wstring_view, 8> kWarningBits{
    L"available spare below its threshold",
    L"temperature beyond a threshold",
    L"reliability degraded",
    L"media read-only",
    L"volatile memory backup failed",
    L"persistent memory region unreliable",
    L"reserved bit 6",
    L"reserved bit 7",
};

void AssessAta(const DriveDetails& details, Assessment& assessment)
{
    for (const AtaSmart::Attribute& attribute : Assessment::AttributesOf(details)) {
        if (const auto reason = AttributeReason(attribute)) {
            assessment.reasons.push_back(*reason);
            const auto verdict = attribute.status == AtaSmart::Status::FailingNow ? Assessment::Verdict::Failing
                                                                                   : Assessment::Verdict::Caution;
            assessment.verdict = std::max(assessment.verdict, verdict);
        }
    }
}

void Worn(std::uint64_t percentageUsed, Assessment& assessment)
{
    if (percentageUsed >= 100) {
        assessment.verdict = std::max(assessment.verdict, Assessment::Verdict::Caution);
        assessment.reasons.push_back(L"Percentage used " + Decimal(percentageUsed) +
                                     L" %: the drive has reached its rated endurance");
    }
}

std::wstring LowerFirst(std::wstring text)
{
    if (!text.empty() && text[0] >= L'A' && text[0] <= L'Z') {
        text[0] = static_cast<wchar_t>(text[0] - L'A' + L'a');
    }
    return text;
}

// The newest failed self-test's place (0 the newest), unless an extended one completed without
// error after it: a pass over the whole surface clears what a failure before it said.
std::optional<std::size_t> StandingFailure(const std::vector<DriveLogs::SelfTest>& tests)
{
    for (std::size_t age = 0; age < tests.size(); ++age) {
        if (tests[age].extended && tests[age].passed) {
            return std::nullopt;
        }
        if (tests[age].failed) {
            return age;
        }
    }
    return std::nullopt;
}

struct SelfTestLog {
    std::vector<DriveLogs::SelfTest> tests; // newest first
    bool nvme = false;
};

// The self-test logs the drive gave: ATA's, NVMe's, or none.
std::vector<SelfTestLog> SelfTestLogsOf(const DriveDetails& details)
{
    std::vector<SelfTestLog> logs;
    if (details.selfTestLog) {
        logs.push_back({Assessment::AtaSelfTestsOf(details), false});
    }
    if (details.nvmeSelfTests.size() == DriveLogs::kNvmeSelfTestLogSize) {
        const std::span<const std::uint8_t, DriveLogs::kNvmeSelfTestLogSize> log(details.nvmeSelfTests.data(),
                                                                                 DriveLogs::kNvmeSelfTestLogSize);
        logs.push_back({DriveLogs::NvmeSelfTests(log).results, true});
    }
    return logs;
}

void AssessSelfTests(const std::vector<DriveLogs::SelfTest>& tests, bool nvme, Assessment& assessment)
{
    const auto age = StandingFailure(tests);
    if (!age) {
        return;
    }
    const DriveLogs::SelfTest& test = tests[*age];
    const std::wstring type = nvme ? DriveLogs::NvmeTestType(test.type) : DriveLogs::AtaTestType(test.type);
    const std::wstring lba = !test.failingLba ? std::wstring()
                             : test.lbaBits == 0 ? L" at LBA " + Decimal(*test.failingLba)
                                                 : L" at " + DriveLogs::LbaText(*test.failingLba, test.lbaBits);
    assessment.verdict = Assessment::Verdict::Failing;
    assessment.reasons.push_back(BoundedText::Formatted<kReasonCapacity>(
        L"Self-test #%u (%ls) ended in %ls%ls, at hour %llu", static_cast<unsigned>(*age + 1),
        LowerFirst(type).c_str(), DriveLogs::FailureWords(test, nvme).c_str(), lba.c_str(),
        static_cast<unsigned long long>(test.hours)));
}

// Media errors weigh; interface and aborted commands say more about the cable or the host.
void AssessErrors(const DriveLogs::AtaErrorLog& log, Assessment& assessment)
{
    const auto newest = std::find_if(log.entries.begin(), log.entries.end(),
                                     [](const DriveLogs::AtaError& error) { return error.weighed; });
    if (newest == log.entries.end()) {
        return;
    }
    const std::wstring kind = DriveLogs::AtaCommandKind(newest->command);
    assessment.verdict = std::max(assessment.verdict, Assessment::Verdict::Caution);
    const std::wstring lba = newest->lbaBits == 0 ? L"LBA " + Decimal(newest->lba)
                                                  : DriveLogs::LbaText(newest->lba, newest->lbaBits);
    assessment.reasons.push_back(BoundedText::Formatted<kReasonCapacity>(
        L"The drive logged %u error%ls; the newest, at hour %u: %ls%ls%ls at %ls", unsigned{log.count},
        log.count == 1 ? L"" : L"s", unsigned{newest->hours},
        (newest->error & DriveLogs::kErrorUnc) != 0 ? L"uncorrectable" : L"sector not found", kind.empty() ? L"" : L" ",
        kind.c_str(), lba.c_str()));
}

void AssessLogs(const DriveDetails& details, Assessment& assessment)
{
    for (const SelfTestLog& log : SelfTestLogsOf(details)) {
        AssessSelfTests(log.tests, log.nvme, assessment);
    }
    if (const auto errors = Assessment::AtaErrorsOf(details)) {
        AssessErrors(*errors, assessment);
    }
    if (const auto used = DriveLogs::Statistic(details.statistics, DriveLogs::kSolidStatePage, DriveLogs::kPercentageUsed)) {
        Worn(*used & 0xFF, assessment);
    }
}

void AssessNvme(const NvmeHealth::Fields& fields, Assessment& assessment)
{
    if (fields.criticalWarning != 0) {
        assessment.verdict = Assessment::Verdict::Failing;
        assessment.reasons.push_back(L"Critical warning " + Assessment::CriticalWarningText(fields.criticalWarning));
    }
    Worn(fields.percentageUsed, assessment);
    if (fields.mediaErrors != NvmeHealth::Count{}) {
        assessment.verdict = std::max(assessment.verdict, Assessment::Verdict::Caution);
        assessment.reasons.push_back(L"Media and data integrity errors: " +
                                     Widened(NvmeHealth::ToDecimal(fields.mediaErrors)));
    }
}

} // namespace

std::vector<AtaSmart::Attribute> Assessment::AttributesOf(const DriveDetails& details)
{
    return details.smartData ? AtaSmart::ReadAttributes(*details.smartData, PageOf(details.smartThresholds))
                             : std::vector<AtaSmart::Attribute>{};
}

std::uint32_t Assessment::LogicalSectorSizeOf(const DriveDetails& details)
{
    return details.identify ? DriveLogs::LogicalSectorSize(*details.identify)
                            : static_cast<std::uint32_t>(DriveLogs::kSectorSize);
}

std::uint64_t Assessment::SectorsOf(const DriveDetails& details)
{
    return details.info.sizeBytes > 0 ? static_cast<std::uint64_t>(details.info.sizeBytes) / LogicalSectorSizeOf(details)
                                      : 0;
}

std::vector<DriveLogs::SelfTest> Assessment::AtaSelfTestsOf(const DriveDetails& details)
{
    if (!details.selfTestLog) {
        return {};
    }
    return details.selfTestLogExtended ? DriveLogs::AtaExtSelfTests(*details.selfTestLog)
                                       : DriveLogs::AtaSelfTests(*details.selfTestLog, SectorsOf(details));
}

std::optional<DriveLogs::AtaErrorLog> Assessment::AtaErrorsOf(const DriveDetails& details)
{
    if (!details.errorLog) {
        return std::nullopt;
    }
    return details.errorLogExtended ? DriveLogs::AtaExtErrors(*details.errorLog)
                                    : DriveLogs::AtaErrors(*details.errorLog, SectorsOf(details));
}

std::optional<NvmeHealth::Fields> Assessment::NvmeFieldsOf(const DriveDetails& details)
{
    return details.nvmeLog ? std::optional<NvmeHealth::Fields>(NvmeHealth::Read(*details.nvmeLog)) : std::nullopt;
}

std::optional<bool> Assessment::SelfTestFailed(const DriveDetails& details)
{
    const std::vector<SelfTestLog> logs = SelfTestLogsOf(details);
    if (logs.empty()) {
        return std::nullopt;
    }
    return std::any_of(logs.begin(), logs.end(), [](const SelfTestLog& log) { return StandingFailure(log.tests).has_value(); });
}

std::wstring Assessment::CriticalWarningText(std::uint8_t warning)
{
    if (warning == 0) {
        return L"0 (none)";
    }
    std::wstring text = BoundedText::Formatted<kNumberCapacity>(L"0x%02X:", static_cast<unsigned>(warning));
    const wchar_t* separator = L" ";
    for (std::size_t bit = 0; bit < kWarningBits.size(); ++bit) {
        if ((warning >> bit & 1u) != 0) {
            text += separator;
            text += kWarningBits[bit];
            separator = L", ";
        }
    }
    return text;
}

Assessment Assessment::Of(const DriveDetails& details)
{
    Assessment assessment;
    if (details.info.failurePredicted) {
        assessment.verdict = Verdict::Failing;
        assessment.reasons.emplace_back(L"The drive predicts its own failure");
    }
    // The first of the members whose verdict is the worst, a member that could not be read worse
    // than a good one; its reasons, each naming it.
    const auto concern = [](Verdict given) {
        return given == Verdict::Unknown ? 1 : given == Verdict::Good ? 0 : static_cast<int>(given) + 1;
    };
    std::optional<Assessment> worst;
    std::size_t worstIndex = 0;
    for (std::size_t i = 0; i < details.members.size(); ++i) {
        Assessment member = Of(details.members[i]);
        if (!worst || concern(member.verdict) > concern(worst->verdict)) {
            worst = std::move(member);
            worstIndex = i;
        }
    }
    if (worst) {
        const DriveInfo& member = details.members[worstIndex].info;
        const std::wstring name = L"Member " + Decimal(worstIndex + 1) + L" (" + member.model + L", serial number " +
                                  member.serialNumber + L")";
        if (concern(worst->verdict) > concern(assessment.verdict)) {
            assessment.verdict = worst->verdict;
        }
        assessment.reasons.push_back(name + L" is the worst of " + Decimal(details.members.size()) + L": " +
                                     std::wstring(VerdictText(worst->verdict)));
        for (const std::wstring& reason : worst->reasons) {
            assessment.reasons.push_back(name + L": " + reason);
        }
        return assessment;
    }
    if (const auto fields = NvmeFieldsOf(details)) {
        AssessNvme(*fields, assessment);
    } else if (details.smartData) {
        AssessAta(details, assessment);
    } else {
        // Nothing to judge by is not the same as nothing found.
        if (!details.info.failurePredicted) {
            assessment.verdict = Verdict::Unknown;
            assessment.virtualDisk = details.virtualDisk;
        }
        assessment.reasons.push_back(NoFiguresReason(details));
    }
    AssessLogs(details, assessment);
    return assessment;
}

std::wstring Assessment::NoFiguresReason(const DriveDetails& details)
{
    if (details.virtualDisk) {
        return kVirtualDiskReason;
    }
    if (details.rstRefused) {
        return kRstRefused;
    }
    if (!details.raidDriver.empty()) {
        return L"behind the " + details.raidDriver + L" RAID driver: not read";
    }
    if (details.BehindRaid()) {
        return kBehindRaid;
    }
    return details.standardOnly && details.busType == SatPassThrough::kBusTypeUsb ? kStandardOnly : kNoSmartData;
}

std::wstring_view Assessment::VerdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Failing:
        return L"Failing";
    case Verdict::Caution:
        return L"Caution";
    case Verdict::Unknown:
        return L"Unknown";
    case Verdict::Good:
        break;
    }
    return L"Good";
}

const wchar_t* Assessment::HealthText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Failing:
        return kBad;
    case Verdict::Caution:
        return kCaution;
    default:
        return kGood;
    }
}
