#pragma once

#include "diskinfo/DeviceAnswers.h"
#include "diskinfo/DiskInfo.h"
#include "diskinfo/DriveLogs.h"
#include "kernel/KernelResources.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>
#include <string_view>

// Where a drive hangs behind a SCSI miniport driver (IOCTL_SCSI_GET_ADDRESS): the port's number N
// opens it as "\\.\ScsiN:".
struct ScsiAddress {
    std::uint8_t port = 0;
    std::uint8_t path = 0;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
};

// One drive while it is open: the read handle, what the inventory fills, and where the pages
// its health is judged by go.
struct Probe {
    HANDLE device;
    const std::wstring& path;
    std::int32_t driveNumber;
    DriveInfo& info;
    DriveDetails& details;
};

// What the routes to a drive's health figures share, and the routes themselves, one file each:
// the disk driver's ATA SMART requests (AtaRoute.cpp), ATA PASS-THROUGH to a SATA drive behind
// a USB bridge (SatRoute.cpp), the NVMe driver's health log (NvmeRoute.cpp), the same log
// through a USB bridge's vendor command (NvmeBridgeRoute.cpp) and through the Intel RST driver's
// NVMe pass-through (RstNvmeRoute.cpp), and a RAID driver's CSMI pass-through (RaidRoute.cpp).
class DiskProbe {
public:
    DiskProbe() = delete;

    static constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

    // A synchronous request whose answer is read from the caller's zero-filled buffer as it
    // stands: the reported byte count says nothing a zero-filled buffer does not.
    static bool Request(HANDLE device, DWORD code, void* in, std::size_t inSize, void* out, std::size_t outSize);

    static DriveDetails::Page CopyPage(std::span<const std::uint8_t, DeviceAnswers::kSmartDataSize> page);
    static void ApplySmartValues(const DeviceAnswers::SmartValues& values, DriveInfo& info);
    static void SetSource(const Probe& probe, SmartSource source);
    // The drive's own identity strings from behind a USB bridge or a RAID driver, as the device
    // gave them: the record takes them; the descriptor's go to the details' line of the bridge,
    // `behindBridge`.
    static void SetDriveIdentity(const Probe& probe, std::string_view model, std::string_view serial,
                                 std::string_view firmware, bool behindBridge = true);
    // The drive opened again for reading and writing, which the SMART requests need.
    static HANDLE OpenReadWrite(const Probe& probe);

    // The identity strings of the storage device descriptor into the record; the bus type, when
    // the descriptor was answered.
    static std::optional<std::uint32_t> QueryIdentity(const Probe& probe);
    // False when the drive answered no ATA SMART data at all, which is how NVMe drives answer.
    static bool QuerySmartAttributes(const Probe& probe);
    // False when the bridge answered no SMART page.
    static bool QueryUsbBridge(const Probe& probe);
    static void QueryNvmeHealthLog(const Probe& probe);
    static void QueryNvmeBridge(const Probe& probe);
    // A drive behind a RAID driver that named itself: its health figures through that driver's
    // pass-through. False when the driver refused them.
    static bool QueryRaid(const Probe& probe);
    // An NVMe drive behind Intel's RST/VMD driver, through its NVMe pass-through on the open port,
    // once: false, with the drive's reason set, when the driver refused it; false and nothing
    // sent under standard requests only.
    static bool QueryRstNvme(const Probe& probe, HANDLE scsiPort, const ScsiAddress& address);

    // The drive's own logs where its SMART READ DATA page says it keeps them (device statistics
    // with either), each read by `read(address, sectors)` or, the extended logs' first page,
    // `readExt(address)`, which give the sectors or nothing: the extended self-test and error
    // logs where IDENTIFY DEVICE names General Purpose Logging, else (or where they were not
    // answered, or their newest entry lies beyond the first page) the self-test log and the
    // summary error log, each when its checksum holds; the
    // device statistics pages that page 0 lists, in one read from page 0.
    using LogSectors = std::vector<std::uint8_t>;
    template <class ReadLog, class ReadLogExt>
    static void ReadAtaLogs(const Probe& probe, ReadLog read, ReadLogExt readExt);
};

template <class ReadLog, class ReadLogExt>
void DiskProbe::ReadAtaLogs(const Probe& probe, ReadLog read, ReadLogExt readExt)
{
    DriveDetails& details = probe.details;
    const DriveLogs::Sector data(*details.smartData);
    const auto checked = [](const std::optional<LogSectors>& log) -> std::optional<DriveDetails::Page> {
        if (!log || log->size() != DriveLogs::kSectorSize || !AtaSmart::ChecksumHolds(DriveLogs::Sector(*log))) {
            return std::nullopt;
        }
        return CopyPage(DriveLogs::Sector(*log));
    };
    const bool logsExt = details.identify && DriveLogs::HasGeneralPurposeLogging(*details.identify);
    const auto either = [&](std::uint8_t extended, std::uint8_t summary, std::optional<DriveDetails::Page>& page,
                            bool& isExtended) {
        if (logsExt) {
            // A page of zeros, whose checksum holds, is no log: each starts with its version.
            page = checked(readExt(extended));
            if (page && (!DriveLogs::ExtNewestOnFirstPage(*page, extended) ||
                         std::all_of(page->begin(), page->end(), [](std::uint8_t b) { return b == 0; }))) {
                page.reset();
            }
            isExtended = page.has_value();
        }
        if (!page) {
            page = checked(read(summary, std::uint8_t{1}));
        }
    };
    if (DriveLogs::KeepsSelfTestLog(data)) {
        either(DriveLogs::kExtSelfTestLogAddress, DriveLogs::kSelfTestLogAddress, details.selfTestLog,
               details.selfTestLogExtended);
    }
    if (DriveLogs::KeepsErrorLog(data)) {
        either(DriveLogs::kExtErrorLogAddress, DriveLogs::kErrorLogAddress, details.errorLog, details.errorLogExtended);
    }
    if (!DriveLogs::KeepsSelfTestLog(data) && !DriveLogs::KeepsErrorLog(data)) {
        return;
    }
    const std::optional<LogSectors> first = read(DriveLogs::kStatisticsAddress, std::uint8_t{1});
    if (!first || first->size() != DriveLogs::kSectorSize) {
        return;
    }
    const std::size_t sectors = DriveLogs::StatisticsSectors(DriveLogs::Sector(*first));
    std::optional<LogSectors> pages = sectors > 1 ? read(DriveLogs::kStatisticsAddress, static_cast<std::uint8_t>(sectors))
                                                  : first;
    if (sectors > 0 && pages && pages->size() == sectors * DriveLogs::kSectorSize && DriveLogs::PageCounts(*pages, 0)) {
        details.statistics = std::move(*pages);
    }
}

// SMART_RCV_DRIVE_DATA, IOCTL_ATA_PASS_THROUGH and IOCTL_SCSI_PASS_THROUGH are defined with
// read and write access, so the I/O manager refuses them on a read-only handle. They alone go
// through a second, read-write handle that lives for the SMART commands of one route of one
// probe; where such a handle is refused, the read-only one still gets its chance at
// SMART_RCV_DRIVE_DATA.
class CommandHandle {
public:
    explicit CommandHandle(const Probe& probe)
        : m_readWrite(DiskProbe::OpenReadWrite(probe)), m_device(m_readWrite ? m_readWrite.Get() : probe.device)
    {
    }

    HANDLE Get() const { return m_device; }

private:
    KernelHandle m_readWrite;
    HANDLE m_device;
};
