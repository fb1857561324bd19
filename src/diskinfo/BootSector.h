#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The file system of a partition, told from the partition's first bytes as the drive holds
// them: read raw, so that nothing asks Windows to mount the file system (a mount writes to the
// volume, and the drive being examined may be failing). Free of <windows.h>: built natively
// under the sanitizers and fuzzed.
class BootSector {
public:
    BootSector() = delete;

    // How much of a partition is read: whole sectors of 512 and 4,096 bytes alike, and far
    // enough for the ext superblock and the signature at the end of a 4 KiB swap page.
    static constexpr std::size_t kReadSize = 4096;

    // "NTFS", "FAT12", "FAT16", "FAT32", "exFAT", "ReFS", "BitLocker", "ext2", "ext3", "ext4",
    // "Linux swap" or "LUKS"; empty when the bytes name none of them, or are fewer than kReadSize.
    static std::wstring_view FileSystemOf(std::span<const std::uint8_t> start);
};
