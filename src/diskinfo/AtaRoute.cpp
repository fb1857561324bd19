#include "diskinfo/AtaSmart.h"
#include "diskinfo/DiskProbe.h"
#include "diskinfo/SatPassThrough.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace {

// The request codes and answer layouts as the SDK publishes them; the asserts keep this
// file honest against headers that differ between toolchains.
static_assert(SMART_GET_VERSION == 0x74080);
static_assert(SMART_RCV_DRIVE_DATA == 0x7C088);
static_assert(sizeof(GETVERSIONINPARAMS) == 24);
static_assert(sizeof(SENDCMDINPARAMS) == DeviceAnswers::kSmartCommandSize);
static_assert(offsetof(SENDCMDINPARAMS, irDriveRegs) == 4);
static_assert(offsetof(SENDCMDINPARAMS, bBuffer) == 32);
static_assert(offsetof(SENDCMDOUTPARAMS, bBuffer) == 16);

constexpr std::size_t kSmartAnswerSize = offsetof(SENDCMDOUTPARAMS, bBuffer) + DeviceAnswers::kSmartDataSize + 1;
static_assert(kSmartAnswerSize == 529);

using SmartAnswer = std::array<std::uint8_t, kSmartAnswerSize>;

// ATA_PASS_THROUGH_EX as 64-bit Windows lays it out (x64 and ARM64 alike): DataBufferOffset is
// pointer-sized, the task files behind it.
static_assert(IOCTL_ATA_PASS_THROUGH == 0x4D02C);
static_assert(((IOCTL_ATA_PASS_THROUGH >> 14) & 3) == (FILE_READ_ACCESS | FILE_WRITE_ACCESS));
static_assert(sizeof(ATA_PASS_THROUGH_EX) == 48);
static_assert(offsetof(ATA_PASS_THROUGH_EX, AtaFlags) == 2);
static_assert(offsetof(ATA_PASS_THROUGH_EX, DataTransferLength) == 8);
static_assert(offsetof(ATA_PASS_THROUGH_EX, TimeOutValue) == 12);
static_assert(offsetof(ATA_PASS_THROUGH_EX, DataBufferOffset) == 24);
static_assert(offsetof(ATA_PASS_THROUGH_EX, PreviousTaskFile) == 32);
static_assert(offsetof(ATA_PASS_THROUGH_EX, CurrentTaskFile) == 40);

// ATA_PASS_THROUGH_EX with the page behind it, in the one buffer the request takes.
struct AtaPassThroughBuffer {
    ATA_PASS_THROUGH_EX request;
    std::array<std::uint8_t, DriveLogs::kSectorSize> data;
};

// One command that reads a page from the drive through the disk driver's ATA pass-through,
// data in only; the page when the request went through with all of it.
std::optional<DiskProbe::LogSectors> AtaPassThrough(HANDLE device, const SatPassThrough::Registers& registers)
{
    AtaPassThroughBuffer buffer;
    // Zero-filled to the last padding byte: the whole buffer travels to the driver.
    std::memset(&buffer, 0, sizeof(buffer));
    ATA_PASS_THROUGH_EX& request = buffer.request;
    request.Length = sizeof(ATA_PASS_THROUGH_EX);
    request.AtaFlags = static_cast<USHORT>(ATA_FLAGS_DRDY_REQUIRED | ATA_FLAGS_DATA_IN |
                                           (registers.extended ? ATA_FLAGS_48BIT_COMMAND : 0));
    request.DataTransferLength = DriveLogs::kSectorSize;
    request.TimeOutValue = SatPassThrough::kTimeOutSeconds;
    request.DataBufferOffset = offsetof(AtaPassThroughBuffer, data);
    const std::array<std::uint8_t, 8> task{registers.features, registers.count, registers.lbaLow, registers.lbaMid,
                                           registers.lbaHigh,  registers.device, registers.command, 0};
    std::copy(task.begin(), task.end(), std::begin(request.CurrentTaskFile));
    // The request succeeds for a command the drive aborted too: the status register it returns,
    // in the task file's command byte, says so with its error bit.
    constexpr UCHAR kStatusError = 0x01;
    if (!DiskProbe::Request(device, IOCTL_ATA_PASS_THROUGH, &buffer, sizeof(buffer), &buffer, sizeof(buffer)) ||
        request.DataTransferLength != DriveLogs::kSectorSize || (request.CurrentTaskFile[6] & kStatusError) != 0) {
        return std::nullopt;
    }
    return DiskProbe::LogSectors(buffer.data.begin(), buffer.data.end());
}

std::span<const std::uint8_t, DeviceAnswers::kSmartDataSize> SmartPageOf(const SmartAnswer& answer)
{
    return std::span<const std::uint8_t, kSmartAnswerSize>(answer)
        .subspan<offsetof(SENDCMDOUTPARAMS, bBuffer), DeviceAnswers::kSmartDataSize>();
}

bool SmartCommand(HANDLE device, std::int32_t driveNumber, std::uint8_t features, SmartAnswer& answer)
{
    auto command = DeviceAnswers::SmartCommand(driveNumber, features);
    return DiskProbe::Request(device, SMART_RCV_DRIVE_DATA, command.data(), command.size(), answer.data(),
                              answer.size());
}

// Room behind a log's sectors for SENDCMDOUTPARAMS as SDKs round it.
constexpr std::size_t kLogAnswerSlack = 16;

// SMART READ LOG of `sectors` sectors of the log at `address`: the sectors, when answered.
std::optional<DiskProbe::LogSectors> ReadLog(HANDLE device, std::int32_t driveNumber, std::uint8_t address,
                                             std::uint8_t sectors)
{
    auto command = DeviceAnswers::SmartLogCommand(driveNumber, address, sectors);
    const std::size_t length = std::size_t{sectors} * DriveLogs::kSectorSize;
    std::vector<std::uint8_t> answer(offsetof(SENDCMDOUTPARAMS, bBuffer) + length + kLogAnswerSlack);
    if (!DiskProbe::Request(device, SMART_RCV_DRIVE_DATA, command.data(), command.size(), answer.data(),
                            answer.size())) {
        return std::nullopt;
    }
    const auto from = answer.begin() + offsetof(SENDCMDOUTPARAMS, bBuffer);
    return DiskProbe::LogSectors(from, from + static_cast<std::ptrdiff_t>(length));
}

// The thresholds page too: the list's verdict weighs the attributes against it, as the details
// do; and the drive's own logs, which it weighs as well, the extended ones through the
// driver's ATA pass-through on the same handle.
bool ReadSmartPages(const Probe& probe, SmartAnswer& data)
{
    const CommandHandle handle(probe);
    const HANDLE device = handle.Get();
    if (!SmartCommand(device, probe.driveNumber, AtaSmart::kFeatureReadData, data)) {
        return false;
    }
    probe.details.smartData = DiskProbe::CopyPage(SmartPageOf(data));
    SmartAnswer thresholds{};
    if (SmartCommand(device, probe.driveNumber, AtaSmart::kFeatureReadThresholds, thresholds)) {
        probe.details.smartThresholds = DiskProbe::CopyPage(SmartPageOf(thresholds));
    }
    // IDENTIFY DEVICE says only whether the extended logs are there, and the logical sector size
    // the statistics count in: asked only where there are logs. The descriptor's strings are the
    // drive's own on this route.
    const DriveLogs::Sector page(*probe.details.smartData);
    if (DriveLogs::KeepsSelfTestLog(page) || DriveLogs::KeepsErrorLog(page)) {
        if (const auto identify = AtaPassThrough(device, SatPassThrough::IdentifyRegisters())) {
            probe.details.identify = DiskProbe::CopyPage(DriveLogs::Sector(*identify));
        }
    }
    DiskProbe::ReadAtaLogs(
        probe,
        [device, &probe](std::uint8_t address, std::uint8_t sectors) {
            return ReadLog(device, probe.driveNumber, address, sectors);
        },
        [device](std::uint8_t address) { return AtaPassThrough(device, SatPassThrough::ReadLogExtRegisters(address)); });
    return true;
}

} // namespace

bool DiskProbe::QuerySmartAttributes(const Probe& probe)
{
    GETVERSIONINPARAMS version{};
    if (!Request(probe.device, SMART_GET_VERSION, nullptr, 0, &version, sizeof(version))) {
        return false;
    }
    SmartAnswer answer{};
    if (!ReadSmartPages(probe, answer)) {
        return false;
    }
    ApplySmartValues(DeviceAnswers::ParseSmartAttributes(SmartPageOf(answer)), probe.info);
    SetSource(probe, SmartSource::Ata);
    return true;
}
