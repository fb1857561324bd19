#include "diskinfo/DiskProbe.h"
#include "diskinfo/NvmeBridge.h"
#include "diskinfo/RstNvme.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <span>
#include <vector>

namespace {

using Command = RstNvme::Command;

static_assert(IOCTL_SCSI_MINIPORT == 0x4D008);
static_assert(sizeof(SRB_IO_CONTROL) == RstNvme::kHeaderLength);
static_assert(offsetof(SRB_IO_CONTROL, Signature) == RstNvme::kSignatureAt);
static_assert(offsetof(SRB_IO_CONTROL, Timeout) == RstNvme::kTimeoutAt);
static_assert(offsetof(SRB_IO_CONTROL, ControlCode) == RstNvme::kControlCodeAt);
static_assert(offsetof(SRB_IO_CONTROL, ReturnCode) == RstNvme::kReturnCodeAt);
static_assert(offsetof(SRB_IO_CONTROL, Length) == RstNvme::kLengthAt);
static_assert(static_cast<std::uint32_t>(CTL_CODE(0xF000, 0xA02, METHOD_BUFFERED, FILE_ANY_ACCESS)) == RstNvme::kControlCode);

// One command to the drive through its port, sent once: its whole data, or nothing where the
// driver refused it. The structure goes in and comes back in the same buffer.
std::vector<std::uint8_t> Send(HANDLE port, const ScsiAddress& address, Command command, std::size_t errorEntries = 0)
{
    alignas(8) RstNvme::Request request =
        RstNvme::Build(command, address.path, address.target, address.lun, errorEntries);
    if (!DiskProbe::Request(port, IOCTL_SCSI_MINIPORT, request.data(), request.size(), request.data(),
                            request.size())) {
        return {};
    }
    const auto data = RstNvme::DataOf(request, RstNvme::LengthOf(command, errorEntries));
    return data ? std::vector<std::uint8_t>(data->begin(), data->end()) : std::vector<std::uint8_t>{};
}

} // namespace

// The health log first, as the NVMe driver's route asks for it: a driver that refuses it (or
// answers zeros) leaves the drive to the RAID driver's reason. Then Identify Controller for the
// drive's own identity, the self-test log where it says it runs self-tests, and as many error
// log entries as it keeps.
bool DiskProbe::QueryRstNvme(const Probe& probe, HANDLE scsiPort, const ScsiAddress& address)
{
    if (DiskManager::StandardRequestsOnly()) {
        return false;
    }
    const std::vector<std::uint8_t> log = Send(scsiPort, address, Command::HealthLog);
    if (log.size() != NvmeHealth::kLogSize || !NvmeBridge::LogCounts(log)) {
        probe.details.rstRefused = true;
        return false;
    }
    const DeviceAnswers::NvmeLog page(log.data(), log.size());
    ApplySmartValues(DeviceAnswers::ParseNvmeHealthLog(page), probe.info);
    SetSource(probe, SmartSource::NvmeRst);
    probe.details.nvmeLog = CopyPage(page);
    const std::vector<std::uint8_t> identify = Send(scsiPort, address, Command::IdentifyController);
    if (identify.size() != DriveLogs::kIdentifySize) {
        return true;
    }
    const std::span<const std::uint8_t, DriveLogs::kIdentifySize> controller(identify.data(), identify.size());
    if (NvmeBridge::IdentifyCounts(controller)) {
        const NvmeBridge::Identity own = NvmeBridge::IdentityOf(controller);
        SetDriveIdentity(probe, own.model, own.serial, own.firmware, false);
    }
    if (DriveLogs::NvmeRunsSelfTests(controller)) {
        probe.details.nvmeSelfTests = Send(scsiPort, address, Command::SelfTestLog);
    }
    probe.details.nvmeErrors = Send(scsiPort, address, Command::ErrorLog, DriveLogs::NvmeErrorEntries(controller));
    return true;
}
