#include "diskinfo/AtaSmart.h"

#include <algorithm>
#include <numeric>

namespace {

constexpr std::size_t kEntryCount = 30;
constexpr std::size_t kEntrySize = 12;
constexpr std::size_t kTableOffset = 2;
constexpr std::size_t kCurrentOffset = 3;
constexpr std::size_t kWorstOffset = 4;
constexpr std::size_t kRawOffset = 5;
constexpr std::size_t kRawSize = 6;
constexpr std::size_t kThresholdOffset = 1;
static_assert(kTableOffset + kEntryCount * kEntrySize <= AtaSmart::kPageSize);

using Entry = std::span<const std::uint8_t, kEntrySize>;

Entry EntryAt(AtaSmart::Page page, std::size_t slot)
{
    return page.subspan(kTableOffset + slot * kEntrySize).first<kEntrySize>();
}

std::uint64_t RawValue(Entry entry)
{
    std::uint64_t value = 0;
    for (std::size_t i = kRawSize; i-- > 0;) {
        value = value << 8 | entry[kRawOffset + i];
    }
    return value;
}

std::optional<std::uint8_t> ThresholdOf(AtaSmart::Page thresholds, std::uint8_t id)
{
    for (std::size_t slot = 0; slot < kEntryCount; ++slot) {
        const Entry entry = EntryAt(thresholds, slot);
        if (entry[0] == id) {
            return entry[kThresholdOffset];
        }
    }
    return std::nullopt;
}

// Counts of remapped, pending or uncorrectable sectors and of reported errors: any at all is
// worth a technician's look, long before the normalised value reaches its threshold.
bool CountsTrouble(std::uint8_t id)
{
    return id == 5 || id == 187 || id == 188 || id == 197 || id == 198;
}

AtaSmart::Status StatusOf(const AtaSmart::Attribute& attribute)
{
    const bool canFail = attribute.threshold.has_value() && *attribute.threshold != 0;
    if (canFail && attribute.current <= *attribute.threshold) {
        return AtaSmart::Status::FailingNow;
    }
    if (canFail && attribute.worst <= *attribute.threshold) {
        return AtaSmart::Status::FailedInPast;
    }
    if (CountsTrouble(attribute.id) && (attribute.raw & 0xFFFF'FFFFu) != 0) {
        return AtaSmart::Status::Watch;
    }
    return AtaSmart::Status::Ok;
}

struct Name {
    std::uint8_t id;
    std::wstring_view name;
};

// The attribute names in common use across makers. Where makers give one id different
// meanings, the name says what most drives mean by it.
constexpr Name kNames[] = {
    {1, L"Raw Read Error Rate"},
    {2, L"Throughput Performance"},
    {3, L"Spin-Up Time"},
    {4, L"Start/Stop Count"},
    {5, L"Reallocated Sectors Count"},
    {6, L"Read Channel Margin"},
    {7, L"Seek Error Rate"},
    {8, L"Seek Time Performance"},
    {9, L"Power-On Hours"},
    {10, L"Spin Retry Count"},
    {11, L"Calibration Retry Count"},
    {12, L"Power Cycle Count"},
    {13, L"Soft Read Error Rate"},
    {22, L"Current Helium Level"},
    {170, L"Available Reserved Space"},
    {171, L"Program Fail Count"},
    {172, L"Erase Fail Count"},
    {173, L"Wear Leveling Count"},
    {174, L"Unexpected Power Loss Count"},
    {175, L"Power Loss Protection Failure"},
    {176, L"Erase Fail Count (Chip)"},
    {177, L"Wear Range Delta"},
    {179, L"Used Reserved Block Count"},
    {180, L"Unused Reserved Block Count"},
    {181, L"Program Fail Count (Total)"},
    {182, L"Erase Fail Count (Total)"},
    {183, L"SATA Downshift Error Count"},
    {184, L"End-to-End Error"},
    {187, L"Reported Uncorrectable Errors"},
    {188, L"Command Timeout"},
    {189, L"High Fly Writes"},
    {190, L"Airflow Temperature"},
    {191, L"G-Sense Error Rate"},
    {192, L"Power-Off Retract Count"},
    {193, L"Load/Unload Cycle Count"},
    {194, L"Temperature"},
    {195, L"Hardware ECC Recovered"},
    {196, L"Reallocation Event Count"},
    {197, L"Current Pending Sector Count"},
    {198, L"Uncorrectable Sector Count"},
    {199, L"UltraDMA CRC Error Count"},
    {200, L"Write Error Rate"},
    {201, L"Soft Read Error Rate"},
    {202, L"Data Address Mark Errors"},
    {203, L"Run Out Cancel"},
    {204, L"Soft ECC Correction"},
    {205, L"Thermal Asperity Rate"},
    {206, L"Flying Height"},
    {207, L"Spin High Current"},
    {208, L"Spin Buzz"},
    {209, L"Offline Seek Performance"},
    {220, L"Disk Shift"},
    {221, L"G-Sense Error Rate"},
    {222, L"Loaded Hours"},
    {223, L"Load/Unload Retry Count"},
    {224, L"Load Friction"},
    {225, L"Load/Unload Cycle Count"},
    {226, L"Load-In Time"},
    {227, L"Torque Amplification Count"},
    {228, L"Power-Off Retract Cycle"},
    {230, L"GMR Head Amplitude"},
    {231, L"Life Left"},
    {232, L"Endurance Remaining"},
    {233, L"Media Wearout Indicator"},
    {234, L"Average Erase Count"},
    {235, L"Good Block Count"},
    {240, L"Head Flying Hours"},
    {241, L"Total LBAs Written"},
    {242, L"Total LBAs Read"},
    {250, L"Read Error Retry Rate"},
    {254, L"Free Fall Protection"},
};
static_assert(std::is_sorted(std::begin(kNames), std::end(kNames),
                             [](const Name& a, const Name& b) { return a.id < b.id; }));

} // namespace

std::vector<AtaSmart::Attribute> AtaSmart::ReadAttributes(Page data, std::optional<Page> thresholds)
{
    std::vector<Attribute> attributes;
    attributes.reserve(kEntryCount);
    for (std::size_t slot = 0; slot < kEntryCount; ++slot) {
        const Entry entry = EntryAt(data, slot);
        if (entry[0] == 0) {
            continue;
        }
        Attribute attribute;
        attribute.id = entry[0];
        attribute.current = entry[kCurrentOffset];
        attribute.worst = entry[kWorstOffset];
        attribute.raw = RawValue(entry);
        if (thresholds) {
            attribute.threshold = ThresholdOf(*thresholds, attribute.id);
        }
        attribute.status = StatusOf(attribute);
        attributes.push_back(attribute);
    }
    return attributes;
}

std::wstring_view AtaSmart::AttributeName(std::uint8_t id)
{
    const auto it = std::lower_bound(std::begin(kNames), std::end(kNames), id,
                                     [](const Name& name, std::uint8_t key) { return name.id < key; });
    return it != std::end(kNames) && it->id == id ? it->name : L"Vendor specific";
}

bool AtaSmart::ChecksumHolds(Page page)
{
    const unsigned sum = std::accumulate(page.begin(), page.end(), 0u);
    return (sum & 0xFFu) == 0;
}
