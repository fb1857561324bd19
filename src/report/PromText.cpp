#include "report/PromText.h"

#include "diskinfo/Assessment.h"
#include "diskinfo/DriveLogs.h"
#include "report/CellText.h"
#include "text/BoundedText.h"
#include "text/Decimal.h"

#include <array>
#include <bitset>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string_view>
#include <utility>

namespace {

// The metrics in the order they are written. The format wants every sample of a metric
// together under its HELP and TYPE lines, so the drives' samples are gathered metric by metric.
enum Metric : std::size_t {
    kInfo,
    kCapacity,
    kAssessment,
    kFailurePredicted,
    kTemperature,
    kPowerOn,
    kPowerCycles,
    kAtaRaw,
    kAtaValue,
    kAtaWorst,
    kAtaThreshold,
    kNvmeUsed,
    kNvmeSpare,
    kNvmeMediaErrors,
    kNvmeUnsafeShutdowns,
    kNvmeRead,
    kNvmeWritten,
    kSelfTestFailed,
    kLoggedErrors,
    kScrapeDuration,
    kMetricCount
};

// ASCII, widened as they are written: the console program keeps within its size.
struct MetricText {
    std::string_view name;
    std::string_view help; // neither a backslash nor a line feed, which HELP would need escaped
};
// Every one a gauge: the figures are the drive's own readings at the time of the run, and a
// counter would have to be the exporter's own and end in _total. Time goes in seconds, the
// format's base unit, which the linters of Prometheus hold a metric name to.
constexpr std::array<MetricText, kMetricCount> kMetrics{{
    {"ostrevane_drive_info", "The drive's identity, bus and where its health figures came from; always 1."},
    {"ostrevane_drive_capacity_bytes", "The drive's capacity in bytes."},
    {"ostrevane_drive_assessment",
     "1 for the drive's assessment (good, caution, failing or unknown), 0 for the other states."},
    {"ostrevane_drive_failure_predicted", "1 when the drive predicts its own failure, 0 when it predicts none."},
    {"ostrevane_drive_temperature_celsius", "The drive's temperature in degrees Celsius."},
    {"ostrevane_drive_power_on_seconds", "The drive's power-on time, its power-on hours in seconds."},
    {"ostrevane_drive_power_cycles", "How many times the drive was powered on."},
    {"ostrevane_ata_attribute_raw", "An ATA SMART attribute's raw value, all 48 bits."},
    {"ostrevane_ata_attribute_value", "An ATA SMART attribute's current normalized value."},
    {"ostrevane_ata_attribute_worst", "An ATA SMART attribute's worst normalized value."},
    {"ostrevane_ata_attribute_threshold", "An ATA SMART attribute's threshold; 0 means it cannot fail."},
    {"ostrevane_nvme_percentage_used", "The NVMe drive's estimate of its endurance used, in percent; may pass 100."},
    {"ostrevane_nvme_available_spare_percent", "The NVMe drive's spare capacity left, in percent."},
    {"ostrevane_nvme_media_errors", "The NVMe drive's media and data integrity errors over its life."},
    {"ostrevane_nvme_unsafe_shutdowns", "The NVMe drive's unsafe shutdowns over its life."},
    {"ostrevane_nvme_data_read_bytes", "Bytes read from the NVMe drive over its life, counted by it in 512,000s."},
    {"ostrevane_nvme_data_written_bytes", "Bytes written to the NVMe drive over its life, counted by it in 512,000s."},
    {"ostrevane_drive_self_test_failed",
     "1 when the drive's newest failed self-test stands (no extended self-test passed after it), else 0."},
    {"ostrevane_drive_logged_errors", "The errors the drive's error log counts over its life."},
    {"ostrevane_scrape_duration_seconds", "How long reading every drive took."},
}};

struct StateName {
    Assessment::Verdict verdict;
    std::wstring_view state;
};
constexpr std::array<StateName, 4> kStates{{
    {Assessment::Verdict::Good, L"good"},
    {Assessment::Verdict::Caution, L"caution"},
    {Assessment::Verdict::Failing, L"failing"},
    {Assessment::Verdict::Unknown, L"unknown"},
}};

using Label = std::pair<std::wstring_view, std::wstring_view>;

// `name="value",...` for the labels given, after `before` and a comma when it is not empty.
std::wstring Labels(std::wstring_view before, std::initializer_list<Label> labels)
{
    std::wstring text(before);
    for (const auto& [name, value] : labels) {
        text.append(text.empty() ? L"" : L",").append(name).append(L"=\"").append(PromText::LabelValue(value)).append(
            L"\"");
    }
    return text;
}

// A count times `factor`, exact where it fits in 64 bits; beyond, a float, which is all that a
// sample keeps of it anyway.
std::wstring Scaled(NvmeHealth::Count count, std::uint64_t factor = 1)
{
    if (count.high == 0 && count.low <= std::numeric_limits<std::uint64_t>::max() / factor) {
        return Decimal(count.low * factor);
    }
    const double value = (std::ldexp(static_cast<double>(count.high), 64) + static_cast<double>(count.low)) *
                         static_cast<double>(factor);
    return BoundedText::Formatted<32>(L"%.17g", value);
}

std::wstring Flag(bool set)
{
    return set ? L"1" : L"0";
}

// The samples of every metric, gathered drive by drive.
class Samples {
public:
    void Add(Metric metric, std::wstring_view labels, std::wstring_view value)
    {
        std::wstring& out = m_samples[metric];
        out.append(Widened(kMetrics[metric].name));
        if (!labels.empty()) {
            out.append(L"{").append(labels).append(L"}");
        }
        out.append(L" ").append(value).append(L"\n");
    }

    // The metrics that have samples, each under its HELP and TYPE lines.
    std::wstring Text() const
    {
        std::wstring text;
        for (std::size_t metric = 0; metric < kMetricCount; ++metric) {
            if (m_samples[metric].empty()) {
                continue;
            }
            const std::wstring name = Widened(kMetrics[metric].name);
            text.append(L"# HELP ").append(name).append(L" ").append(Widened(kMetrics[metric].help)).append(L"\n");
            text.append(L"# TYPE ").append(name).append(L" gauge\n").append(m_samples[metric]);
        }
        return text;
    }

private:
    std::array<std::wstring, kMetricCount> m_samples;
};

void AddAta(Samples& samples, const std::wstring& drive, const DriveDetails& details)
{
    // A page may hold an id twice; a series may not appear twice, so the first entry speaks for it.
    std::bitset<256> seen;
    for (const AtaSmart::Attribute& attribute : Assessment::AttributesOf(details)) {
        if (seen.test(attribute.id)) {
            continue;
        }
        seen.set(attribute.id);
        const std::wstring labels =
            Labels(drive, {{L"id", Decimal(attribute.id)}, {L"name", AtaSmart::AttributeName(attribute.id)}});
        samples.Add(kAtaRaw, labels, Decimal(attribute.raw));
        samples.Add(kAtaValue, labels, Decimal(attribute.current));
        samples.Add(kAtaWorst, labels, Decimal(attribute.worst));
        if (attribute.threshold) {
            samples.Add(kAtaThreshold, labels, Decimal(*attribute.threshold));
        }
    }
}

void AddNvme(Samples& samples, const std::wstring& drive, const NvmeHealth::Fields& fields)
{
    constexpr std::uint64_t kBytesPerDataUnit = 512'000;
    samples.Add(kNvmeUsed, drive, Decimal(fields.percentageUsed));
    samples.Add(kNvmeSpare, drive, Decimal(fields.availableSpare));
    samples.Add(kNvmeMediaErrors, drive, Scaled(fields.mediaErrors));
    samples.Add(kNvmeUnsafeShutdowns, drive, Scaled(fields.unsafeShutdowns));
    samples.Add(kNvmeRead, drive, Scaled(fields.dataUnitsRead, kBytesPerDataUnit));
    samples.Add(kNvmeWritten, drive, Scaled(fields.dataUnitsWritten, kBytesPerDataUnit));
}

// What the drive's logs say: the self-test rule of the assessment, and the error count that the
// details' Errors section gives.
void AddLogs(Samples& samples, const std::wstring& drive, const DriveDetails& details)
{
    if (const auto failed = Assessment::SelfTestFailed(details)) {
        samples.Add(kSelfTestFailed, drive, Flag(*failed));
    }
    if (const auto errors = Assessment::AtaErrorsOf(details)) {
        samples.Add(kLoggedErrors, drive, Decimal(errors->count));
    } else if (!details.nvmeErrors.empty()) {
        const std::vector<DriveLogs::NvmeError> nvme = DriveLogs::NvmeErrors(details.nvmeErrors);
        samples.Add(kLoggedErrors, drive, Decimal(nvme.empty() ? 0 : nvme.front().count));
    }
}

void AddDrive(Samples& samples, const ScriptText::ListedDrive& listed)
{
    // The identity as the list gives it, so that a series finds its drive in `list --json`.
    const std::vector<std::wstring> cells = ScriptText::ListCells(listed);
    const std::wstring drive =
        Labels({}, {{L"drive", cells[CellText::kDrive]}, {L"serial", cells[CellText::kSerialNumber]}});
    samples.Add(kInfo,
                Labels(drive, {{L"model", cells[CellText::kModel]},
                               {L"firmware", cells[CellText::kFirmware]},
                               {L"bus", cells[CellText::kColumnCount + 1]},
                               {L"source", cells[CellText::kColumnCount + 2]}}),
                L"1");
    const DriveInfo& row = listed.row;
    const auto whole = [](std::int64_t value) { return Scaled({static_cast<std::uint64_t>(value), 0}); };
    samples.Add(kCapacity, drive, whole(row.sizeBytes));
    if (row.temperature >= 0) {
        samples.Add(kTemperature, drive, whole(row.temperature));
    }
    if (row.powerOnHours >= 0) {
        constexpr std::uint64_t kSecondsPerHour = 3600;
        samples.Add(kPowerOn, drive, Scaled({static_cast<std::uint64_t>(row.powerOnHours), 0}, kSecondsPerHour));
    }
    if (row.powerCycles >= 0) {
        samples.Add(kPowerCycles, drive, whole(row.powerCycles));
    }
    if (!listed.details) {
        return; // the drive no longer opened: nothing is known of its health
    }
    const DriveDetails& details = *listed.details;
    const Assessment::Verdict verdict = Assessment::Of(details).verdict;
    for (const StateName& state : kStates) {
        samples.Add(kAssessment, Labels(drive, {{L"state", state.state}}), Flag(state.verdict == verdict));
    }
    if (details.predictionAnswered) {
        samples.Add(kFailurePredicted, drive, Flag(details.info.failurePredicted));
    }
    if (const auto fields = Assessment::NvmeFieldsOf(details)) {
        AddNvme(samples, drive, *fields);
    } else {
        AddAta(samples, drive, details);
    }
    AddLogs(samples, drive, details);
}

} // namespace

namespace PromText {

std::wstring List(std::span<const ScriptText::ListedDrive> drives, double seconds)
{
    Samples samples;
    for (const ScriptText::ListedDrive& drive : drives) {
        AddDrive(samples, drive);
    }
    samples.Add(kScrapeDuration, {}, BoundedText::Formatted<32>(L"%.6f", seconds));
    return samples.Text();
}

std::wstring LabelValue(std::wstring_view text)
{
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        switch (c) {
        case L'\\':
            out += L"\\\\";
            break;
        case L'"':
            out += L"\\\"";
            break;
        case L'\n':
            out += L"\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace PromText
