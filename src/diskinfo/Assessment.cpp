#include "diskinfo/Assessment.h"

#include "text/BoundedText.h"
#include "text/Decimal.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::size_t kNumberCapacity = 64;

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

void AssessNvme(const NvmeHealth::Fields& fields, Assessment& assessment)
{
    if (fields.criticalWarning != 0) {
        assessment.verdict = Assessment::Verdict::Failing;
        assessment.reasons.push_back(L"Critical warning " + Assessment::CriticalWarningText(fields.criticalWarning));
    }
    if (fields.percentageUsed >= 100) {
        assessment.verdict = std::max(assessment.verdict, Assessment::Verdict::Caution);
        assessment.reasons.push_back(L"Percentage used " + Decimal(fields.percentageUsed) +
                                     L" %: the drive has reached its rated endurance");
    }
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

std::optional<NvmeHealth::Fields> Assessment::NvmeFieldsOf(const DriveDetails& details)
{
    return details.nvmeLog ? std::optional<NvmeHealth::Fields>(NvmeHealth::Read(*details.nvmeLog)) : std::nullopt;
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
    if (const auto fields = NvmeFieldsOf(details)) {
        AssessNvme(*fields, assessment);
    } else if (details.smartData) {
        AssessAta(details, assessment);
    } else {
        // Nothing to judge by is not the same as nothing found.
        if (!details.info.failurePredicted) {
            assessment.verdict = Verdict::Unknown;
        }
        assessment.reasons.emplace_back(details.BehindRaid() ? kBehindRaid : kNoSmartData);
    }
    return assessment;
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
