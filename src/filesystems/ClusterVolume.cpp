#include "filesystems/ClusterVolume.h"

#include "diskinfo/LittleEndian.h"
#include "text/Decimal.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace FileOwners::Clusters {

namespace {

constexpr std::size_t kEntry = 32;

std::uint64_t CeilDiv(std::uint64_t value, std::uint64_t by)
{
    return value / by + (value % by != 0 ? 1 : 0);
}

// The path of entry `name` in `parent`, cut with "…" below kDeepest levels, and what the
// entry's own entries start with if it is a directory.
Directory Child(const Directory& parent, const std::wstring& name)
{
    Directory child;
    child.depth = parent.depth + 1;
    child.path = parent.prefix + L"\\" + name;
    child.prefix = child.depth < kDeepest ? child.path : child.depth == kDeepest ? child.path + L"\\…" : parent.prefix;
    return child;
}

std::wstring DirectoryName(const Directory& directory)
{
    return directory.depth == 0 ? L"(root directory)" : directory.path + L" (directory)";
}

} // namespace

bool Reader::Read(std::uint64_t offset, std::span<std::uint8_t> into)
{
    if (ended_) {
        return false;
    }
    const std::uint64_t size = volume_.sectorSize;
    const std::uint64_t first = offset / size;
    const std::uint64_t end = CeilDiv(offset + into.size(), size);
    if (end > volume_.sectorCount || end < first || !volume_.read) {
        return false;
    }
    const bool aligned = offset % size == 0 && into.size() % size == 0;
    std::span<std::uint8_t> target = into;
    if (!aligned) {
        whole_.resize((end - first) * size);
        target = whole_;
    }
    const ReadResult result = volume_.read(first, target);
    if (result.outcome == ReadResult::Outcome::Ended) {
        ended_ = true;
    }
    if (result.outcome != ReadResult::Outcome::Read) {
        return false;
    }
    if (!aligned) {
        std::memcpy(into.data(), whole_.data() + (offset - first * size), into.size());
    }
    return true;
}

OwnerMap::OwnerMap(const Volume& volume, std::span<const SectorRange> ranges)
    : sectorSize_(volume.sectorSize), asked_(Merged(volume, ranges, true))
{
    for (const SectorRange& range : asked_) {
        unclaimed_ += range.count;
    }
}

std::vector<SectorRange> OwnerMap::Gaps(std::uint64_t first, std::uint64_t end) const
{
    std::vector<SectorRange> gaps;
    auto range = std::upper_bound(asked_.begin(), asked_.end(), first,
                                  [](std::uint64_t at, const SectorRange& r) { return at < r.first + r.count; });
    for (; range != asked_.end() && range->first < end; ++range) {
        std::uint64_t at = std::max(first, range->first);
        const std::uint64_t stop = std::min(end, range->first + range->count);
        auto piece = claimed_.upper_bound(at);
        if (piece != claimed_.begin()) {
            const auto before = std::prev(piece);
            at = std::max(at, before->first + before->second.count);
        }
        while (at < stop) {
            const std::uint64_t gapEnd = piece == claimed_.end() ? stop : std::min(stop, piece->first);
            if (gapEnd > at) {
                gaps.push_back({at, gapEnd - at});
            }
            if (piece == claimed_.end() || piece->first >= stop) {
                break;
            }
            at = piece->first + piece->second.count;
            ++piece;
        }
    }
    return gaps;
}

void OwnerMap::Claim(std::uint64_t offset, std::uint64_t length, const std::wstring& file,
                     std::optional<std::uint64_t> fileOffset)
{
    if (unclaimed_ == 0 || length == 0) {
        return;
    }
    const std::uint64_t first = CeilDiv(offset, sectorSize_);
    const std::uint64_t end = CeilDiv(offset + length, sectorSize_);
    for (const SectorRange& gap : Gaps(first, end)) {
        std::optional<std::uint64_t> at;
        if (fileOffset) {
            at = *fileOffset + (gap.first * sectorSize_ - offset);
        }
        claimed_.emplace(gap.first, Owner{gap.first, gap.count, file, at});
        unclaimed_ -= gap.count;
    }
}

std::vector<Owner> OwnerMap::Finish(const std::wstring& rest)
{
    for (const SectorRange& range : std::vector<SectorRange>(asked_)) {
        Claim(range.first * sectorSize_, range.count * sectorSize_, rest);
    }
    std::vector<Owner> owners;
    for (auto& [first, owner] : claimed_) {
        if (!owners.empty()) {
            Owner& last = owners.back();
            const bool follows = last.first + last.count == owner.first && last.file == owner.file &&
                                 last.offset.has_value() == owner.offset.has_value() &&
                                 (!owner.offset || *last.offset + last.count * sectorSize_ == *owner.offset);
            if (follows) {
                last.count += owner.count;
                continue;
            }
        }
        owners.push_back(std::move(owner));
    }
    claimed_.clear();
    return owners;
}

std::optional<std::uint32_t> Fat::Entry(std::uint32_t cluster)
{
    const std::uint64_t byte = layout_.bits == 12 ? cluster + cluster / 2 : std::uint64_t{cluster} * layout_.bits / 8;
    const std::uint64_t width = layout_.bits == 32 ? 4 : 2;
    if (byte + width > layout_.length) {
        return std::nullopt;
    }
    // A FAT12's entries lie in its first 6 KiB, one piece, so no entry straddles two.
    const Piece& piece = PieceAt(byte / kPiece);
    if (byte % kPiece + width > piece.bytes.size()) {
        return std::nullopt;
    }
    auto value = static_cast<std::uint32_t>(ReadLe(piece.bytes, byte % kPiece, width));
    if (layout_.bits == 12) {
        value = (cluster % 2 != 0 ? value >> 4 : value) & 0xFFF;
    }
    return value & layout_.mask;
}

const Fat::Piece& Fat::PieceAt(std::uint64_t index)
{
    ++clock_;
    for (Piece& piece : pieces_) {
        if (piece.index == index) {
            piece.used = clock_;
            return piece;
        }
    }
    // One not used yet, or else the one used longest ago.
    Piece& piece = *std::min_element(pieces_.begin(), pieces_.end(),
                                     [](const Piece& a, const Piece& b) { return a.used < b.used; });
    piece.index = index;
    piece.used = clock_;
    piece.bytes.resize(std::min(kPiece, layout_.length - index * kPiece));
    const bool read = std::any_of(layout_.copies.begin(), layout_.copies.end(), [&](std::uint64_t copy) {
        return reader_.Read(copy + index * kPiece, piece.bytes);
    });
    if (!read) {
        const std::uint64_t first = index * kPiece * 8 / layout_.bits;
        const std::uint64_t last = first + piece.bytes.size() * 8 / layout_.bits - (layout_.bits == 12 ? 0 : 1);
        std::wstring note = L"FAT entries " + Decimal(first) + L"–" + Decimal(std::max(first, last)) +
                            L" unreadable in every copy: the files whose clusters they link are known only in part";
        // A piece read again after others took its place is said once.
        if (!reader_.Ended() && std::find(notes_.begin(), notes_.end(), note) == notes_.end()) {
            notes_.push_back(std::move(note));
        }
        piece.bytes.clear();
    }
    return piece;
}

void FollowChain(Fat& fat, const Heap& heap, std::uint32_t first, std::uint64_t most, bool contiguous,
                 const std::function<bool(const Run&)>& run)
{
    if (!heap.Valid(first) || most == 0) {
        return;
    }
    if (contiguous) {
        const std::uint64_t inHeap = std::min<std::uint64_t>(most, heap.count - (first - 2));
        run(Run{first, inHeap, 0});
        return;
    }
    Run current{first, 1, 0};
    std::uint32_t cluster = first;
    // `most` bounds a loop, but a file of gigabytes that loops over two clusters would take long:
    // a loop is seen, as Brent finds one, once it has gone round at most twice.
    std::uint32_t marked = first;
    std::uint64_t sinceMarked = 0;
    std::uint64_t markEvery = 1;
    while (current.index + current.count < most) {
        const std::optional<std::uint32_t> next = fat.Entry(cluster);
        if (!next || !heap.Valid(*next) || *next == fat.BadCluster() || *next == marked) {
            break;
        }
        if (++sinceMarked == markEvery) {
            marked = *next;
            sinceMarked = 0;
            markEvery *= 2;
        }
        if (*next == cluster + 1) {
            ++current.count;
        } else {
            if (!run(current)) {
                return;
            }
            current = Run{*next, 1, current.index + current.count};
        }
        cluster = *next;
    }
    run(current);
}

void ReadEntries(Reader& reader, std::span<const Extent> extents, const std::wstring& directory,
                 std::vector<std::wstring>& notes,
                 const std::function<bool(std::span<const std::uint8_t>)>& entry)
{
    std::vector<std::uint8_t> piece;
    for (const Extent& extent : extents) {
        for (std::uint64_t at = 0; at < extent.length; at += kPiece) {
            piece.resize(std::min(kPiece, extent.length - at));
            if (!reader.Read(extent.offset + at, piece)) {
                if (reader.Ended()) {
                    return;
                }
                const std::uint64_t first = (extent.offset + at) / reader.SectorSize();
                const std::uint64_t last = (extent.offset + at + piece.size() - 1) / reader.SectorSize();
                notes.push_back(L"Directory " + directory + L": sectors " + Decimal(first) + L"–" + Decimal(last) +
                                L" of the volume unreadable: the files listed there are unknown");
                if (!entry({})) {
                    return;
                }
                continue;
            }
            for (std::size_t e = 0; e + kEntry <= piece.size(); e += kEntry) {
                if (!entry(std::span<const std::uint8_t>(piece).subspan(e, kEntry))) {
                    return;
                }
            }
        }
    }
}

void Progress::Add(std::uint64_t clusters)
{
    done_ += clusters;
    const auto percent = static_cast<int>(std::min<std::uint64_t>(99, done_ * 100 / expected_));
    if (percent != shown_ && volume_.progress) {
        shown_ = percent;
        volume_.progress(percent);
    }
}

void Progress::Done()
{
    if (volume_.progress) {
        volume_.progress(100);
    }
}

void ClaimUnallocated(OwnerMap& map, const Heap& heap, const Reader& reader,
                      const std::function<ClusterState(std::uint32_t)>& state)
{
    const std::uint64_t size = map.SectorSize();
    for (const SectorRange& range : std::vector<SectorRange>(map.Asked())) {
        const std::uint64_t start = range.first * size;
        const std::uint64_t end = (range.first + range.count) * size;
        if (end <= heap.offset || start >= heap.ByteOf(std::uint64_t{heap.count} + 2)) {
            continue;
        }
        const auto first = static_cast<std::uint32_t>(2 + (std::max(start, heap.offset) - heap.offset) / heap.clusterSize);
        const auto last = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(heap.count + 1, 2 + (end - 1 - heap.offset) / heap.clusterSize));
        std::uint32_t runStart = first;
        ClusterState runState = state(first);
        for (std::uint64_t cluster = first; cluster <= std::uint64_t{last} + 1 && !reader.Ended(); ++cluster) {
            const ClusterState now = cluster <= last ? state(static_cast<std::uint32_t>(cluster)) : ClusterState::Used;
            if (cluster <= last && now == runState) {
                continue;
            }
            if (runState == ClusterState::Free || runState == ClusterState::Bad) {
                map.Claim(heap.ByteOf(runStart), (cluster - runStart) * heap.clusterSize,
                          runState == ClusterState::Free ? L"(free space)" : L"(bad clusters)");
            }
            runStart = static_cast<std::uint32_t>(cluster);
            runState = now;
        }
    }
}

void Walk::From(Directory root)
{
    std::vector<Directory> waiting{std::move(root)};
    std::set<std::uint32_t> seen{waiting.back().first};
    std::vector<Found> found;
    while (!waiting.empty() && !map.Complete() && !reader.Ended()) {
        const Directory directory = std::move(waiting.back());
        waiting.pop_back();
        const std::wstring name = DirectoryName(directory);
        std::vector<Extent> extents;
        if (directory.fixed.length != 0) {
            extents.push_back(directory.fixed);
        }
        const std::uint64_t most = directory.most != 0 ? directory.most : mostInDirectory;
        FollowChain(fat, heap, directory.first, most, directory.contiguous, [&](const Run& run) {
            extents.push_back({heap.ByteOf(run.first), run.count * heap.clusterSize});
            map.Claim(extents.back().offset, extents.back().length, name, run.index * heap.clusterSize);
            progress.Add(run.count);
            return true;
        });
        // Files are mapped as their entries come, so that a huge directory is never held whole.
        const std::size_t before = waiting.size();
        const auto take = [&](const Found& item) {
            Directory child = Child(directory, item.name);
            if (item.directory) {
                // A directory listed twice, or inside itself, is read once.
                if (heap.Valid(item.first) && seen.insert(item.first).second) {
                    child.first = item.first;
                    child.most = CeilDiv(item.length, heap.clusterSize);
                    child.contiguous = item.contiguous;
                    waiting.push_back(std::move(child));
                }
                return;
            }
            FollowChain(fat, heap, item.first, CeilDiv(item.length, heap.clusterSize), item.contiguous,
                        [&](const Run& run) {
                            map.Claim(heap.ByteOf(run.first), run.count * heap.clusterSize, child.path,
                                      run.index * heap.clusterSize);
                            progress.Add(run.count);
                            return !map.Complete();
                        });
        };
        EntryReader next = entries;
        ReadEntries(reader, extents, directory.depth == 0 ? L"\\" : directory.path, result.notes,
                    [&](std::span<const std::uint8_t> entry) {
                        const bool more = next(entry, found);
                        for (const Found& item : found) {
                            take(item);
                        }
                        found.clear();
                        return more && !map.Complete();
                    });
        // Depth first, in the order the directory lists them.
        std::reverse(waiting.begin() + static_cast<std::ptrdiff_t>(before), waiting.end());
    }
    if (reader.Ended()) {
        result.outcome = Map::Outcome::Ended;
        result.notes.clear();
        return;
    }
    progress.Done();
    result.outcome = Map::Outcome::Mapped;
    result.owners = map.Finish(result.notes.empty() ? L"(lost clusters)" : L"(unknown)");
}

} // namespace FileOwners::Clusters
