#include "diskinfo/BootSector.h"

#include "diskinfo/FatLayout.h"
#include "diskinfo/LittleEndian.h"

#include <algorithm>

namespace {

// The name fields at the start of a boot sector, after its jump instruction.
constexpr std::size_t kOemName = 3;
constexpr std::size_t kLuksMagic = 0;
// The ext superblock starts at byte 1024: its magic at 0x38, its feature words at 0x5C and 0x60.
constexpr std::size_t kExtMagic = 1024 + 0x38;
constexpr std::size_t kExtCompatible = 1024 + 0x5C;
constexpr std::size_t kExtIncompatible = 1024 + 0x60;
constexpr std::uint32_t kExtHasJournal = 0x4;
// Extents, 64-bit block numbers, flexible block groups: features ext3 never had.
constexpr std::uint32_t kExt4Only = 0x40 | 0x80 | 0x200;
// The signature of a swap area lies in the last ten bytes of its first page.
constexpr std::size_t kSwapSignature = 4096 - 10;

using namespace FatLayout;

bool HasText(std::span<const std::uint8_t> bytes, std::size_t at, std::string_view text)
{
    return std::equal(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      [](char expected, std::uint8_t byte) { return static_cast<std::uint8_t>(expected) == byte; });
}

bool IsPowerOfTwo(std::uint64_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// FAT12, FAT16 or FAT32 by the count of its data clusters, the one rule that tells them apart
// (the type text in the boot sector is a label only); empty when the parameters cannot be FAT's.
std::wstring_view FatOf(std::span<const std::uint8_t> bytes)
{
    const std::uint64_t bytesPerSector = ReadLe(bytes, kBytesPerSector, 2);
    const std::uint64_t sectorsPerCluster = bytes[kSectorsPerCluster];
    const std::uint64_t reserved = ReadLe(bytes, kReservedSectors, 2);
    const std::uint64_t fats = bytes[kFatCount];
    std::uint64_t total = ReadLe(bytes, kTotalSectors16, 2);
    total = total != 0 ? total : ReadLe(bytes, kTotalSectors32, 4);
    std::uint64_t fatSize = ReadLe(bytes, kFatSize16, 2);
    fatSize = fatSize != 0 ? fatSize : ReadLe(bytes, kFatSize32, 4);
    if (ReadLe(bytes, kBootSignature, 2) != 0xAA55 || bytesPerSector < 512 || bytesPerSector > 4096 ||
        !IsPowerOfTwo(bytesPerSector) || !IsPowerOfTwo(sectorsPerCluster) || reserved == 0 || fats == 0 ||
        fatSize == 0) {
        return {};
    }
    const std::uint64_t rootSectors = (ReadLe(bytes, kRootEntries, 2) * 32 + bytesPerSector - 1) / bytesPerSector;
    const std::uint64_t overhead = reserved + fats * fatSize + rootSectors;
    if (overhead >= total) {
        return {};
    }
    const std::uint64_t clusters = (total - overhead) / sectorsPerCluster;
    return clusters <= kMostFat12Clusters ? L"FAT12" : clusters <= kMostFat16Clusters ? L"FAT16" : L"FAT32";
}

std::wstring_view ExtOf(std::span<const std::uint8_t> bytes)
{
    if ((ReadLe(bytes, kExtIncompatible, 4) & kExt4Only) != 0) {
        return L"ext4";
    }
    return (ReadLe(bytes, kExtCompatible, 4) & kExtHasJournal) != 0 ? L"ext3" : L"ext2";
}

} // namespace

std::wstring_view BootSector::FileSystemOf(std::span<const std::uint8_t> start)
{
    if (start.size() < kReadSize) {
        return {};
    }
    using namespace std::string_view_literals;
    if (HasText(start, kLuksMagic, "LUKS\xBA\xBE"sv)) {
        return L"LUKS";
    }
    // An encrypted volume keeps a boot sector of its own: what it was is not readable.
    if (HasText(start, kOemName, "-FVE-FS-"sv)) {
        return L"BitLocker";
    }
    if (HasText(start, kOemName, "NTFS    "sv)) {
        return L"NTFS";
    }
    if (HasText(start, kOemName, "EXFAT   "sv)) {
        return L"exFAT";
    }
    if (HasText(start, kOemName, "ReFS\0\0\0\0"sv)) {
        return L"ReFS";
    }
    if (const std::wstring_view fat = FatOf(start); !fat.empty()) {
        return fat;
    }
    if (ReadLe(start, kExtMagic, 2) == 0xEF53) {
        return ExtOf(start);
    }
    if (HasText(start, kSwapSignature, "SWAPSPACE2"sv) || HasText(start, kSwapSignature, "SWAP-SPACE"sv)) {
        return L"Linux swap";
    }
    return {};
}
