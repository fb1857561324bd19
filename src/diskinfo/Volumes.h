#pragma once

#include "diskinfo/DriveLayout.h"

#include <windows.h>

#include <optional>
#include <vector>

// Which drive holds which volume, asked of Windows through the Kernel seam with no access to
// any volume's data: every volume by its extents, letters and folders; a drive's partition
// table; and, for the details of one drive, each partition's file system, read from the drive
// itself. Nothing here asks a file system anything: Windows would mount it to answer, and a
// mount writes to the volume.
class Volumes {
public:
    Volumes() = delete;

    // Every volume whose extents Windows names, in the order Windows lists them. A volume that
    // does not open or does not answer (a card reader without its card) is left out. Windows'
    // box for a drive without media is kept away for the rest of the process first.
    static std::vector<DriveLayout::Volume> Discover();

    // The partition table of the drive open as `drive`; nullopt when it was not answered.
    static std::optional<DriveLayout::Layout> QueryLayout(HANDLE drive);

    // Each partition's file system, from its first BootSector::kReadSize bytes read on `drive`,
    // which must be open for unbuffered reading. A read can wait on a struggling drive, so this
    // is done only when one drive's details open.
    static void ReadFileSystems(HANDLE drive, DriveLayout::Layout& layout);
};
