#pragma once

#include <cstddef>
#include <cstdint>

// Where the BIOS parameter block of a FAT volume keeps its fields, and the counts of data
// clusters that divide FAT12, FAT16 and FAT32 (the one rule that tells them apart: the type text
// in the boot sector is a label only).
namespace FatLayout {

constexpr std::size_t kBytesPerSector = 11;
constexpr std::size_t kSectorsPerCluster = 13;
constexpr std::size_t kReservedSectors = 14;
constexpr std::size_t kFatCount = 16;
constexpr std::size_t kRootEntries = 17;
constexpr std::size_t kTotalSectors16 = 19;
constexpr std::size_t kFatSize16 = 22;
constexpr std::size_t kTotalSectors32 = 32;
constexpr std::size_t kFatSize32 = 36;
constexpr std::size_t kBootSignature = 510;
constexpr std::uint64_t kMostFat12Clusters = 4084;
constexpr std::uint64_t kMostFat16Clusters = 65524;

} // namespace FatLayout
