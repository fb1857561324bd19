#include "diskinfo/AtaSmart.h"
#include "diskinfo/DiskProbe.h"

#include <winioctl.h>

#include <array>
#include <cstddef>
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
// do; and the drive's own logs, which it weighs as well.
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
    DiskProbe::ReadAtaLogs(probe, [device, &probe](std::uint8_t address, std::uint8_t sectors) {
        return ReadLog(device, probe.driveNumber, address, sectors);
    });
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
