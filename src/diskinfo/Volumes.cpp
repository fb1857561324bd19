#include "diskinfo/Volumes.h"

#include "diskinfo/BootSector.h"
#include "kernel/KernelResources.h"

#include <winioctl.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace {

// The request codes and answer layouts as the SDK publishes them, against the reader's offsets.
static_assert(IOCTL_DISK_GET_DRIVE_LAYOUT_EX == 0x70050);
static_assert(IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS == 0x560000);
// Both need no access to the handle: a volume is opened with none.
static_assert(((IOCTL_DISK_GET_DRIVE_LAYOUT_EX >> 14) & 3) == FILE_ANY_ACCESS);
static_assert(((IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS >> 14) & 3) == FILE_ANY_ACCESS);

using Layout = DriveLayout;
static_assert(PARTITION_STYLE_MBR == static_cast<int>(Layout::Style::Mbr));
static_assert(PARTITION_STYLE_GPT == static_cast<int>(Layout::Style::Gpt));
static_assert(PARTITION_STYLE_RAW == static_cast<int>(Layout::Style::Raw));
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionStyle) == Layout::kStyleField);
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionCount) == Layout::kCountField);
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, Mbr.Signature) == Layout::kDiskField);
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, Gpt.DiskId) == Layout::kDiskField);
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == Layout::kEntriesField);
static_assert(sizeof(PARTITION_INFORMATION_EX) == Layout::kEntrySize);
static_assert(offsetof(PARTITION_INFORMATION_EX, StartingOffset) == Layout::kEntryStartField);
static_assert(offsetof(PARTITION_INFORMATION_EX, PartitionLength) == Layout::kEntryLengthField);
static_assert(offsetof(PARTITION_INFORMATION_EX, PartitionNumber) == Layout::kEntryNumberField);
static_assert(offsetof(PARTITION_INFORMATION_EX, Mbr) == Layout::kEntryDetailField);
static_assert(offsetof(PARTITION_INFORMATION_EX, Gpt) == Layout::kEntryDetailField);
static_assert(offsetof(PARTITION_INFORMATION_MBR, PartitionType) == 0);
static_assert(offsetof(PARTITION_INFORMATION_GPT, PartitionType) == 0);
static_assert(offsetof(PARTITION_INFORMATION_GPT, PartitionId) == Layout::kGptIdField);
static_assert(offsetof(PARTITION_INFORMATION_GPT, Name) == Layout::kGptNameField);
static_assert(sizeof(PARTITION_INFORMATION_GPT::Name) / sizeof(WCHAR) == Layout::kGptNameLength);
static_assert(offsetof(VOLUME_DISK_EXTENTS, Extents) == Layout::kExtentsField);
static_assert(sizeof(DISK_EXTENT) == Layout::kExtentSize);
static_assert(offsetof(DISK_EXTENT, StartingOffset) == Layout::kExtentStartField);
static_assert(offsetof(DISK_EXTENT, ExtentLength) == Layout::kExtentLengthField);

// Room for the tables that disks have: 4 entries at first, doubled while Windows asks for more,
// past the 128 entries of a full GPT up to an MBR chain of 1,023 logical partitions (four
// entries each); a volume's extents the same way, from 4 to 1024.
constexpr std::size_t kLayoutFirstSize = Layout::kEntriesField + 4 * Layout::kEntrySize;
constexpr std::size_t kLayoutMostSize = Layout::kEntriesField + 4096 * Layout::kEntrySize;
constexpr std::size_t kExtentsFirstSize = Layout::kExtentsField + 4 * Layout::kExtentSize;
constexpr std::size_t kExtentsMostSize = Layout::kExtentsField + 1024 * Layout::kExtentSize;

// Longest "\\?\Volume{GUID}\" and its terminator, and the letters and folders of one volume.
constexpr DWORD kVolumeNameCapacity = MAX_PATH;
constexpr std::size_t kPathNamesFirstCapacity = 64;
constexpr std::size_t kPathNamesMostCapacity = 64 * 1024;

// A partition's start in the whole sectors an unbuffered read takes, the smallest there are.
constexpr std::int64_t kSmallestSector = 512;

// The answer's bytes as returned, asked again with twice the buffer (the last time with `most`)
// while Windows says it was too small; none when the request failed. The heap aligns the buffer
// for the structures the driver writes into it.
std::vector<std::uint8_t> GrowingRequest(HANDLE device, DWORD code, std::size_t first, std::size_t most)
{
    static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= alignof(std::int64_t));
    for (std::size_t size = first;; size = std::min(size * 2, most)) {
        std::vector<std::uint8_t> buffer(size, 0);
        DWORD returned = 0;
        if (Kernel::DeviceIoControl(device, code, nullptr, 0, buffer.data(), static_cast<DWORD>(size), &returned,
                                    nullptr) != FALSE) {
            buffer.resize(std::min<std::size_t>(returned, size));
            return buffer;
        }
        const DWORD error = GetLastError();
        if (size == most || (error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA)) {
            return {};
        }
    }
}

class FindVolumeHandle {
public:
    explicit FindVolumeHandle(HANDLE handle) noexcept : m_handle(handle) {}
    FindVolumeHandle(const FindVolumeHandle&) = delete;
    FindVolumeHandle& operator=(const FindVolumeHandle&) = delete;
    ~FindVolumeHandle()
    {
        if (*this) {
            Kernel::FindVolumeClose(m_handle);
        }
    }

    explicit operator bool() const noexcept { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const noexcept { return m_handle; }

private:
    HANDLE m_handle;
};

// Opened without a trailing backslash (with one it would name the root folder) and with no
// access at all: the extents request needs none, and an open that asks for no data is one of
// the volume device itself, which Windows answers without mounting a file system.
std::vector<DriveLayout::Extent> QueryExtents(const std::wstring& name)
{
    const std::wstring device = name.substr(0, name.size() - 1);
    const KernelHandle volume(Kernel::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
    if (!volume) {
        return {};
    }
    return DriveLayout::ReadExtents(
        GrowingRequest(volume.Get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, kExtentsFirstSize, kExtentsMostSize));
}

// The NUL-separated list of the volume's letters and folders, ended by an empty one.
std::vector<std::wstring> QueryPaths(const std::wstring& name)
{
    for (std::size_t capacity = kPathNamesFirstCapacity; capacity <= kPathNamesMostCapacity; capacity *= 2) {
        std::wstring names(capacity, L'\0');
        DWORD needed = 0;
        if (Kernel::GetVolumePathNamesForVolumeNameW(name.c_str(), names.data(), static_cast<DWORD>(capacity),
                                                     &needed) != FALSE) {
            names.back() = L'\0';
            std::vector<std::wstring> paths;
            for (const wchar_t* path = names.data(); path < names.data() + capacity && *path != L'\0';
                 path += paths.back().size() + 1) {
                paths.emplace_back(path);
            }
            return paths;
        }
        if (GetLastError() != ERROR_MORE_DATA) {
            break;
        }
    }
    return {};
}

} // namespace

std::vector<DriveLayout::Volume> Volumes::Discover()
{
    Kernel::SetErrorMode(Kernel::GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    std::vector<DriveLayout::Volume> volumes;
    std::array<wchar_t, kVolumeNameCapacity> name{};
    const FindVolumeHandle find(Kernel::FindFirstVolumeW(name.data(), kVolumeNameCapacity));
    if (!find) {
        return volumes;
    }
    do {
        name.back() = L'\0';
        DriveLayout::Volume volume;
        volume.name = name.data();
        if (volume.name.size() < 2 || volume.name.back() != L'\\') {
            continue;
        }
        volume.extents = QueryExtents(volume.name);
        if (!volume.extents.empty()) {
            volume.paths = QueryPaths(volume.name);
            volumes.push_back(std::move(volume));
        }
    } while (Kernel::FindNextVolumeW(find.Get(), name.data(), kVolumeNameCapacity) != FALSE);
    return volumes;
}

std::optional<DriveLayout::Layout> Volumes::QueryLayout(HANDLE drive)
{
    return DriveLayout::Read(GrowingRequest(drive, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, kLayoutFirstSize, kLayoutMostSize));
}

void Volumes::ReadFileSystems(HANDLE drive, DriveLayout::Layout& layout)
{
    const PageBuffer buffer(BootSector::kReadSize);
    if (!buffer) {
        return;
    }
    const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(buffer.Get()), BootSector::kReadSize);
    for (DriveLayout::Partition& partition : layout.partitions) {
        if (partition.start < 0 || partition.start % kSmallestSector != 0 ||
            partition.length < static_cast<std::int64_t>(BootSector::kReadSize)) {
            continue;
        }
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(partition.start);
        position.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(partition.start) >> 32);
        DWORD read = 0;
        if (Kernel::ReadFile(drive, buffer.Get(), BootSector::kReadSize, &read, &position) != FALSE &&
            read == BootSector::kReadSize) {
            partition.fileSystem = BootSector::FileSystemOf(bytes);
        }
    }
}
