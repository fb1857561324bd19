#include "diskinfo/PciStorage.h"

#include "text/DeviceIdText.h"

std::optional<PciStorage::Controller> PciStorage::ParseHardwareId(std::wstring_view id)
{
    const auto vendor = DeviceIdText::TakeField(id, L"PCI\\VEN_");
    const auto device = DeviceIdText::TakeField(id, L"&DEV_");
    const auto classCode = DeviceIdText::TakeField(id, L"&CC_");
    if (!vendor || !device || !classCode || *classCode >> 8 != 0x01) {
        return std::nullopt;
    }
    const auto subclass = static_cast<std::uint8_t>(*classCode & 0xFF);
    if (subclass != kRaid && subclass != kAhci && subclass != kNvme) {
        return std::nullopt;
    }
    return Controller{*vendor, *device, subclass};
}
