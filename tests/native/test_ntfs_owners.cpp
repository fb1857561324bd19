#include "filesystems/FileOwners.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

// The NTFS reader over a volume made by mkntfs and filled by ntfs-3g (make-ntfs-image.sh), each
// case's sector against what sleuthkit says lies there.
namespace {

using namespace FileOwners;

struct Case {
    std::string name;
    std::uint64_t sector = 0;
    std::string offset; // bytes, or "-"; for "unreadable", the count of sectors that fail
    std::vector<std::wstring> owners; // any of them; for "unreadable", the note
};

std::vector<Case> ReadTruth(const std::string& path)
{
    std::vector<Case> cases;
    std::ifstream file(path);
    std::string name, sector, offset, names;
    while (std::getline(file, name, '\t') && std::getline(file, sector, '\t') && std::getline(file, offset, '\t') &&
           std::getline(file, names)) {
        Case c{name, std::stoull(sector), offset, {}};
        std::istringstream each(names);
        for (std::string one; std::getline(each, one, '|');) {
            std::wstring wide(one.size(), L'\0');
            wide.resize(std::mbstowcs(wide.data(), one.c_str(), wide.size()));
            c.owners.push_back(wide);
        }
        cases.push_back(c);
    }
    return cases;
}

TEST(NtfsOwners, NamesWhatSleuthkitSaysLiesOnEachSector)
{
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr); // the truth's "…" and "–"
    const std::string dir = OSTREVANE_NTFS_IMAGE_DIR;
    std::ifstream image(dir + "/ntfs.img", std::ios::binary);
    std::vector<Case> cases = ReadTruth(dir + "/ntfs.truth");
    if (!image || cases.empty()) {
        GTEST_SKIP() << "no NTFS image in " << dir << ": make-ntfs-image.sh needs root and /dev/fuse";
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(image)), {});
    const auto unreadable = std::find_if(cases.begin(), cases.end(), [](const Case& c) { return c.name == "unreadable"; });
    ASSERT_NE(unreadable, cases.end());
    const Case failing = *unreadable;
    cases.erase(unreadable);

    for (const bool failReads : {false, true}) {
        SCOPED_TRACE(failReads ? "with records 1,024-1,031 unreadable" : "all readable");
        Volume volume;
        volume.sectorCount = bytes.size() / 512;
        volume.read = [&](std::uint64_t first, std::span<std::uint8_t> into) {
            const std::uint64_t end = first + into.size() / 512;
            if (failReads && first < failing.sector + std::stoull(failing.offset) && failing.sector < end) {
                return ReadResult{ReadResult::Outcome::Unreadable, 23};
            }
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(first * 512), into.size(), into.begin());
            return ReadResult{};
        };
        std::vector<SectorRange> ranges(cases.size());
        std::transform(cases.begin(), cases.end(), ranges.begin(), [](const Case& c) { return SectorRange{c.sector, 1}; });
        const Map map = FindOwners(volume, ranges);
        ASSERT_EQ(map.outcome, Map::Outcome::Mapped);
        EXPECT_EQ(map.fileSystem, L"NTFS");
        EXPECT_EQ(std::count(map.notes.begin(), map.notes.end(), failing.owners.at(0)), failReads ? 1 : 0);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const auto owner = std::find_if(map.owners.begin(), map.owners.end(), [&](const Owner& o) {
                return o.first <= c.sector && c.sector < o.first + o.count &&
                       std::find(c.owners.begin(), c.owners.end(), o.file) != c.owners.end();
            });
            ASSERT_NE(owner, map.owners.end());
            EXPECT_EQ(owner->offset ? std::to_string(*owner->offset + (c.sector - owner->first) * 512) : "-", c.offset);
        }
    }
}

} // namespace
