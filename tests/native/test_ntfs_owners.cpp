#include "filesystems/FileOwners.h"

#include <gtest/gtest.h>

#include <algorithm>
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

std::wstring Wide(const std::string& utf8)
{
    std::wstring wide;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
        std::uint32_t code = length == 1 ? byte : byte & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            code = code << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
        }
        wide += static_cast<wchar_t>(code);
        i += length;
    }
    return wide;
}

std::vector<Case> ReadTruth(const std::string& path)
{
    std::vector<Case> cases;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        Case c;
        std::string sector, names;
        std::getline(fields, c.name, '\t');
        std::getline(fields, sector, '\t');
        std::getline(fields, c.offset, '\t');
        std::getline(fields, names);
        c.sector = std::stoull(sector);
        std::istringstream each(names);
        for (std::string name; std::getline(each, name, '|');) {
            c.owners.push_back(Wide(name));
        }
        cases.push_back(c);
    }
    return cases;
}

TEST(NtfsOwners, NamesWhatSleuthkitSaysLiesOnEachSector)
{
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
        std::vector<SectorRange> ranges;
        for (const Case& c : cases) {
            ranges.push_back({c.sector, 1});
        }
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
