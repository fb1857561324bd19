#include "report/ControllerText.h"

#include "text/BoundedText.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr std::uint16_t kIntel = 0x8086;

struct Maker {
    std::uint16_t vendor;
    const wchar_t* name;
};
// The PCI vendor IDs of the makers of storage controllers most often met.
constexpr Maker kMakers[] = {{kIntel, L"Intel"},      {0x1022, L"AMD"},      {0x1B4B, L"Marvell"},
                             {0x1B21, L"ASMedia"},    {0x1000, L"Broadcom"}, {0x144D, L"Samsung"}};

// The .inf of the driver packages that RAID controllers need: Intel's RST for VMD and AMD's
// RAID. Any other controller is told to load its maker's, whose file name varies by version.
struct Driver {
    std::uint16_t vendor;
    const wchar_t* inf;
};
constexpr Driver kRaidDrivers[] = {{kIntel, L"iaStorVD.inf"}, {0x1022, L"rcraid.inf"}};

template <class Entry, std::size_t Count>
const Entry* Find(const Entry (&table)[Count], std::uint16_t vendor)
{
    const Entry* found = std::find_if(std::begin(table), std::end(table),
                                      [vendor](const Entry& entry) { return entry.vendor == vendor; });
    return found == std::end(table) ? nullptr : found;
}

const wchar_t* KindOf(std::uint16_t vendor, std::uint8_t subclass)
{
    switch (subclass) {
    case PciStorage::kRaid:
        return vendor == kIntel ? L"RAID/VMD" : L"RAID";
    case PciStorage::kAhci:
        return L"AHCI";
    case PciStorage::kNvme:
        return L"NVMe";
    default:
        return L"storage";
    }
}

} // namespace

std::wstring ControllerText::NoDriver(std::uint16_t vendor, std::uint16_t device, std::uint8_t subclass)
{
    const Maker* maker = Find(kMakers, vendor);
    const Driver* driver = subclass == PciStorage::kRaid ? Find(kRaidDrivers, vendor) : nullptr;
    return BoundedText::Formatted<256>(L"%ls %ls controller (PCI\\VEN_%04X&DEV_%04X) has no driver: its drives are "
                                       L"hidden. Load its %ls (drvload X:\\Drivers\\%ls), then Refresh Drives.",
                                       maker != nullptr ? maker->name : L"PCI", KindOf(vendor, subclass),
                                       unsigned{vendor}, unsigned{device}, driver != nullptr ? L"driver" : L"maker's driver",
                                       driver != nullptr ? driver->inf : L"<driver>.inf");
}

std::wstring ControllerText::NoDriver(std::span<const PciStorage::Controller> controllers)
{
    std::wstring lines;
    for (const PciStorage::Controller& controller : controllers) {
        lines += (lines.empty() ? L"" : L"\r\n") + NoDriver(controller.vendor, controller.device, controller.subclass);
    }
    return lines;
}
