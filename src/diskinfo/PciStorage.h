#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// PCI storage controllers that Windows found no driver for. In WinPE without the RAID driver
// the drives behind Intel VMD and RST or AMD RAID do not appear at all: the controller is the
// only trace of them. The hardware IDs' reader is free of <windows.h>, tested natively and fuzzed.
class PciStorage {
public:
    PciStorage() = delete;

    // The subclasses of mass storage (class 01h) whose controllers hide their drives without a
    // driver: RAID (Intel VMD among them), SATA in AHCI mode, NVMe.
    static constexpr std::uint8_t kRaid = 0x04;
    static constexpr std::uint8_t kAhci = 0x06;
    static constexpr std::uint8_t kNvme = 0x08;

    struct Controller {
        std::uint16_t vendor = 0;
        std::uint16_t device = 0;
        std::uint8_t subclass = 0;
    };

    // The controller that a hardware ID of the form "PCI\VEN_vvvv&DEV_dddd&CC_01ss..." names,
    // when ss is one of those subclasses; nullopt for any other ID.
    static std::optional<Controller> ParseHardwareId(std::wstring_view id);

    // The present PCI controllers of those kinds that have no driver, in the device tree's
    // order; asked of the device tree through the Kernel seam, never of a drive.
    static std::vector<Controller> WithoutDriver();
};
