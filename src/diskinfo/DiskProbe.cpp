#include "diskinfo/DiskProbe.h"

#include <algorithm>
#include <utility>

bool DiskProbe::Request(HANDLE device, DWORD code, void* in, std::size_t inSize, void* out, std::size_t outSize)
{
    DWORD returned = 0;
    return Kernel::DeviceIoControl(device, code, in, static_cast<DWORD>(inSize), out, static_cast<DWORD>(outSize),
                                   &returned, nullptr) != FALSE;
}

DriveDetails::Page DiskProbe::CopyPage(std::span<const std::uint8_t, DeviceAnswers::kSmartDataSize> page)
{
    DriveDetails::Page copy{};
    std::copy(page.begin(), page.end(), copy.begin());
    return copy;
}

void DiskProbe::ApplySmartValues(const DeviceAnswers::SmartValues& values, DriveInfo& info)
{
    info.temperature = values.temperature;
    info.powerOnHours = values.powerOnHours;
    info.powerCycles = values.powerCycles;
}

void DiskProbe::SetSource(const Probe& probe, SmartSource source)
{
    probe.details.source = source;
}

void DiskProbe::SetDriveIdentity(const Probe& probe, std::string_view model, std::string_view serial,
                                 std::string_view firmware, bool behindBridge)
{
    const auto trimmed = [](std::string_view text) { return DiskManager::TrimString(text.data(), text.size()); };
    DriveInfo& info = probe.info;
    DriveIdentity descriptor{std::exchange(info.model, trimmed(model)), std::exchange(info.serialNumber, trimmed(serial)),
                             std::exchange(info.firmware, trimmed(firmware))};
    if (behindBridge) {
        probe.details.bridgeIdentity = std::move(descriptor);
    }
}

HANDLE DiskProbe::OpenReadWrite(const Probe& probe)
{
    return Kernel::CreateFileW(probe.path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareReadWrite, nullptr,
                               OPEN_EXISTING, 0, nullptr);
}
