#pragma once

#include "diskinfo/AtaSmart.h"
#include "diskinfo/DiskInfo.h"
#include "diskinfo/DriveLogs.h"
#include "diskinfo/NvmeHealth.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a drive's figures mean for the one question a technician asks: may this drive be
// trusted? The list's Health column and the details' verdict both come from here, so that they
// never disagree. Free of <windows.h>, so it is tested natively and fuzzed.
class Assessment {
public:
    // In rising order of concern: a worse finding wins over a milder one.
    enum class Verdict { Unknown, Good, Caution, Failing };

    Verdict verdict = Verdict::Good;
    std::vector<std::wstring> reasons; // one sentence each, in the order found
    bool virtualDisk = false;          // Unknown for a virtual disk, which the texts name so

    // ATA: Failing when failure is predicted or an attribute is at or below its threshold now;
    // Caution when one failed in the past or is to watch. NVMe: Failing when failure is
    // predicted or the critical warning is not 0; Caution when the percentage used is 100 or
    // more or media and data integrity errors are not 0. Unknown when the drive answered no
    // SMART data, or was not asked behind a RAID driver, and does not predict its failure. A
    // RAID array: its worst member's, the reasons naming that member.
    static Assessment Of(const DriveDetails& details);
    static constexpr wchar_t kNoSmartData[] = L"The drive answered no SMART data";
    static constexpr wchar_t kBehindRaid[] =
        L"Health figures are not available through this RAID controller's driver (bus type RAID)";
    static constexpr wchar_t kVirtualDiskReason[] = L"A virtual disk keeps no SMART data: none was asked for";
    static constexpr wchar_t kStandardOnly[] = L"The USB bridge was not asked: standard requests only";
    static constexpr wchar_t kRstRefused[] = L"Health figures are not available through the RST driver";
    // Why a drive has no figures to judge by: a virtual disk, the RST driver refused its NVMe
    // pass-through, a RAID driver named itself ("behind the <name> RAID driver: not read"), a
    // RAID driver, a USB bridge left unasked, or no SMART data.
    static std::wstring NoFiguresReason(const DriveDetails& details);

    static std::wstring_view VerdictText(Verdict verdict); // "Unknown", "Good", "Caution", "Failing"

    // The list's Health text of a verdict: "Caution / Bad" when failing, "Caution" when there
    // are counts to watch, and "Good" otherwise, a drive that answered no SMART data included.
    static const wchar_t* HealthText(Verdict verdict);
    static constexpr wchar_t kGood[] = L"Good";
    static constexpr wchar_t kCaution[] = L"Caution";
    static constexpr wchar_t kBad[] = L"Caution / Bad";
    static constexpr wchar_t kVirtualDisk[] = L"virtual disk: no SMART";

    // The verdict as the details and the console program name it, and as the list's Health cell
    // does: a virtual disk's Unknown as kVirtualDisk in both.
    std::wstring_view Text() const { return virtualDisk ? kVirtualDisk : VerdictText(verdict); }
    const wchar_t* Health() const { return virtualDisk ? kVirtualDisk : HealthText(verdict); }

    // The answers the assessment reads, as the details table shows them too.
    static std::vector<AtaSmart::Attribute> AttributesOf(const DriveDetails& details);
    static std::optional<NvmeHealth::Fields> NvmeFieldsOf(const DriveDetails& details);
    // Whether a failed self-test stands by the assessment's rule: the newest failure, unless an
    // extended self-test passed after it. Absent where the drive gave no self-test log.
    static std::optional<bool> SelfTestFailed(const DriveDetails& details);
    // The drive's ATA self-test and error logs, from the extended ones where it gave those, each
    // LBA that cannot be exact on a drive of this many sectors marked so.
    static std::vector<DriveLogs::SelfTest> AtaSelfTestsOf(const DriveDetails& details);
    static std::optional<DriveLogs::AtaErrorLog> AtaErrorsOf(const DriveDetails& details);
    // The logical sector size that IDENTIFY DEVICE names, else 512; the drive's sectors by it.
    static std::uint32_t LogicalSectorSizeOf(const DriveDetails& details);
    static std::uint64_t SectorsOf(const DriveDetails& details);
    // An NVMe critical warning in words: "0 (none)" or "0x05: available spare below ...".
    static std::wstring CriticalWarningText(std::uint8_t warning);
};
