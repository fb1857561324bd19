#include "filesystems/ClusterVolume.h"

#include "diskinfo/LittleEndian.h"
#include "text/Decimal.h"

#include <algorithm>
#include <cstring>

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

Reader::~Reader() = default;

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

OwnerMap::~OwnerMap() = default;

std::vector<SectorRange> OwnerMap::Gaps(std::uint64_t first, std::uint64_t end) const
{
    std::vector<SectorRange> gaps;
    auto range = std::upper_bound(asked_.begin(), asked_.end(), first,
                                  [](std::uint64_t at, const SectorRange& r) { return at < r.first + r.count; });
    for (; range != asked_.end() && range->first < end; ++range) {
        std::uint64_t at = std::max(first, range->first);
        const std::uint64_t stop = std::min(end, range->first + range->count);
        auto piece = After(at);
        if (piece != claimed_.begin()) {
            at = std::max(at, std::prev(piece)->first + std::prev(piece)->count);
        }
        while (at < stop) {
            const std::uint64_t gapEnd = piece == claimed_.end() ? stop : std::min(stop, piece->first);
            if (gapEnd > at) {
                gaps.push_back({at, gapEnd - at});
            }
            if (piece == claimed_.end() || piece->first >= stop) {
                break;
            }
            at = piece->first + piece->count;
            ++piece;
        }
    }
    return gaps;
}

std::vector<Owner>::const_iterator OwnerMap::After(std::uint64_t sector) const
{
    return std::upper_bound(claimed_.begin(), claimed_.end(), sector,
                            [](std::uint64_t at, const Owner& owner) { return at < owner.first; });
}

void OwnerMap::Claim(std::uint64_t offset, std::uint64_t length, std::wstring_view file,
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
        claimed_.insert(After(gap.first), Owner{gap.first, gap.count, std::wstring(file), at});
        unclaimed_ -= gap.count;
    }
}

std::vector<Owner> OwnerMap::Finish(std::wstring_view rest)
{
    for (const SectorRange& range : std::vector<SectorRange>(asked_)) {
        Claim(range.first * sectorSize_, range.count * sectorSize_, rest);
    }
    std::vector<Owner> owners;
    for (Owner& owner : claimed_) {
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

Fat::Fat(Reader& reader, Layout layout, std::vector<std::wstring>& notes)
    : reader_(reader), layout_(std::move(layout)), notes_(notes)
{
}

Fat::~Fat() = default;

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

Chain::Chain(Fat& fat, const Heap& heap, std::uint32_t first, std::uint64_t most, bool contiguous)
    : fat_(fat), heap_(heap), most_(most), contiguous_(contiguous), ended_(!heap.Valid(first) || most == 0),
      current_{first, 1, 0}, cluster_(first), marked_(first)
{
}

bool Chain::Next(Run& run)
{
    if (ended_) {
        return false;
    }
    if (contiguous_) {
        ended_ = true;
        run = Run{current_.first, std::min<std::uint64_t>(most_, heap_.count - (current_.first - 2)), 0};
        return true;
    }
    while (current_.index + current_.count < most_) {
        const std::optional<std::uint32_t> next = fat_.Entry(cluster_);
        if (!next || !heap_.Valid(*next) || *next == fat_.BadCluster() || *next == marked_) {
            break;
        }
        if (++sinceMarked_ == markEvery_) {
            marked_ = *next;
            sinceMarked_ = 0;
            markEvery_ *= 2;
        }
        const bool follows = *next == cluster_ + 1;
        cluster_ = *next;
        if (follows) {
            ++current_.count;
        } else {
            run = current_;
            current_ = Run{*next, 1, current_.index + current_.count};
            return true;
        }
    }
    ended_ = true;
    run = current_;
    return true;
}

bool DirectoryEntries::Next(std::span<const std::uint8_t>& entry)
{
    while (entry_ + kEntry > piece_.size()) {
        if (extent_ == extents_.size()) {
            return false;
        }
        const Extent& extent = extents_[extent_];
        if (at_ >= extent.length) {
            ++extent_;
            at_ = 0;
            continue;
        }
        const std::uint64_t offset = extent.offset + at_;
        piece_.resize(std::min(kPiece, extent.length - at_));
        at_ += kPiece;
        entry_ = 0;
        if (!reader_.Read(offset, piece_)) {
            const std::uint64_t last = (offset + piece_.size() - 1) / reader_.SectorSize();
            piece_.clear();
            if (reader_.Ended()) {
                extent_ = extents_.size();
                return false;
            }
            notes_.push_back(L"Directory " + std::wstring(directory_) + L": sectors " +
                             Decimal(offset / reader_.SectorSize()) + L"–" + Decimal(last) +
                             L" of the volume unreadable: the files listed there are unknown");
            entry = {};
            return true;
        }
    }
    entry = std::span<const std::uint8_t>(piece_).subspan(entry_, kEntry);
    entry_ += kEntry;
    return true;
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

void ClaimUnallocated(OwnerMap& map, const Heap& heap, const Reader& reader, Rules& rules)
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
        ClusterState runState = rules.StateOf(first);
        for (std::uint64_t cluster = first; cluster <= std::uint64_t{last} + 1 && !reader.Ended(); ++cluster) {
            const ClusterState now = cluster <= last ? rules.StateOf(static_cast<std::uint32_t>(cluster)) : ClusterState::Used;
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
    std::vector<std::uint64_t> seen{waiting.back().first}; // in order
    std::vector<Found> found;
    Run run;
    while (!waiting.empty() && !map.Complete() && !reader.Ended()) {
        const Directory directory = std::move(waiting.back());
        waiting.pop_back();
        const std::wstring name = DirectoryName(directory);
        std::vector<Extent> extents;
        if (directory.fixed.length != 0) {
            extents.push_back(directory.fixed);
        }
        const std::uint64_t most = directory.most != 0 ? directory.most : mostInDirectory;
        for (Chain chain(fat, heap, directory.first, most, directory.contiguous); chain.Next(run);) {
            extents.push_back({heap.ByteOf(run.first), run.count * heap.clusterSize});
            map.Claim(extents.back().offset, extents.back().length, name, run.index * heap.clusterSize);
            progress.Add(run.count);
        }
        // Files are mapped as their entries come, so that a huge directory is never held whole.
        const std::size_t before = waiting.size();
        rules.Restart();
        const std::wstring where = directory.depth == 0 ? L"\\" : directory.path;
        DirectoryEntries entries(reader, extents, where, result.notes);
        bool more = true;
        for (std::span<const std::uint8_t> entry; more && !map.Complete() && entries.Next(entry);) {
            more = rules.Take(entry, found);
            for (const Found& item : found) {
                Directory child = Child(directory, item.name);
                if (item.directory) {
                    // A directory listed twice, or inside itself, is read once.
                    const std::uint64_t first = item.first;
                    const auto at = std::lower_bound(seen.begin(), seen.end(), first);
                    if (heap.Valid(item.first) && (at == seen.end() || *at != first)) {
                        seen.insert(at, first);
                        child.first = item.first;
                        child.most = CeilDiv(item.length, heap.clusterSize);
                        child.contiguous = item.contiguous;
                        waiting.push_back(std::move(child));
                    }
                    continue;
                }
                for (Chain chain(fat, heap, item.first, CeilDiv(item.length, heap.clusterSize), item.contiguous);
                     !map.Complete() && chain.Next(run);) {
                    map.Claim(heap.ByteOf(run.first), run.count * heap.clusterSize, child.path,
                              run.index * heap.clusterSize);
                    progress.Add(run.count);
                }
            }
            found.clear();
        }
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
