// The file map's cost against the one thing it cannot avoid, reading the file table: a real NTFS
// volume's image is mapped for some ranges, then its $MFT (where sleuthkit says it lies) is read
// alone the same way, in 1 MiB pieces through the same reads, each time from a cold cache. A
// program that prints figures (scripts/bench.sh runs it), not a test.
//
// FileMapBench IMAGE FILES LCN+CLUSTERS... (the $MFT's runs in clusters of CLUSTER bytes,
// given as the environment's OSTREVANE_CLUSTER, default 4096)

#include "filesystems/FileOwners.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kSectorSize = 512;
constexpr std::size_t kPiece = 1 << 20;
constexpr int kRounds = 5;

// Reads whole sectors of the image, as the program reads a drive, and forgets the image's cached
// pages first so that each measurement reads from the disk.
class Image {
public:
    explicit Image(const char* path) : m_fd(open(path, O_RDONLY)) {}
    ~Image() { close(m_fd); }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    bool Open() const { return m_fd >= 0; }
    std::uint64_t Sectors() const { return static_cast<std::uint64_t>(lseek(m_fd, 0, SEEK_END)) / kSectorSize; }
    void Forget() const { posix_fadvise(m_fd, 0, 0, POSIX_FADV_DONTNEED); }

    FileOwners::ReadResult Read(std::uint64_t sector, std::span<std::uint8_t> into) const
    {
        const ssize_t got = pread(m_fd, into.data(), into.size(), static_cast<off_t>(sector * kSectorSize));
        return {got == static_cast<ssize_t>(into.size()) ? FileOwners::ReadResult::Outcome::Read
                                                          : FileOwners::ReadResult::Outcome::Unreadable,
                0};
    }

private:
    int m_fd;
};

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s IMAGE FILES LCN+CLUSTERS...\n", argv[0]);
        return 2;
    }
    const Image image(argv[1]);
    if (!image.Open()) {
        std::perror(argv[1]);
        return 1;
    }
    const char* clusterText = std::getenv("OSTREVANE_CLUSTER");
    const std::uint64_t cluster = clusterText ? std::stoull(clusterText) : 4096;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> mftRuns;
    for (int i = 3; i < argc; ++i) {
        const std::string run = argv[i];
        const std::size_t plus = run.find('+');
        mftRuns.emplace_back(std::stoull(run.substr(0, plus)), std::stoull(run.substr(plus + 1)));
    }

    // Some ranges across the volume, as a scan of a failing drive finds them, and one in the table.
    FileOwners::Volume volume;
    volume.sectorCount = image.Sectors();
    volume.read = [&](std::uint64_t sector, std::span<std::uint8_t> into) { return image.Read(sector, into); };
    std::vector<FileOwners::SectorRange> ranges;
    for (std::uint64_t at = volume.sectorCount / 67; at < volume.sectorCount; at += volume.sectorCount / 67) {
        ranges.push_back({at, 64});
    }
    ranges.push_back({mftRuns.front().first * cluster / kSectorSize + 4096, 256});

    // The best of a few rounds of each, taken in turn: the disk under a shared machine varies far
    // more between reads than the two ways of reading do.
    double mapped = 1e9;
    double scanned = 0;
    double readAlone = 1e9;
    std::uint64_t tableBytes = 0;
    std::size_t owners = 0;
    std::vector<std::uint8_t> piece(kPiece);
    for (int round = 0; round < kRounds; ++round) {
        image.Forget();
        const auto mapStart = std::chrono::steady_clock::now();
        double pass = 0;
        volume.progress = [&](int percent) { pass = percent == 100 ? Seconds(mapStart) : pass; };
        const FileOwners::Map map = FileOwners::FindOwners(volume, ranges);
        if (map.outcome != FileOwners::Map::Outcome::Mapped) {
            std::fprintf(stderr, "the volume was not mapped (%d)\n", static_cast<int>(map.outcome));
            return 1;
        }
        if (const double took = Seconds(mapStart); took < mapped) {
            mapped = took;
            scanned = pass;
        }
        owners = map.owners.size();

        image.Forget();
        tableBytes = 0;
        const auto readStart = std::chrono::steady_clock::now();
        for (const auto& [lcn, clusters] : mftRuns) {
            const std::uint64_t first = lcn * cluster;
            const std::uint64_t bytes = clusters * cluster;
            for (std::uint64_t done = 0; done < bytes; done += kPiece) {
                const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, bytes - done));
                image.Read((first + done) / kSectorSize, std::span(piece).first(length));
            }
            tableBytes += bytes;
        }
        readAlone = std::min(readAlone, Seconds(readStart));
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);

    std::printf("file map: %s files, file table %.0f MiB, mapped in %.2f s, file table read alone %.2f s, ratio %.2f, "
                "peak memory %.1f MiB (%zu owners of %zu ranges; the table's pass took %.2f s)\n",
                argv[2], static_cast<double>(tableBytes) / (1 << 20), mapped, readAlone, readAlone / mapped,
                static_cast<double>(usage.ru_maxrss) / 1024, owners, ranges.size(), scanned);
    return 0;
}
