#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Readers of what a drive recorded over its life: the ATA SMART self-test log (06h), summary
// error log (01h), their extended forms with 48-bit LBAs (07h, 03h) and device statistics
// (04h), and the NVMe device self-test log (06h) and error information log (01h). Each takes the bytes as the drive gave them and returns values;
// an index or count out of range reads as no entries. Free of <windows.h>: built natively under
// the sanitizers and fuzzed.
class DriveLogs {
public:
    DriveLogs() = delete;

    static constexpr std::size_t kSectorSize = 512;
    using Sector = std::span<const std::uint8_t, kSectorSize>;

    // SMART READ LOG, and the only three log addresses it is ever sent with. The log directory
    // (address 0) is never read: some SSDs stop answering when it is.
    static constexpr std::uint8_t kFeatureReadLog = 0xD5;
    static constexpr std::uint8_t kErrorLogAddress = 0x01;
    static constexpr std::uint8_t kStatisticsAddress = 0x04;
    static constexpr std::uint8_t kSelfTestLogAddress = 0x06;
    static constexpr std::size_t kMaxStatisticsPages = 8;

    // READ LOG EXT, sent only for the first page of these two logs, which carry 48-bit LBAs
    // where the summary logs keep 28 and 32 bits.
    static constexpr std::uint8_t kReadLogExt = 0x2F;
    static constexpr std::uint8_t kExtErrorLogAddress = 0x03;
    static constexpr std::uint8_t kExtSelfTestLogAddress = 0x07;

    // From IDENTIFY DEVICE: the General Purpose Logging feature set (word 84 or 87 bit 5, where
    // the word is valid), which READ LOG EXT needs; and the logical sector size in bytes
    // (words 117-118 where word 106 says so, else 512).
    static bool HasGeneralPurposeLogging(Sector identify);
    static std::uint32_t LogicalSectorSize(Sector identify);

    // The summary logs cannot say which sector a logged LBA is once the drive has more sectors
    // than their fields hold: the error log keeps 28 bits of a 48-bit command's LBA, the
    // self-test log 32 bits.
    static constexpr std::uint8_t kSummaryErrorLbaBits = 28;
    static constexpr std::uint8_t kSummarySelfTestLbaBits = 32;

    // What SMART READ DATA says the drive keeps.
    static bool KeepsSelfTestLog(Sector smartData); // byte 367 bit 4
    static bool KeepsErrorLog(Sector smartData);    // byte 370 bit 0

    // One self-test result, ATA or NVMe. `failed`: ATA status 3-8, NVMe result 5-7.
    struct SelfTest {
        std::uint8_t type = 0;   // ATA: the descriptor's byte +0; NVMe: the test code
        std::uint8_t status = 0; // ATA: bits 7:4 of byte +1; NVMe: the result
        std::optional<std::uint8_t> remainingPercent; // ATA only
        std::uint64_t hours = 0;
        std::optional<std::uint64_t> failingLba;
        std::uint8_t lbaBits = 0; // not 0: only these low bits of failingLba are known
        bool failed = false;
        bool extended = false;
        bool passed = false; // completed without error
        // NVMe only, each where its valid bit is set.
        std::optional<std::uint32_t> nsid;
        std::optional<std::uint8_t> segment; // with result 7, failed segments
        std::optional<std::uint8_t> sct;
        std::optional<std::uint8_t> sc;
    };

    // The ATA self-test log: 21 descriptors of 24 bytes from byte 2, byte 508 the 1-based index
    // of the newest; newest first, empty descriptors left out. On a drive of `driveSectors`
    // beyond 32 bits a failing LBA is its low 32 bits only.
    static constexpr std::size_t kAtaSelfTests = 21;
    static std::vector<SelfTest> AtaSelfTests(Sector log, std::uint64_t driveSectors);
    // The first page of the extended self-test log: 19 descriptors of 26 bytes from byte 4,
    // bytes 2-3 the 1-based index of the newest, a 48-bit failing LBA at +5. An index beyond
    // the first page reads as no entries.
    static constexpr std::size_t kAtaExtSelfTests = 19;
    static std::vector<SelfTest> AtaExtSelfTests(Sector log);

    // The NVMe device self-test log: the operation in progress and its completion, then 20
    // results of 28 bytes, newest first; unused ones (result Fh or test code 0) left out.
    static constexpr std::size_t kNvmeSelfTestLogSize = 564;
    struct NvmeSelfTestLog {
        std::uint8_t operation = 0;  // 0 none, 1 short, 2 extended, Eh vendor
        std::uint8_t completion = 0; // percent
        std::vector<SelfTest> results;
    };
    static NvmeSelfTestLog NvmeSelfTests(std::span<const std::uint8_t, kNvmeSelfTestLogSize> log);

    // One entry of the ATA summary error log: the error structure and the commands before it.
    struct AtaError {
        std::uint32_t number = 0; // the device's own numbering: the newest is the error count
        std::uint16_t hours = 0;
        std::uint8_t error = 0;   // the error register
        std::uint8_t status = 0;
        std::uint64_t lba = 0;    // 01h: 28 bits, the top four from the device register; 03h: 48
        std::uint8_t lbaBits = 0; // not 0: only these low bits of lba are known
        std::uint8_t state = 0;
        std::uint8_t command = 0; // the failing command: the last command structure in use
        std::uint32_t commandMilliseconds = 0; // its time stamp since power-up
        std::uint8_t commandsLogged = 0;
        bool weighed = false; // UNC or IDNF: the media failed the command
    };
    struct AtaErrorLog {
        std::uint16_t count = 0; // errors since the drive was made
        std::vector<AtaError> entries; // newest first, at most five
    };
    static constexpr std::uint8_t kErrorUnc = 0x40;
    static constexpr std::uint8_t kErrorIdnf = 0x10;
    // The summary error log: five entries of 90 bytes. On a drive of `driveSectors` beyond 28
    // bits, the LBA of any command not known to be a 28-bit one is its low 28 bits only.
    static AtaErrorLog AtaErrors(Sector log, std::uint64_t driveSectors);
    // The first page of the extended comprehensive error log: four entries of 124 bytes from
    // byte 4, bytes 2-3 the 1-based index of the newest, the error count at 500.
    static constexpr std::size_t kAtaExtErrors = 4;
    static AtaErrorLog AtaExtErrors(Sector log);
    // Whether the first page of the extended log at `address` holds its newest entry: a log of
    // more pages whose index lies beyond the first has its newest entries elsewhere.
    static bool ExtNewestOnFirstPage(Sector log, std::uint8_t address);

    // Device statistics: pages 0 .. n-1 of the log in one span. A page counts only when its
    // header names it; a statistic only with its supported (0x80) and valid (0x40) bits.
    static constexpr std::uint8_t kGeneralPage = 0x01;
    static constexpr std::uint8_t kTemperaturePage = 0x05;
    static constexpr std::uint8_t kSolidStatePage = 0x07;
    // The statistics shown, by their offsets in their pages.
    static constexpr std::size_t kPowerOnHours = 0x10, kSectorsWritten = 0x18, kSectorsRead = 0x28; // 01h
    static constexpr std::size_t kHighestTemperature = 0x20, kLowestTemperature = 0x28;             // 05h
    static constexpr std::size_t kPercentageUsed = 0x08;                                            // 07h
    static bool PageCounts(std::span<const std::uint8_t> pages, std::uint8_t page);
    // A counting page's header revision (bytes 0-1, never 0); nullopt where the page does not count.
    static std::optional<std::uint16_t> PageRevision(std::span<const std::uint8_t> pages, std::uint8_t page);
    // The pages that page 0 lists, as listed; empty when page 0 does not count.
    static std::vector<std::uint8_t> ListedPages(std::span<const std::uint8_t> pages);
    // How many sectors hold every listed page up to page 7; 0 when page 0 does not count.
    static std::size_t StatisticsSectors(Sector pageZero);
    // The raw qword at `offset` of `page`; nullopt outside `pages` or the page not counting.
    static std::optional<std::uint64_t> StatisticWord(std::span<const std::uint8_t> pages, std::uint8_t page,
                                                      std::size_t offset);
    // Its value, bits 55:0, when supported and valid.
    static std::optional<std::uint64_t> Statistic(std::span<const std::uint8_t> pages, std::uint8_t page,
                                                  std::size_t offset);
    // A temperature statistic: a signed byte; -128 means none.
    static std::optional<std::int32_t> Temperature(std::span<const std::uint8_t> pages, std::size_t offset);

    // One used entry of the NVMe error information log (error count not 0).
    struct NvmeError {
        std::uint64_t count = 0;
        std::uint16_t sqid = 0;
        std::uint16_t cid = 0;
        std::uint16_t status = 0; // the status field with its phase bit
        std::uint16_t location = 0;
        std::uint64_t lba = 0;
        std::uint32_t nsid = 0;
        std::uint8_t vendor = 0; // vendor-specific information available: its log page
        std::uint8_t sct() const { return static_cast<std::uint8_t>(status >> 9 & 0x7); }
        std::uint8_t sc() const { return static_cast<std::uint8_t>(status >> 1 & 0xFF); }
    };
    static constexpr std::size_t kNvmeErrorEntrySize = 64;
    static constexpr std::size_t kMaxNvmeErrors = 64;
    static std::vector<NvmeError> NvmeErrors(std::span<const std::uint8_t> log);

    // From Identify Controller: whether the controller runs self-tests (OACS bit 4), and how
    // many error log entries it keeps (ELPE + 1).
    static constexpr std::size_t kIdentifySize = 4096;
    static bool NvmeRunsSelfTests(std::span<const std::uint8_t, kIdentifySize> identify);
    static std::size_t NvmeErrorEntries(std::span<const std::uint8_t, kIdentifySize> identify);

    // The program's words.
    // A logged LBA: its number, or "LBA (low 28 bits) n" where only `bits` low bits are known.
    static std::wstring LbaText(std::uint64_t lba, std::uint8_t bits);
    static std::wstring AtaTestType(std::uint8_t type);
    static std::wstring AtaTestStatus(std::uint8_t status);
    static std::wstring NvmeTestType(std::uint8_t code);
    static std::wstring NvmeTestResult(std::uint8_t result);
    static std::wstring NvmeOperation(std::uint8_t operation);
    // A failed self-test's outcome, to follow "ended in": "a read failure".
    static std::wstring FailureWords(const SelfTest& test, bool nvme);
    // "uncorrectable", "sector not found", "aborted", "interface CRC", joined; else "0xNN".
    static std::wstring AtaErrorWords(std::uint8_t error);
    // The failing command by name where it is a read or write, else "0xNN".
    static std::wstring AtaCommandName(std::uint8_t command);
    // "read", "write", or empty for other commands.
    static std::wstring AtaCommandKind(std::uint8_t command);
    static std::wstring NvmeStatusWords(std::uint8_t sct, std::uint8_t sc);
};
