#include "diskinfo/AtaSmart.h"
#include "diskinfo/DiskProbe.h"
#include "diskinfo/SatPassThrough.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <optional>

namespace {

// SCSI_PASS_THROUGH as 64-bit Windows lays it out (x64 and ARM64 alike): DataBufferOffset is
// pointer-sized, with padding before it and after the command block.
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004);
static_assert(((IOCTL_SCSI_PASS_THROUGH >> 14) & 3) == (FILE_READ_ACCESS | FILE_WRITE_ACCESS));
static_assert(SCSI_IOCTL_DATA_IN == 1);
static_assert(BusTypeUsb == SatPassThrough::kBusTypeUsb);
static_assert(sizeof(SCSI_PASS_THROUGH) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 36);
static_assert(sizeof(SCSI_PASS_THROUGH::Cdb) == std::tuple_size_v<SatPassThrough::Command>);

// SCSI_PASS_THROUGH with the sense and data areas behind it, in the one buffer the request
// takes; room for every page of the device statistics.
struct PassThroughBuffer {
    SCSI_PASS_THROUGH request;
    std::array<std::uint8_t, SatPassThrough::kSenseSize> sense;
    std::array<std::uint8_t, DriveLogs::kMaxStatisticsPages * DriveLogs::kSectorSize> data;
};

// One ATA PASS-THROUGH command reading `sectors` pages from the drive, the buffer sent only as
// far as they reach; whether the request went through.
bool Send(HANDLE device, SatPassThrough::Length length, const SatPassThrough::Command& command, std::size_t sectors,
          PassThroughBuffer& buffer)
{
    // Zero-filled to the last padding byte: the whole buffer travels to the driver.
    std::memset(&buffer, 0, sizeof(buffer));
    SCSI_PASS_THROUGH& request = buffer.request;
    request.Length = sizeof(SCSI_PASS_THROUGH);
    request.CdbLength = static_cast<UCHAR>(length);
    request.SenseInfoLength = SatPassThrough::kSenseSize;
    request.DataIn = SCSI_IOCTL_DATA_IN;
    request.DataTransferLength = static_cast<ULONG>(sectors * SatPassThrough::kPageSize);
    request.TimeOutValue = SatPassThrough::kTimeOutSeconds;
    request.DataBufferOffset = offsetof(PassThroughBuffer, data);
    request.SenseInfoOffset = offsetof(PassThroughBuffer, sense);
    std::copy(command.begin(), command.end(), std::begin(request.Cdb));
    const std::size_t size = offsetof(PassThroughBuffer, data) + request.DataTransferLength;
    return DiskProbe::Request(device, IOCTL_SCSI_PASS_THROUGH, &buffer, size, &buffer, size);
}

using AnswerCounts = bool (*)(const SatPassThrough::Answer&);

// One command that reads a page from the drive; the page when it was answered.
std::optional<DriveDetails::Page> PassThrough(HANDLE device, SatPassThrough::Length length,
                                              const SatPassThrough::Command& command, AnswerCounts counts)
{
    PassThroughBuffer buffer;
    const bool succeeded = Send(device, length, command, 1, buffer);
    const std::span<const std::uint8_t, SatPassThrough::kPageSize> page(buffer.data.data(), SatPassThrough::kPageSize);
    if (!counts({succeeded, buffer.request.ScsiStatus, buffer.request.DataTransferLength, page})) {
        return std::nullopt;
    }
    return DiskProbe::CopyPage(page);
}

std::optional<DriveDetails::Page> SmartPage(HANDLE device, SatPassThrough::Length length, std::uint8_t features)
{
    return PassThrough(device, length, SatPassThrough::SmartCommand(length, features), SatPassThrough::Answered);
}

// A log's `sectors` (SMART READ LOG, or READ LOG EXT's one page): the sectors, when the bridge
// returned them all.
std::optional<DiskProbe::LogSectors> ReadLog(HANDLE device, SatPassThrough::Length length,
                                             const SatPassThrough::Command& command, std::size_t sectors)
{
    PassThroughBuffer buffer;
    const bool succeeded = Send(device, length, command, sectors, buffer);
    if (!SatPassThrough::LogReturned(succeeded, buffer.request.ScsiStatus, buffer.request.DataTransferLength,
                                     sectors)) {
        return std::nullopt;
    }
    return DiskProbe::LogSectors(buffer.data.begin(), buffer.data.begin() + sectors * DriveLogs::kSectorSize);
}

} // namespace

// A SATA drive in a USB enclosure or dock: the USB storage driver answers none of the ATA
// SMART requests, but most bridges pass ATA PASS-THROUGH on to the drive. The thresholds page
// and the drive's identity go by the command length that the bridge answered. Without a
// read-write handle there is nothing to send: no driver takes a pass-through on a read-only one.
bool DiskProbe::QueryUsbBridge(const Probe& probe)
{
    const KernelHandle handle(OpenReadWrite(probe));
    if (!handle) {
        return false;
    }
    for (const SatPassThrough::Length length : SatPassThrough::kLengths) {
        const auto data = SmartPage(handle.Get(), length, AtaSmart::kFeatureReadData);
        if (!data) {
            continue;
        }
        ApplySmartValues(DeviceAnswers::ParseSmartAttributes(*data), probe.info);
        SetSource(probe, SmartSource::UsbBridge);
        probe.details.smartData = data;
        probe.details.smartThresholds = SmartPage(handle.Get(), length, AtaSmart::kFeatureReadThresholds);
        probe.details.identify = PassThrough(handle.Get(), length, SatPassThrough::IdentifyCommand(length),
                                             SatPassThrough::IdentifyAnswered);
        if (probe.details.identify) {
            const SatPassThrough::Identity own = SatPassThrough::IdentityOf(*probe.details.identify);
            SetDriveIdentity(probe, own.model.View(), own.serial.View(), own.firmware.View());
        }
        ReadAtaLogs(
            probe,
            [&handle, length](std::uint8_t address, std::uint8_t sectors) {
                return ReadLog(handle.Get(), length, SatPassThrough::SmartLogCommand(length, address, sectors), sectors);
            },
            [&handle, length](std::uint8_t address) {
                return ReadLog(handle.Get(), length, SatPassThrough::CommandOf(length, SatPassThrough::ReadLogExtRegisters(address)), 1);
            });
        return true;
    }
    return false;
}
