#pragma once

#include "diskinfo/DriveLayout.h"

#include <windows.h>

#include <optional>
#include <vector>

// Which drive holds which volume, asked of Windows through the Kernel seam with no access to
// any volume's data: every volume by its extents, letters and folders; a drive's partition
// table; and, for the details of one drive, what a volume's file system says of itself.
class Volumes {
public:
    Volumes() = delete;

    // Every volume whose extents Windows names, in the order Windows lists them. A volume that
    // does not open or does not answer (a card reader without its card) is left out. Windows'
    // box for a drive without media is kept away for the rest of the process first.
    static std::vector<DriveLayout::Volume> Discover();

    // The partition table of the drive open as `drive`; nullopt when it was not answered.
    static std::optional<DriveLayout::Layout> QueryLayout(HANDLE drive);

    // The file system, label, size and free space of `volume`, where its file system answers.
    // It can wait on a struggling drive, so it is asked only when one drive's details open.
    static void QueryFileSystem(DriveLayout::Volume& volume);
};
