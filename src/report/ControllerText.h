#pragma once

#include "diskinfo/PciStorage.h"

#include <cstdint>
#include <span>
#include <string>

// The line below the drive list for a storage controller without its driver: which one, that its
// drives are hidden, and what to do about it.
class ControllerText {
public:
    ControllerText() = delete;

    // "Intel RAID/VMD controller (PCI\VEN_8086&DEV_9A0B) has no driver: its drives are hidden.
    // Load its driver (drvload X:\Drivers\iaStorVD.inf), then Refresh Drives."
    static std::wstring NoDriver(std::uint16_t vendor, std::uint16_t device, std::uint8_t subclass);
    // One such line for each controller, CR LF between them; empty for none.
    static std::wstring NoDriver(std::span<const PciStorage::Controller> controllers);
};
