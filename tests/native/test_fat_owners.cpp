// The FAT and exFAT readers over real volumes that mkfs.vfat and mtools, mkfs.exfat and
// exfat-fuse made (make_fat_images.sh), against what sleuthkit says lies on their sectors.
#include "filesystems/FileOwners.h"
#include "text/Utf8.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace {

using namespace FileOwners;

struct Truth {
    std::string kase;
    std::uint64_t sector = 0;
    std::string file;
    std::string offset; // "-" where none
};

std::vector<Truth> TruthOf(const std::string& image)
{
    std::vector<Truth> rows;
    std::ifstream in(std::string(OSTREVANE_FAT_IMAGES_DIR) + "/" + image + ".truth");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Truth row;
        std::string sector;
        std::getline(fields, row.kase, '\t');
        std::getline(fields, sector, '\t');
        std::getline(fields, row.file, '\t');
        std::getline(fields, row.offset, '\t');
        row.sector = std::stoull(sector);
        rows.push_back(row);
    }
    return rows;
}

std::string OffsetText(const Owner& owner, std::uint64_t sector)
{
    return owner.offset ? std::to_string(*owner.offset + (sector - owner.first) * 512) : "-";
}

// The image as a volume of 512-byte sectors; sectors in `unreadable` fail, and every read is
// checked to be whole sectors of at most 1 MiB.
struct ImageVolume {
    explicit ImageVolume(const std::string& image)
        : file(std::string(OSTREVANE_FAT_IMAGES_DIR) + "/" + image + ".img", std::ios::binary)
    {
        volume.sectorCount = std::filesystem::file_size(std::string(OSTREVANE_FAT_IMAGES_DIR) + "/" + image + ".img") / 512;
        volume.read = [this](std::uint64_t first, std::span<std::uint8_t> into) {
            EXPECT_TRUE(into.size() % 512 == 0 && into.size() <= (1 << 20) && first + into.size() / 512 <= volume.sectorCount);
            if (readsLeft-- == 0) {
                return ReadResult{ReadResult::Outcome::Ended, 0};
            }
            for (std::uint64_t s = first; s < first + into.size() / 512; ++s) {
                if (unreadable.count(s) != 0) {
                    return ReadResult{ReadResult::Outcome::Unreadable, 23};
                }
            }
            file.seekg(static_cast<std::streamoff>(first * 512));
            file.read(reinterpret_cast<char*>(into.data()), static_cast<std::streamsize>(into.size()));
            return ReadResult{};
        };
        volume.progress = [this](int percent) {
            EXPECT_GE(percent, lastPercent);
            lastPercent = percent;
        };
    }
    std::ifstream file;
    Volume volume;
    std::set<std::uint64_t> unreadable;
    int readsLeft = -1; // then the drive is gone
    int lastPercent = -1;
};

// Each sector of the truth asked alone, then the whole volume at once, which must come back
// tiled exactly, each piece in its place; then with the deep directory unreadable, its file is
// unknown and a note says so.
void Check(const std::string& image, const std::vector<std::string>& cases,
           Map (*find)(const Volume&, std::span<const SectorRange>), const std::wstring& fileSystem)
{
    SCOPED_TRACE(image);
    const std::vector<Truth> truth = TruthOf(image);
    for (const std::string& kase : cases) {
        EXPECT_TRUE(std::any_of(truth.begin(), truth.end(), [&](const Truth& t) { return t.kase == kase; }))
            << "no truth for " << kase;
    }
    ImageVolume image_(image);
    const auto run = [&](std::span<const SectorRange> ranges) {
        image_.lastPercent = -1;
        return find(image_.volume, ranges);
    };
    for (const Truth& row : truth) {
        SCOPED_TRACE(row.kase + " at " + std::to_string(row.sector));
        const SectorRange asked{row.sector, 1};
        const Map map = run({&asked, 1});
        ASSERT_EQ(map.outcome, Map::Outcome::Mapped);
        EXPECT_EQ(map.fileSystem, fileSystem);
        ASSERT_EQ(map.owners.size(), 1U);
        EXPECT_EQ(map.owners[0].first, row.sector);
        EXPECT_EQ(map.owners[0].count, 1U);
        EXPECT_EQ(Utf8(map.owners[0].file), row.file);
        EXPECT_EQ(OffsetText(map.owners[0], row.sector), row.offset);
        EXPECT_TRUE(map.notes.empty());
        EXPECT_EQ(image_.lastPercent, 100);
    }

    const SectorRange whole{0, image_.volume.sectorCount};
    const Map all = run({&whole, 1});
    std::uint64_t next = 0;
    for (const Owner& owner : all.owners) {
        EXPECT_EQ(owner.first, next);
        next = owner.first + owner.count;
    }
    EXPECT_EQ(next, image_.volume.sectorCount);
    for (const Truth& row : truth) {
        const auto owner = std::find_if(all.owners.begin(), all.owners.end(), [&](const Owner& o) {
            return o.first <= row.sector && row.sector < o.first + o.count;
        });
        ASSERT_NE(owner, all.owners.end());
        EXPECT_EQ(Utf8(owner->file) + " " + OffsetText(*owner, row.sector), row.file + " " + row.offset) << row.kase;
    }

    std::vector<SectorRange> deepFile;
    for (const Truth& row : truth) {
        if (row.kase == "directory") {
            image_.unreadable.insert(row.sector);
        } else if (row.kase == "long name, deep path") {
            deepFile.push_back({row.sector, 1});
        }
    }
    const Map blind = run(deepFile);
    ASSERT_EQ(blind.owners.size(), deepFile.size());
    EXPECT_EQ(blind.owners[0].file, L"(unknown)");
    EXPECT_EQ(blind.notes.size(), 1U);

    // The drive goes away partway: the map ends there, and says so.
    image_.readsLeft = 4;
    const Map ended = run({&whole, 1});
    EXPECT_EQ(ended.outcome, Map::Outcome::Ended);
    EXPECT_TRUE(ended.owners.empty());
}

TEST(FatOwners, RealVolumes)
{
    const std::vector<std::string> cases{"fragmented",  "contiguous",  "long name, deep path", "directory", "deleted file",
                                         "free space", "boot sector", "FAT",                  "root directory"};
    Check("fat12", cases, FindFatOwners, L"FAT12");
    Check("fat16", cases, FindFatOwners, L"FAT16");
    Check("fat32", cases, FindFatOwners, L"FAT32");
    Check("fat16-loops", cases, FindFatOwners, L"FAT16");
}

TEST(ExfatOwners, RealVolume)
{
    std::ifstream skip(std::string(OSTREVANE_FAT_IMAGES_DIR) + "/exfat.skip");
    if (std::string why; std::getline(skip, why)) {
        GTEST_SKIP() << why;
    }
    Check("exfat",
          {"fragmented", "contiguous", "long name, deep path", "directory", "deleted file", "free space", "boot region",
           "FAT", "allocation bitmap", "up-case table"},
          FindExfatOwners, L"exFAT");
}

} // namespace
