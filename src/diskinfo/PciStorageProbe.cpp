#include "diskinfo/PciStorage.h"

#include "kernel/KernelResources.h"

#include <array>
#include <cwchar>

namespace {

// A bound on a walk that a broken device tree could make endless.
constexpr DWORD kMaxDevices = 1024;
// A PCI device's hardware IDs are four of about 60 characters.
constexpr std::size_t kHardwareIdsLength = 512;

// Windows has no driver to give the device: none was found for it, or none was tried yet. A
// device whose driver is there but failed, or that was turned off, is not one of them.
bool HasNoDriver(DEVINST device)
{
    ULONG status = 0;
    ULONG problem = 0;
    return Kernel::CM_Get_DevNode_Status(&status, &problem, device, 0) == CR_SUCCESS &&
           (status & DN_DRIVER_LOADED) == 0 &&
           ((status & DN_HAS_PROBLEM) == 0 || problem == CM_PROB_NOT_CONFIGURED || problem == CM_PROB_FAILED_INSTALL);
}

// The storage controller that one of the device's hardware IDs names.
std::optional<PciStorage::Controller> ControllerOf(HDEVINFO list, SP_DEVINFO_DATA& device)
{
    // A list of strings ending in an empty one; two terminators past what is asked for, so that
    // one cut short ends too.
    std::array<wchar_t, kHardwareIdsLength + 2> ids{};
    if (!Kernel::SetupDiGetDeviceRegistryPropertyW(list, &device, SPDRP_HARDWAREID, nullptr,
                                                   reinterpret_cast<PBYTE>(ids.data()),
                                                   kHardwareIdsLength * sizeof(wchar_t), nullptr)) {
        return std::nullopt;
    }
    for (const wchar_t* id = ids.data(); *id != L'\0'; id += std::wcslen(id) + 1) {
        if (const auto controller = PciStorage::ParseHardwareId(id)) {
            return controller;
        }
    }
    return std::nullopt;
}

} // namespace

std::vector<PciStorage::Controller> PciStorage::WithoutDriver()
{
    std::vector<Controller> found;
    const DeviceInfoList list(nullptr, L"PCI", DIGCF_ALLCLASSES | DIGCF_PRESENT);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; list && index < kMaxDevices && Kernel::SetupDiEnumDeviceInfo(list.Get(), index, &device);
         ++index) {
        if (HasNoDriver(device.DevInst)) {
            if (const auto controller = ControllerOf(list.Get(), device)) {
                found.push_back(*controller);
            }
        }
    }
    return found;
}
