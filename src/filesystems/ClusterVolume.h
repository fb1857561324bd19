#pragma once

#include "filesystems/FileOwners.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What the FAT family (FAT12/16/32 and exFAT) have in common: a cluster heap whose chains a FAT
// links, directories of 32-byte entries, and a map of the asked sectors that the first claim to
// each sector wins. Internal to the two readers.
namespace FileOwners::Clusters {

// The largest read: big enough for the drive to stream, small enough to keep memory bounded.
inline constexpr std::uint64_t kPiece = 1 << 20;
// Paths deeper than this are cut, and the rest of them is "…".
inline constexpr unsigned kDeepest = 256;

// Bytes of the volume, read through its whole sectors. Remembers whether the drive went away or
// the user stopped, after which every read fails at once.
class Reader {
public:
    explicit Reader(const Volume& volume) : volume_(volume) {}
    // Out of line, as the other holders of buffers below: each reader would carry its own copy.
    ~Reader();
    // False when the bytes could not be read, including any that lie past the volume's end.
    bool Read(std::uint64_t offset, std::span<std::uint8_t> into);
    bool Ended() const { return ended_; }
    std::uint32_t SectorSize() const { return volume_.sectorSize; }

private:
    const Volume& volume_;
    std::vector<std::uint8_t> whole_;
    bool ended_ = false;
};

// Which of the asked sectors belong to what: the first claim to a sector wins, so the caller
// claims in order of precedence (free space before the files that still list it).
class OwnerMap {
public:
    OwnerMap(const Volume& volume, std::span<const SectorRange> ranges);
    ~OwnerMap();
    // Gives the unclaimed asked sectors that start inside volume bytes [offset, offset + length)
    // to `file`, whose own byte offset at `offset` is `fileOffset`.
    void Claim(std::uint64_t offset, std::uint64_t length, std::wstring_view file,
               std::optional<std::uint64_t> fileOffset = std::nullopt);
    bool Complete() const { return unclaimed_ == 0; }
    // The asked sectors, merged and inside the volume.
    const std::vector<SectorRange>& Asked() const { return asked_; }
    std::uint32_t SectorSize() const { return sectorSize_; }
    // Every asked sector still unclaimed goes to `rest`; neighbours of one file are joined.
    std::vector<Owner> Finish(std::wstring_view rest);

private:
    // The unclaimed asked stretches of sectors [first, end).
    std::vector<SectorRange> Gaps(std::uint64_t first, std::uint64_t end) const;
    // The first claimed piece that starts after `sector`.
    std::vector<Owner>::const_iterator After(std::uint64_t sector) const;

    std::uint32_t sectorSize_;
    std::vector<SectorRange> asked_;
    std::vector<Owner> claimed_; // in order of `first`, none overlapping
    std::uint64_t unclaimed_ = 0;
};

// A FAT: the link from each cluster to the next, read in pieces as they are needed, from the
// first copy whose piece reads. A piece that no copy gives is said once in the notes.
class Fat {
public:
    struct Layout {
        std::vector<std::uint64_t> copies; // byte offsets of the copies, the active one first
        std::uint64_t length = 0;          // bytes of one copy
        unsigned bits = 32;                // 12, 16 or 32 per entry
        std::uint32_t mask = 0xFFFFFFFF;   // FAT32 keeps four bits for itself
        std::uint32_t badCluster = 0;      // the entry that marks a bad cluster
    };
    Fat(Reader& reader, Layout layout, std::vector<std::wstring>& notes);
    ~Fat();
    // The entry of `cluster`; none where its piece could not be read.
    std::optional<std::uint32_t> Entry(std::uint32_t cluster);
    std::uint32_t BadCluster() const { return layout_.badCluster; }

private:
    struct Piece {
        std::uint64_t index = ~std::uint64_t{0}; // none yet
        std::vector<std::uint8_t> bytes; // empty when unreadable
        std::uint64_t used = 0;
    };
    const Piece& PieceAt(std::uint64_t index);

    Reader& reader_;
    Layout layout_;
    std::vector<std::wstring>& notes_;
    // A few pieces of the FAT stay read: a file's chain seldom jumps far, and the pieces of a
    // directory's files lie near each other.
    std::array<Piece, 4> pieces_;
    std::uint64_t clock_ = 0;
};

// The cluster heap's geometry.
struct Heap {
    std::uint64_t offset = 0;      // byte offset of cluster 2
    std::uint64_t clusterSize = 0; // bytes
    std::uint32_t count = 0;       // clusters 2 .. count + 1
    bool Valid(std::uint64_t cluster) const { return cluster >= 2 && cluster - 2 < count; }
    std::uint64_t ByteOf(std::uint64_t cluster) const { return offset + (cluster - 2) * clusterSize; }
};

// Contiguous clusters of a chain: `count` from `first`, starting at cluster number `index` of
// the chain.
struct Run {
    std::uint32_t first = 0;
    std::uint64_t count = 0;
    std::uint64_t index = 0;
};

// Follows a chain from `first` for at most `most` clusters, in runs; a link out of the heap, a
// free or bad link, or an unreadable piece of the FAT ends it, and so does a loop, at the latest
// when `most` is reached. `contiguous` (exFAT's NoFatChain) takes the clusters in a row instead.
// The FAT is read only as far as the runs taken need.
class Chain {
public:
    Chain(Fat& fat, const Heap& heap, std::uint32_t first, std::uint64_t most, bool contiguous);
    // The next run; false after the last.
    bool Next(Run& run);

private:
    Fat& fat_;
    const Heap& heap_;
    std::uint64_t most_;
    bool contiguous_;
    bool ended_;
    Run current_;
    std::uint32_t cluster_;
    // A loop is seen, as Brent finds one, once it has gone round at most twice: `most` bounds
    // it too, but a file of gigabytes that loops over two clusters would take long.
    std::uint32_t marked_;
    std::uint64_t sinceMarked_ = 0;
    std::uint64_t markEvery_ = 1;
};

// Bytes of the volume that a directory's entries lie in.
struct Extent {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// A directory's 32-byte entries, its extents read in pieces of at most kPiece; a piece that does
// not read is left out and said in the notes, and told by an empty entry.
class DirectoryEntries {
public:
    DirectoryEntries(Reader& reader, std::span<const Extent> extents, std::wstring_view directory,
            std::vector<std::wstring>& notes)
        : reader_(reader), extents_(extents), directory_(directory), notes_(notes)
    {
    }
    // The next entry; false after the last, or once the reader has ended.
    bool Next(std::span<const std::uint8_t>& entry);

private:
    Reader& reader_;
    std::span<const Extent> extents_;
    std::wstring_view directory_;
    std::vector<std::wstring>& notes_;
    std::vector<std::uint8_t> piece_;
    std::size_t extent_ = 0;
    std::uint64_t at_ = 0; // in the extent, of the next piece
    std::size_t entry_ = 0; // in the piece, of the next entry
};

// How far the mapping has come: clusters of files walked against the clusters in use.
class Progress {
public:
    Progress(const Volume& volume, std::uint64_t expected) : volume_(volume), expected_(expected ? expected : 1) {}
    void Add(std::uint64_t clusters);
    void Done();

private:
    const Volume& volume_;
    std::uint64_t expected_;
    std::uint64_t done_ = 0;
    int shown_ = -1;
};

// A directory waiting to be read: where its entries are, its path and depth.
struct Directory {
    std::uint32_t first = 0;
    std::uint64_t most = 0; // clusters at most
    bool contiguous = false;
    Extent fixed;           // FAT12/16's root, which lies outside the heap
    std::wstring path;      // "" for the root
    std::wstring prefix;    // what its entries' paths start with
    unsigned depth = 0;
};

// What a directory lists that owns clusters.
struct Found {
    std::wstring name;
    std::uint32_t first = 0;
    std::uint64_t length = 0; // bytes; none known for a FAT directory
    bool contiguous = false;
    bool directory = false;
};

enum class ClusterState { Free, Bad, Used, Unknown };

// What FAT and exFAT each tell in their own way: which clusters are in use, and what a
// directory's entries list.
class Rules {
public:
    virtual ClusterState StateOf(std::uint32_t cluster) = 0;
    // A new directory begins: what the one before left unfinished is forgotten.
    virtual void Restart() = 0;
    // Takes a directory's entries one by one (an empty span for a piece that did not read), adds
    // what they list to `found`, and returns false at the directory's end.
    virtual bool Take(std::span<const std::uint8_t> entry, std::vector<Found>& found) = 0;

protected:
    ~Rules() = default;
};

// Everything the cluster readers share once the tables are found: every directory from the
// root down, depth first, each directory's own clusters named by DirectoryName and each file's
// by its path with its byte offsets, until every asked sector is claimed; then `result` is
// mapped, the sectors no file claims "(lost clusters)" (or "(unknown)" when something could
// not be read), or Ended. A directory already read (one that contains itself) is not read
// again. `mostInDirectory` bounds a directory whose length its entry does not say.
struct Walk {
    Reader& reader;
    Fat& fat;
    const Heap& heap;
    OwnerMap& map;
    Progress& progress;
    Map& result;
    Rules& rules;
    std::uint64_t mostInDirectory = 0;
    void From(Directory root);
};

// Gives the asked free and bad clusters of the heap to "(free space)" and "(bad clusters)".
// Gives up once the reader has ended.
void ClaimUnallocated(OwnerMap& map, const Heap& heap, const Reader& reader, Rules& rules);

} // namespace FileOwners::Clusters
