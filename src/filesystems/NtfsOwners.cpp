#include "filesystems/FileOwners.h"

#include "diskinfo/LittleEndian.h"
#include "text/Decimal.h"

#include <algorithm>

// The owners of sectors on NTFS: one pass over the file table in large sequential pieces, in
// which every live record's extents are matched against the asked ranges (an extension record
// says which file it belongs to, so a stream split across extension records needs no attribute
// list to be found), then the allocation bitmap for the asked clusters only, and last the
// records on the paths of the files found. Nothing is kept per record but what a hit needs.
namespace FileOwners {
namespace {

using Outcome = ReadResult::Outcome;

// The boot sector (the BIOS parameter block as NTFS lays it out).
constexpr std::size_t kOemName = 0x03;
constexpr std::size_t kBytesPerSector = 0x0B;
constexpr std::size_t kSectorsPerCluster = 0x0D;
constexpr std::size_t kTotalSectors = 0x28;
constexpr std::size_t kMftLcn = 0x30;
constexpr std::size_t kMirrorLcn = 0x38;
constexpr std::size_t kClustersPerRecord = 0x40;
constexpr std::size_t kBootSignature = 0x1FE;
static_assert(kMftLcn == kTotalSectors + 8 && kMirrorLcn == kMftLcn + 8 && kClustersPerRecord == kMirrorLcn + 8);
static_assert(kBootSignature + 2 == 512);

// A file record's header.
constexpr std::uint32_t kFileMagic = 0x454C4946; // "FILE"
constexpr std::size_t kUsaOffset = 0x04;
constexpr std::size_t kUsaCount = 0x06;
constexpr std::size_t kSequence = 0x10;
constexpr std::size_t kFirstAttribute = 0x14;
constexpr std::size_t kRecordFlags = 0x16;
constexpr std::size_t kBytesInUse = 0x18;
constexpr std::size_t kBaseRecord = 0x20;
constexpr std::size_t kRecordHeader = 0x30; // through the record's own number at 0x2C
static_assert(kBaseRecord + 8 + 2 + 2 + 4 == kRecordHeader);
constexpr std::uint64_t kInUse = 0x1;
// Each 512-byte stride of a record ends in the update sequence number; the real bytes wait in
// the update sequence array.
constexpr std::size_t kFixupStride = 512;

// An attribute's header, resident or not.
constexpr std::size_t kAttrType = 0x00;
constexpr std::size_t kAttrLength = 0x04;
constexpr std::size_t kNonResident = 0x08;
constexpr std::size_t kNameLength = 0x09;
constexpr std::size_t kNameOffset = 0x0A;
constexpr std::size_t kAttrFlags = 0x0C;
constexpr std::size_t kValueLength = 0x10;
constexpr std::size_t kValueOffset = 0x14;
constexpr std::size_t kResidentHeader = 0x18;
constexpr std::size_t kStartVcn = 0x10;
constexpr std::size_t kRunsOffset = 0x20;
constexpr std::size_t kDataSize = 0x30;
constexpr std::size_t kInitializedSize = 0x38;
constexpr std::size_t kNonResidentHeader = 0x40;
static_assert(kValueOffset + 4 == kResidentHeader && kInitializedSize + 8 == kNonResidentHeader);
constexpr std::uint64_t kCompressedMask = 0x00FF;
constexpr std::uint64_t kEncrypted = 0x4000;

constexpr std::uint64_t kAttributeList = 0x20;
constexpr std::uint64_t kFileName = 0x30;
constexpr std::uint64_t kData = 0x80;
constexpr std::uint64_t kIndexAllocation = 0xA0;
constexpr std::uint64_t kBitmapAttribute = 0xB0;
constexpr std::uint64_t kAttrEnd = 0xFFFFFFFF;

// $FILE_NAME's value.
constexpr std::size_t kParent = 0x00;
constexpr std::size_t kFileNameLength = 0x40;
constexpr std::size_t kNamespace = 0x41;
constexpr std::size_t kFileNameChars = 0x42;
constexpr std::uint64_t kDosNamespace = 2;

// An $ATTRIBUTE_LIST entry.
constexpr std::size_t kEntryType = 0x00;
constexpr std::size_t kEntryLength = 0x04;
constexpr std::size_t kEntryRecord = 0x10;
constexpr std::size_t kEntryMinimum = 0x1A;

constexpr std::uint64_t kRecordMask = 0x0000FFFFFFFFFFFF;
constexpr std::uint64_t kRootRecord = 5;
constexpr std::uint64_t kBitmapRecord = 6;
constexpr std::size_t kMostDepth = 256;
constexpr std::uint64_t kPieceBytes = 1 << 20;
// Far beyond any real volume, and small enough that cluster arithmetic in bytes cannot overflow.
constexpr std::uint64_t kMostClusters = std::uint64_t{1} << 40;
constexpr std::uint64_t kMostAttributeList = 256 * 1024;

struct Run {
    std::uint64_t vcn = 0;
    std::uint64_t length = 0;
    std::optional<std::uint64_t> lcn; // none for a sparse run
};
using Runs = std::vector<Run>;

std::uint64_t Le(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t count)
{
    return at + count <= bytes.size() ? ReadLe(bytes, at, count) : 0;
}

bool IsPowerOfTwo(std::uint64_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

std::wstring GroupedNumber(std::uint64_t number)
{
    std::wstring text = Decimal(number);
    for (std::size_t at = text.size(); at > 3;) {
        at -= 3;
        text.insert(at, 1, L',');
    }
    return text;
}

// UTF-16 as the disk holds it, into the platform's wide characters (UTF-16 on Windows, UTF-32
// elsewhere); a lone surrogate is kept as it is.
std::wstring WideName(std::span<const std::uint8_t> bytes)
{
    std::wstring name;
    for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
        const auto unit = static_cast<char32_t>(ReadLe(bytes, at, 2));
        if constexpr (sizeof(wchar_t) == 4) {
            const auto next = static_cast<char32_t>(Le(bytes, at + 2, 2));
            if (unit >= 0xD800 && unit < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
                name += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                at += 2;
                continue;
            }
        }
        name += static_cast<wchar_t>(unit);
    }
    return name;
}

// Undoes the update sequence in place. False when the record is torn: one of its strides does
// not end in the sequence number, so some of its sectors were written at another time.
bool ApplyFixups(std::span<std::uint8_t> record)
{
    if (record.size() < kRecordHeader || ReadLe(record, 0, 4) != kFileMagic) {
        return false;
    }
    const std::size_t usa = ReadLe(record, kUsaOffset, 2);
    const std::size_t count = ReadLe(record, kUsaCount, 2);
    if (count != record.size() / kFixupStride + 1 || usa < kUsaCount + 2 || usa + 2 * count > record.size()) {
        return false;
    }
    const std::uint64_t sequence = ReadLe(record, usa, 2);
    for (std::size_t i = 1; i < count; ++i) {
        const std::size_t end = i * kFixupStride - 2;
        if (ReadLe(record, end, 2) != sequence) {
            return false;
        }
        record[end] = record[usa + 2 * i];
        record[end + 1] = record[usa + 2 * i + 1];
    }
    return true;
}

// One attribute of a record, with its fields checked to lie inside it.
struct Attribute {
    std::uint64_t type = 0;
    bool nonResident = false;
    std::uint64_t flags = 0;
    std::span<const std::uint8_t> name; // UTF-16, read only where it is shown
    std::span<const std::uint8_t> value; // resident
    std::uint64_t startVcn = 0;          // non-resident from here on
    std::uint64_t dataSize = 0;
    std::uint64_t initializedSize = 0;
    std::span<const std::uint8_t> runs;
};

// A record's attributes one by one, each with its fields checked to lie inside it; one walker
// serves every reader of attributes, so that the checks are made in one place.
class Attributes {
public:
    explicit Attributes(std::span<const std::uint8_t> record)
        : record_(record), end_(std::min<std::size_t>(ReadLe(record, kBytesInUse, 4), record.size())),
          at_(ReadLe(record, kFirstAttribute, 2))
    {
    }

    // The next attribute whose fields check out; false after the last.
    bool Next(Attribute& attribute)
    {
        while (at_ + kResidentHeader <= end_) {
            attribute = {};
            attribute.type = ReadLe(record_, at_ + kAttrType, 4);
            const std::size_t length = ReadLe(record_, at_ + kAttrLength, 4);
            if (attribute.type == kAttrEnd || length < kResidentHeader || length > end_ - at_) {
                at_ = end_;
                return false;
            }
            const auto bytes = record_.subspan(at_, length);
            at_ += length;
            const std::size_t nameAt = ReadLe(bytes, kNameOffset, 2);
            const std::size_t nameLength = 2 * std::size_t{bytes[kNameLength]};
            if (nameAt + nameLength > bytes.size()) {
                continue;
            }
            attribute.name = bytes.subspan(nameAt, nameLength);
            attribute.flags = ReadLe(bytes, kAttrFlags, 2);
            attribute.nonResident = bytes[kNonResident] != 0;
            if (attribute.nonResident) {
                const std::size_t runsAt = Le(bytes, kRunsOffset, 2);
                if (bytes.size() < kNonResidentHeader || runsAt > bytes.size()) {
                    continue;
                }
                attribute.startVcn = ReadLe(bytes, kStartVcn, 8);
                attribute.dataSize = ReadLe(bytes, kDataSize, 8);
                attribute.initializedSize = ReadLe(bytes, kInitializedSize, 8);
                attribute.runs = bytes.subspan(runsAt);
            } else {
                const std::size_t valueAt = ReadLe(bytes, kValueOffset, 2);
                const std::size_t valueLength = ReadLe(bytes, kValueLength, 4);
                if (valueAt > bytes.size() || valueLength > bytes.size() - valueAt) {
                    continue;
                }
                attribute.value = bytes.subspan(valueAt, valueLength);
            }
            return true;
        }
        return false;
    }

private:
    std::span<const std::uint8_t> record_;
    std::size_t end_;
    std::size_t at_;
};

// The run list: lengths, and LCNs as signed steps from the run before; a run with no LCN is
// sparse. Decoding stops at the first run that makes no sense, keeping those before it.
void DecodeRuns(std::span<const std::uint8_t> list, std::uint64_t vcn, Runs& runs)
{
    runs.clear();
    std::uint64_t lcn = 0;
    for (std::size_t at = 0; at < list.size() && list[at] != 0;) {
        const std::size_t lengthBytes = list[at] & 0x0Fu;
        const std::size_t offsetBytes = list[at] >> 4;
        if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || at + 1 + lengthBytes + offsetBytes > list.size()) {
            break;
        }
        const std::uint64_t length = ReadLe(list, at + 1, lengthBytes);
        if (length == 0 || length > kMostClusters || vcn > kMostClusters) {
            break;
        }
        Run run{vcn, length, std::nullopt};
        if (offsetBytes != 0) {
            std::uint64_t step = ReadLe(list, at + 1 + lengthBytes, offsetBytes);
            if (offsetBytes < 8 && (step >> (8 * offsetBytes - 1) & 1) != 0) {
                step |= ~std::uint64_t{0} << (8 * offsetBytes);
            }
            lcn += step; // two's complement: a negative step goes back
            if (lcn > kMostClusters) {
                break;
            }
            run.lcn = lcn;
        }
        runs.push_back(run);
        vcn += length;
        at += 1 + lengthBytes + offsetBytes;
    }
}

Runs DecodeRuns(std::span<const std::uint8_t> list, std::uint64_t vcn)
{
    Runs runs;
    DecodeRuns(list, vcn, runs);
    return runs;
}

// What the asked sectors are claimed by: a stream's extent or a file record's place.
struct Claim {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    std::uint64_t record = 0;
    std::wstring suffix; // ":name" for a named stream, " (index)" for a directory's index
    std::optional<std::uint64_t> offset;
    bool place = false; // the sectors hold the file's record, not a stream's bytes
};

// A stretch of records that could not be read, or were torn, for the notes.
struct RecordStretch {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool damaged = false;
};

struct Name {
    bool known = false;
    std::wstring name;
    std::uint64_t parent = 0; // with its sequence number in the top 16 bits
    std::uint64_t sequence = 0;
};

// What is known of a record on the path of a file found: its name and its path, each once
// worked out. The texts lie apart, so that the cache moves as plain bytes.
struct Known {
    std::uint64_t number = 0;
    bool named = false;
    bool known = false; // a name was found
    std::size_t name = 0; // in the texts
    std::uint64_t parent = 0; // with its sequence number in the top 16 bits
    std::uint64_t sequence = 0;
    bool pathed = false;
    std::size_t path = 0; // in the texts
};

// Sorted, each value once.
void SortUnique(std::vector<std::uint64_t>& values)
{
    std::vector<std::uint64_t> sorted;
    for (const std::size_t index : Order(values)) {
        if (sorted.empty() || sorted.back() != values[index]) {
            sorted.push_back(values[index]);
        }
    }
    values = std::move(sorted);
}

class NtfsReader {
public:
    // Asked ranges that touch stay apart: the pieces of each are joined on their own.
    NtfsReader(const Volume& volume, std::span<const SectorRange> ranges) : volume_(volume)
    {
        for (const SectorRange& range : Merged(volume, ranges, false)) {
            asked_.push_back({range.first, range.first + range.count});
        }
    }

    Map Find()
    {
        Map map;
        map.fileSystem = L"NTFS";
        if (!ReadGeometry()) {
            map.outcome = ended_ ? Map::Outcome::Ended : Map::Outcome::NotRecognised;
            return map;
        }
        if (LoadMft() && ScanMft() && ReadBitmap()) {
            map.owners = Assemble();
        }
        map.outcome = ended_ ? Map::Outcome::Ended : Map::Outcome::Mapped;
        if (ended_) {
            map.owners.clear();
        }
        map.notes = std::move(notes_);
        return map;
    }

private:
    struct Span {
        std::uint64_t first = 0;
        std::uint64_t end = 0;
    };

    bool ReadGeometry()
    {
        const std::uint64_t sectorSize = volume_.sectorSize;
        if (!IsPowerOfTwo(sectorSize) || sectorSize > kPieceBytes || volume_.sectorCount > kMostClusters ||
            !volume_.read) {
            return false;
        }
        std::vector<std::uint8_t> boot(std::max<std::size_t>(512, sectorSize));
        if (ReadDisk(0, boot) != Outcome::Read) {
            return false;
        }
        const std::span<const std::uint8_t> bytes = boot;
        const std::uint64_t bytesPerSector = ReadLe(bytes, kBytesPerSector, 2);
        const std::uint64_t sectorsByte = bytes[kSectorsPerCluster];
        // From 64 KiB clusters on, the byte holds the negative power of two (no more than 2^31
        // is taken, which is far past what the checks below allow).
        const std::uint64_t sectorsPerCluster =
            sectorsByte > 0x80 ? std::uint64_t{1} << std::min<std::uint64_t>(256 - sectorsByte, 31) : sectorsByte;
        clusterBytes_ = bytesPerSector * sectorsPerCluster;
        const std::uint64_t recordByte = bytes[kClustersPerRecord];
        // Records smaller than a cluster are given as the negative power of two of their bytes.
        recordBytes_ = recordByte > 0x80 ? std::uint64_t{1} << std::min<std::uint64_t>(256 - recordByte, 31)
                                         : recordByte * clusterBytes_;
        const std::uint64_t totalSectors = ReadLe(bytes, kTotalSectors, 8);
        if (std::string_view(reinterpret_cast<const char*>(bytes.data()) + kOemName, 8) != "NTFS    " ||
            ReadLe(bytes, kBootSignature, 2) != 0xAA55 || !IsPowerOfTwo(bytesPerSector) || bytesPerSector < 256 ||
            bytesPerSector > 4096 || !IsPowerOfTwo(sectorsPerCluster) || clusterBytes_ > (std::uint64_t{1} << 21) ||
            clusterBytes_ % sectorSize != 0 || !IsPowerOfTwo(recordBytes_) || recordBytes_ < kFixupStride ||
            recordBytes_ > kPieceBytes || totalSectors > kMostClusters) {
            return false;
        }
        sectorsPerCluster_ = clusterBytes_ / sectorSize;
        // Clusters past the volume's end cannot be read, whatever the boot sector counts.
        clusterCount_ = std::min(totalSectors * bytesPerSector, volume_.sectorCount * sectorSize) / clusterBytes_;
        // The copy of the boot sector lies in the sector after the last that the count covers.
        backupSector_ = totalSectors * bytesPerSector / sectorSize;
        mftLcn_ = ReadLe(bytes, kMftLcn, 8);
        mirrorLcn_ = ReadLe(bytes, kMirrorLcn, 8);
        return mftLcn_ < clusterCount_;
    }

    // Whole sectors of the volume around `byte`; `into` any length.
    Outcome ReadDisk(std::uint64_t byte, std::span<std::uint8_t> into)
    {
        const std::uint64_t sectorSize = volume_.sectorSize;
        const std::uint64_t first = byte / sectorSize;
        const std::uint64_t end = (byte + into.size() + sectorSize - 1) / sectorSize;
        if (end > volume_.sectorCount) {
            return Outcome::Unreadable;
        }
        Outcome outcome;
        if (byte % sectorSize == 0 && into.size() % sectorSize == 0) {
            outcome = volume_.read(first, into).outcome;
        } else {
            std::vector<std::uint8_t> sectors((end - first) * sectorSize);
            outcome = volume_.read(first, sectors).outcome;
            const auto skip = static_cast<std::ptrdiff_t>(byte - first * sectorSize);
            std::copy_n(sectors.begin() + skip, into.size(), into.begin());
        }
        ended_ = ended_ || outcome == Outcome::Ended;
        return outcome;
    }

    static const Run* RunOf(const Runs& runs, std::uint64_t vcn)
    {
        const auto after = std::upper_bound(runs.begin(), runs.end(), vcn, [](std::uint64_t v, const Run& r) { return v < r.vcn; });
        return after != runs.begin() && vcn - std::prev(after)->vcn < std::prev(after)->length ? &*std::prev(after) : nullptr;
    }

    // Bytes `at` onwards of a stream laid out by `runs`; sparse runs read as zeros, and bytes
    // that no run maps are unreadable.
    Outcome ReadStream(const Runs& runs, std::uint64_t at, std::span<std::uint8_t> into)
    {
        Outcome worst = Outcome::Read;
        for (std::size_t done = 0; done < into.size() && worst != Outcome::Ended;) {
            const std::uint64_t vcn = (at + done) / clusterBytes_;
            const Run* run = RunOf(runs, vcn);
            if (!run) {
                return Outcome::Unreadable;
            }
            const Run& r = *run;
            const std::uint64_t runEnd = (r.vcn + r.length) * clusterBytes_;
            const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(into.size() - done, runEnd - (at + done)));
            const auto piece = into.subspan(done, length);
            if (r.lcn) {
                const Outcome outcome = ReadDisk((*r.lcn + vcn - r.vcn) * clusterBytes_ + (at + done) % clusterBytes_, piece);
                worst = outcome == Outcome::Read ? worst : outcome;
            } else {
                std::fill(piece.begin(), piece.end(), std::uint8_t{0});
            }
            done += length;
        }
        return worst;
    }

    // A record by its number, fixed up; empty when it cannot be read or is torn.
    std::vector<std::uint8_t> ReadRecord(std::uint64_t number)
    {
        std::vector<std::uint8_t> record(recordBytes_);
        if (number > kMostClusters || ReadStream(mftRuns_, number * recordBytes_, record) != Outcome::Read ||
            !ApplyFixups(record)) {
            record.clear();
        }
        return record;
    }

    // $MFT's own runs, from its record (or the mirror's copy of it) and the extension records
    // its attribute list names, which lie in the part of the table already known.
    bool LoadMft()
    {
        std::vector<std::uint8_t> record(recordBytes_);
        bool whole = false;
        for (const std::uint64_t lcn : {mftLcn_, mirrorLcn_}) {
            if (!whole && lcn < clusterCount_ && ReadDisk(lcn * clusterBytes_, record) == Outcome::Read) {
                whole = ApplyFixups(record);
            }
        }
        if (!whole) {
            notes_.push_back(L"MFT record 0 unreadable: the files are unknown");
            return !ended_;
        }
        auto take = [&](std::span<const std::uint8_t> from) {
            Attribute attribute;
            for (Attributes all(from); all.Next(attribute);) {
                if (attribute.type == kData && attribute.nonResident && attribute.name.empty()) {
                    for (const Run& run : DecodeRuns(attribute.runs, attribute.startVcn)) {
                        mftRuns_.push_back(run);
                    }
                    if (attribute.startVcn == 0) {
                        mftBytes_ = std::min(attribute.dataSize, attribute.initializedSize);
                    }
                }
            }
        };
        take(record);
        SortRuns(mftRuns_);
        for (const std::uint64_t number : ExtensionsOf(record, 0, kData)) {
            const std::vector<std::uint8_t> extension = ReadRecord(number);
            if (!extension.empty() && (ReadLe(extension, kBaseRecord, 8) & kRecordMask) == 0) {
                take(extension);
                SortRuns(mftRuns_);
            }
        }
        // No further than the runs map inside the volume: a damaged size must not send the pass
        // over records that are nowhere.
        std::uint64_t mapped = 0;
        for (const Run& run : mftRuns_) {
            if (run.lcn && *run.lcn + run.length <= clusterCount_ && run.vcn * clusterBytes_ == mapped) {
                mapped = (run.vcn + run.length) * clusterBytes_;
            }
        }
        mftBytes_ = std::min(mftBytes_, mapped);
        mftBytes_ -= mftBytes_ % recordBytes_;
        return !ended_;
    }

    // In order of VCN, the first of those that start at one VCN kept.
    static void SortRuns(Runs& runs)
    {
        std::vector<std::uint64_t> vcns;
        for (const Run& run : runs) {
            vcns.push_back(run.vcn);
        }
        Runs sorted;
        for (const std::size_t index : Order(vcns)) {
            if (sorted.empty() || sorted.back().vcn != runs[index].vcn) {
                sorted.push_back(runs[index]);
            }
        }
        runs = std::move(sorted);
    }

    // The extension records that the record's $ATTRIBUTE_LIST (resident or not) names for
    // attributes of `type`, each once, in order.
    std::vector<std::uint64_t> ExtensionsOf(std::span<const std::uint8_t> record, std::uint64_t number, std::uint64_t type)
    {
        std::vector<std::uint64_t> extensions;
        Attribute attribute;
        for (Attributes all(record); all.Next(attribute);) {
            if (attribute.type != kAttributeList) {
                continue;
            }
            std::vector<std::uint8_t> list(attribute.value.begin(), attribute.value.end());
            if (attribute.nonResident) {
                list.resize(static_cast<std::size_t>(std::min(attribute.dataSize, kMostAttributeList)));
                if (ReadStream(DecodeRuns(attribute.runs, attribute.startVcn), 0, list) != Outcome::Read) {
                    list.clear();
                }
            }
            ForEachListEntry(list, [&](std::uint64_t entryType, std::uint64_t extension) {
                if (entryType == type && extension != number) {
                    extensions.push_back(extension);
                }
            });
        }
        SortUnique(extensions);
        return extensions;
    }

    template <typename Visit> static void ForEachListEntry(std::span<const std::uint8_t> list, Visit&& visit)
    {
        for (std::size_t at = 0; at + kEntryMinimum <= list.size();) {
            const std::size_t length = ReadLe(list, at + kEntryLength, 2);
            if (length < kEntryMinimum || length > list.size() - at) {
                return;
            }
            visit(ReadLe(list, at + kEntryType, 4), ReadLe(list, at + kEntryRecord, 8) & kRecordMask);
            at += length;
        }
    }

    // The first asked stretch that ends after sector `first`.
    std::vector<Span>::const_iterator AskedFrom(std::uint64_t first) const
    {
        return std::upper_bound(asked_.begin(), asked_.end(), first, [](std::uint64_t f, const Span& s) { return f < s.end; });
    }

    bool AnyAsked(std::uint64_t first, std::uint64_t end) const
    {
        const auto span = AskedFrom(first);
        return span != asked_.end() && span->first < end;
    }

    // The file table from start to end, 1 MiB at a time; a piece that fails is read again a
    // record at a time, so that only the records really lost are unknown.
    bool ScanMft()
    {
        std::vector<std::uint8_t> piece(static_cast<std::size_t>(std::max(std::min(kPieceBytes, mftBytes_), recordBytes_)));
        const std::uint64_t records = mftBytes_ / recordBytes_;
        int shown = -1;
        for (std::uint64_t at = 0; at < mftBytes_ && !ended_; at += piece.size()) {
            const auto bytes = std::span(piece).first(static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), mftBytes_ - at)));
            const Outcome outcome = ReadStream(mftRuns_, at, bytes);
            const bool hot = AnyAskedIn(at, bytes.size());
            for (std::size_t in = 0; in < bytes.size() && !ended_; in += recordBytes_) {
                const auto record = bytes.subspan(in, recordBytes_);
                const std::uint64_t number = (at + in) / recordBytes_;
                if (outcome != Outcome::Read && ReadStream(mftRuns_, at + in, record) != Outcome::Read) {
                    Lost(number, false);
                } else if (!ApplyFixups(record)) {
                    if (ReadLe(record, 0, 4) != 0) {
                        Lost(number, true);
                    }
                } else {
                    TakeRecord(number, record, hot);
                }
            }
            const int percent = static_cast<int>((at + bytes.size()) / recordBytes_ * 100 / std::max<std::uint64_t>(records, 1));
            if (percent != shown && volume_.progress) {
                volume_.progress(percent);
                shown = percent;
            }
        }
        FlushLost();
        SortRuns(bitmapRuns_);
        return !ended_;
    }

    void Lost(std::uint64_t number, bool damaged)
    {
        if (lost_ && lost_->last + 1 == number && lost_->damaged == damaged) {
            lost_->last = number;
            return;
        }
        FlushLost();
        lost_ = RecordStretch{number, number, damaged};
    }

    void FlushLost()
    {
        if (!lost_) {
            return;
        }
        const bool one = lost_->first == lost_->last;
        std::wstring note = one ? L"MFT record " : L"MFT records ";
        note += GroupedNumber(lost_->first);
        if (!one) {
            note += L"\u2013";
            note += GroupedNumber(lost_->last);
        }
        note += lost_->damaged ? L" damaged" : L" unreadable";
        note += one ? L": its file is unknown" : L": the files there are unknown";
        notes_.push_back(std::move(note));
        lost_.reset();
    }

    // Whether any asked sector lies in this stretch of the file table, which most pieces of a
    // large table are not: then no record of the piece needs its place worked out.
    bool AnyAskedIn(std::uint64_t at, std::uint64_t length) const
    {
        bool any = false;
        for (std::uint64_t vcn = at / clusterBytes_; vcn * clusterBytes_ < at + length && !any;) {
            const Run* run = RunOf(mftRuns_, vcn);
            if (!run) {
                return false;
            }
            if (run->lcn) {
                const std::uint64_t first = (*run->lcn + vcn - run->vcn) * sectorsPerCluster_;
                any = AnyAsked(first, first + (run->vcn + run->length - vcn) * sectorsPerCluster_);
            }
            vcn = run->vcn + run->length;
        }
        return any;
    }

    void TakeRecord(std::uint64_t number, std::span<const std::uint8_t> record, bool hot)
    {
        if ((ReadLe(record, kRecordFlags, 2) & kInUse) == 0) {
            return;
        }
        const std::uint64_t base = ReadLe(record, kBaseRecord, 8) & kRecordMask;
        const std::uint64_t owner = base != 0 ? base : number;
        // The record's own place: its resident attributes live there.
        if (hot) {
            ClaimRecord(number, owner);
        }
        Attribute attribute;
        for (Attributes all(record); all.Next(attribute);) {
            if (!attribute.nonResident) {
                continue;
            }
            Runs& runs = scratchRuns_;
            DecodeRuns(attribute.runs, attribute.startVcn, runs);
            if (owner == kBitmapRecord && attribute.type == kData && attribute.name.empty()) {
                for (const Run& run : runs) {
                    bitmapRuns_.push_back(run);
                }
                bitmapBytes_ = attribute.startVcn == 0 ? attribute.dataSize : bitmapBytes_;
            }
            if (std::none_of(runs.begin(), runs.end(), [&](const Run& run) { return run.lcn && AnyAsked(*run.lcn * sectorsPerCluster_, (*run.lcn + run.length) * sectorsPerCluster_); })) {
                continue;
            }
            std::wstring suffix;
            if (attribute.type == kIndexAllocation || (attribute.type == kBitmapAttribute && !attribute.name.empty())) {
                suffix = L" (index)";
            } else if (attribute.type == kData && !attribute.name.empty()) {
                suffix = L":" + WideName(attribute.name);
            }
            const bool plain = attribute.type == kData && (attribute.flags & (kCompressedMask | kEncrypted)) == 0;
            for (const Run& run : runs) {
                if (run.lcn) {
                    ClaimRun(run, owner, suffix, plain ? std::optional(run.vcn * clusterBytes_) : std::nullopt);
                }
            }
        }
    }

    // Claims the asked sectors where record `number` lies, for the file `owner`: its resident
    // attributes live there. Its bytes are found through $MFT's runs, a cluster at a time.
    void ClaimRecord(std::uint64_t number, std::uint64_t owner)
    {
        const std::uint64_t sectorSize = volume_.sectorSize;
        const std::uint64_t at = number * recordBytes_;
        for (std::uint64_t done = 0; done < recordBytes_;) {
            const std::uint64_t vcn = (at + done) / clusterBytes_;
            const std::uint64_t inCluster = (at + done) % clusterBytes_;
            const std::uint64_t step = std::min(recordBytes_ - done, clusterBytes_ - inCluster);
            if (const Run* run = RunOf(mftRuns_, vcn); run && run->lcn) {
                const std::uint64_t byte = (*run->lcn + vcn - run->vcn) * clusterBytes_ + inCluster;
                AddClaim(byte / sectorSize, (byte + step + sectorSize - 1) / sectorSize, owner, {}, std::nullopt, true);
            }
            done += step;
        }
    }

    // Claims the asked sectors of one run of a stream of `owner`; `offset` is the stream's byte
    // at the run's start, when the file's bytes lie there as they are.
    void ClaimRun(const Run& run, std::uint64_t owner, const std::wstring& suffix, std::optional<std::uint64_t> offset)
    {
        const std::uint64_t lcnEnd = std::min(*run.lcn + run.length, clusterCount_);
        if (*run.lcn >= lcnEnd) {
            return;
        }
        AddClaim(*run.lcn * sectorsPerCluster_, lcnEnd * sectorsPerCluster_, owner, suffix, offset);
    }

    // Claims the asked sectors within [first, end) for `record`; `start` is the stream's byte at
    // sector `first`, when the file's bytes lie there as they are.
    void AddClaim(std::uint64_t first, std::uint64_t end, std::uint64_t record, const std::wstring& suffix,
                  std::optional<std::uint64_t> start, bool place = false)
    {
        for (auto span = AskedFrom(first); span != asked_.end() && span->first < end; ++span) {
            const std::uint64_t a = std::max(first, span->first);
            const std::uint64_t b = std::min(end, span->end);
            const std::optional<std::uint64_t> offset =
                start ? std::optional(*start + (a - first) * volume_.sectorSize) : std::nullopt;
            if (!claims_.empty() && claims_.back().record == record && claims_.back().end == a &&
                claims_.back().suffix == suffix && !claims_.back().offset && !offset && claims_.back().place == place) {
                claims_.back().end = b;
            } else {
                claims_.push_back({a, b, record, suffix, offset, place});
            }
        }
    }

    // The allocation bitmap's bits for the asked clusters only, a piece at a time: a cluster
    // whose bit is clear is free, whatever a record says.
    bool ReadBitmap()
    {
        if (bitmapRuns_.empty()) {
            notes_.push_back(L"$Bitmap unreadable: free space is not told apart");
            return !ended_;
        }
        bool unreadable = false;
        std::vector<std::uint8_t> bits;
        for (const Span& span : asked_) {
            const std::uint64_t firstCluster = span.first / sectorsPerCluster_;
            const std::uint64_t endCluster = std::min(clusterCount_, (span.end + sectorsPerCluster_ - 1) / sectorsPerCluster_);
            for (std::uint64_t cluster = firstCluster - firstCluster % 8; cluster < endCluster && !ended_;) {
                const std::uint64_t byte = cluster / 8;
                const std::uint64_t count = std::min<std::uint64_t>({kPieceBytes, (endCluster - cluster + 7) / 8, bitmapBytes_ - std::min(byte, bitmapBytes_)});
                bits.resize(static_cast<std::size_t>(count));
                if (count == 0) {
                    unreadable = true; // the bitmap ends before the volume does
                    break;
                }
                if (ReadStream(bitmapRuns_, byte, bits) != Outcome::Read) {
                    unreadable = unreadable || !ended_;
                    cluster += count * 8;
                    continue;
                }
                for (std::uint64_t c = cluster; c < cluster + count * 8 && c < endCluster; ++c) {
                    if (c >= firstCluster && (bits[static_cast<std::size_t>((c - cluster) / 8)] >> (c % 8) & 1) == 0) {
                        const std::uint64_t a = std::max(span.first, c * sectorsPerCluster_);
                        const std::uint64_t b = std::min(span.end, (c + 1) * sectorsPerCluster_);
                        if (!free_.empty() && free_.back().end == a) {
                            free_.back().end = b;
                        } else {
                            free_.push_back({a, b});
                        }
                    }
                }
                cluster += count * 8;
            }
        }
        if (unreadable) {
            notes_.push_back(L"$Bitmap partly unreadable: free space there is not told apart");
        }
        return !ended_;
    }

    // The record's place in the cache, added when it is not there yet.
    Known& KnownOf(std::uint64_t number)
    {
        auto at = std::lower_bound(known_.begin(), known_.end(), number,
                                   [](const Known& k, std::uint64_t n) { return k.number < n; });
        if (at == known_.end() || at->number != number) {
            at = known_.insert(at, Known{number, false, false, 0, 0, 0, false, 0});
        }
        return *at;
    }

    Known NameOf(std::uint64_t number)
    {
        if (const Known& known = KnownOf(number); known.named) {
            return known;
        }
        Name found;
        const std::vector<std::uint8_t> record = ReadRecord(number);
        if (!record.empty() && (ReadLe(record, kRecordFlags, 2) & kInUse) != 0 && (ReadLe(record, kBaseRecord, 8) & kRecordMask) == 0) {
            found.sequence = ReadLe(record, kSequence, 2);
            bool dos = true;
            auto take = [&](std::span<const std::uint8_t> from) {
                Attribute attribute;
                for (Attributes all(from); all.Next(attribute);) {
                    const auto value = attribute.value;
                    if (attribute.type != kFileName || attribute.nonResident || value.size() < kFileNameChars) {
                        continue;
                    }
                    const std::size_t length = 2 * std::size_t{value[kFileNameLength]};
                    const bool isDos = value[kNamespace] == kDosNamespace;
                    // The Win32 or POSIX name before the DOS 8.3 one.
                    if (kFileNameChars + length <= value.size() && (!found.known || (dos && !isDos))) {
                        found = {true, WideName(value.subspan(kFileNameChars, length)), ReadLe(value, kParent, 8), found.sequence};
                        dos = isDos;
                    }
                }
            };
            take(record);
            for (const std::uint64_t extension : found.known && !dos ? std::vector<std::uint64_t>{} : ExtensionsOf(record, number, kFileName)) {
                const std::vector<std::uint8_t> other = ReadRecord(extension);
                if (!other.empty() && (ReadLe(other, kBaseRecord, 8) & kRecordMask) == number) {
                    take(other);
                }
            }
        }
        texts_.push_back(std::move(found.name));
        Known& known = KnownOf(number);
        known.named = true;
        known.known = found.known;
        known.name = texts_.size() - 1;
        known.parent = found.parent;
        known.sequence = found.sequence;
        return known;
    }

    // From the root down; a chain that cannot be followed to the root begins with "…".
    const std::wstring& PathOf(std::uint64_t number)
    {
        if (const Known& known = KnownOf(number); known.pathed) {
            return texts_[known.path];
        }
        std::wstring path;
        std::vector<std::uint64_t> seen; // no longer than kMostDepth
        std::uint64_t sequence = 0;
        for (std::uint64_t at = number; at != kRootRecord && !ended_;) {
            const Known name = NameOf(at);
            if (!name.known || seen.size() >= kMostDepth || std::find(seen.begin(), seen.end(), at) != seen.end() ||
                (sequence != 0 && name.sequence != sequence)) {
                path.insert(0, seen.empty() ? L"(MFT record " + GroupedNumber(number) + L")" : L"\u2026");
                break;
            }
            seen.push_back(at);
            path.insert(0, texts_[name.name]).insert(0, 1, L'\\');
            at = name.parent & kRecordMask;
            sequence = name.parent >> 48;
        }
        // The names looked up on the way have moved the cache.
        texts_.push_back(path.empty() ? L"\\" : path);
        Known& known = KnownOf(number);
        known.pathed = true;
        known.path = texts_.size() - 1;
        return texts_.back();
    }

    // Every asked sector in pieces: free, claimed by one or more files, or unknown.
    std::vector<Owner> Assemble()
    {
        {
            std::vector<std::uint64_t> firsts;
            for (const Claim& claim : claims_) {
                firsts.push_back(claim.first);
            }
            std::vector<Claim> sorted;
            for (const std::size_t index : Order(firsts)) {
                sorted.push_back(std::move(claims_[index]));
            }
            claims_ = std::move(sorted);
        }
        const std::uint64_t dataEnd = clusterCount_ * sectorsPerCluster_;
        std::vector<Owner> owners;
        std::size_t nextClaim = 0;
        std::size_t nextFree = 0;
        std::vector<std::size_t> active;
        for (const Span& span : asked_) {
            std::vector<std::uint64_t> cuts{span.first, span.end, dataEnd, backupSector_, backupSector_ + 1};
            for (std::size_t c = nextClaim; c < claims_.size() && claims_[c].first < span.end; ++c) {
                cuts.push_back(claims_[c].first);
                cuts.push_back(claims_[c].end);
            }
            for (std::size_t f = nextFree; f < free_.size() && free_[f].first < span.end; ++f) {
                cuts.push_back(free_[f].first);
                cuts.push_back(free_[f].end);
            }
            SortUnique(cuts);
            // The pieces that reach the cut: made or grown in the stretch before it. Only the
            // last piece of a name can grow, and only when it reaches the cut.
            std::vector<std::size_t> reaching;
            for (std::size_t i = 0; i + 1 < cuts.size() && !ended_; ++i) {
                const std::uint64_t a = cuts[i];
                const std::uint64_t b = cuts[i + 1];
                if (a < span.first || b > span.end) {
                    continue;
                }
                while (nextClaim < claims_.size() && claims_[nextClaim].first <= a) {
                    active.push_back(nextClaim++);
                }
                std::erase_if(active, [&](std::size_t c) { return claims_[c].end <= a; });
                while (nextFree < free_.size() && free_[nextFree].end <= a) {
                    ++nextFree;
                }
                const bool isFree = nextFree < free_.size() && free_[nextFree].first <= a;
                const std::size_t group = owners.size(); // the pieces that start at `a`
                std::vector<std::size_t> grown;
                auto add = [&](std::wstring file, std::optional<std::uint64_t> offset) {
                    std::size_t last = owners.size();
                    for (std::size_t k = 0; k < reaching.size() + owners.size() - group; ++k) {
                        const std::size_t at = k < reaching.size() ? reaching[k] : group + k - reaching.size();
                        if (owners[at].file == file && (last == owners.size() || at > last)) {
                            last = at;
                        }
                    }
                    if (last != owners.size() && owners[last].first + owners[last].count == a &&
                        (!offset ? !owners[last].offset
                                 : owners[last].offset &&
                                       *owners[last].offset + owners[last].count * volume_.sectorSize == *offset)) {
                        owners[last].count += b - a;
                        grown.push_back(last);
                        return;
                    }
                    owners.push_back({a, b - a, std::move(file), offset});
                };
                bool named = true;
                if (a >= dataEnd) {
                    add(a == backupSector_ ? L"(boot sector)" : L"(free space)", std::nullopt);
                } else if (isFree) {
                    add(L"(free space)", std::nullopt);
                } else {
                    named = false;
                    for (const std::size_t c : active) {
                        const Claim& claim = claims_[c];
                        // A record's place names its file only where nothing else of that file
                        // does, and only a file with a name: the rest is $MFT's, which is named.
                        if (claim.place && (!NameOf(claim.record).known ||
                                            std::any_of(active.begin(), active.end(), [&](std::size_t d) {
                                                return !claims_[d].place && claims_[d].record == claim.record &&
                                                       claims_[d].suffix.empty();
                                            }))) {
                            continue;
                        }
                        add(PathOf(claim.record) + claim.suffix,
                            claim.offset ? std::optional(*claim.offset + (a - claim.first) * volume_.sectorSize) : std::nullopt);
                        named = true;
                    }
                }
                if (!named) {
                    add(L"(unknown)", std::nullopt);
                }
                // The pieces come in order of `first`; those that start together are put in
                // order of their names (pieces of one name as they came). They are few, so each
                // moves down to its place.
                for (std::size_t k = group + 1; k < owners.size(); ++k) {
                    for (std::size_t at = k; at > group && owners[at].file < owners[at - 1].file; --at) {
                        std::swap(owners[at], owners[at - 1]);
                    }
                }
                reaching = std::move(grown);
                for (std::size_t k = group; k < owners.size(); ++k) {
                    reaching.push_back(k);
                }
            }
        }
        owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
        return owners;
    }

    const Volume& volume_;
    std::vector<Span> asked_;
    std::uint64_t clusterBytes_ = 0;
    std::uint64_t sectorsPerCluster_ = 0;
    std::uint64_t recordBytes_ = 0;
    std::uint64_t clusterCount_ = 0;
    std::uint64_t backupSector_ = 0;
    std::uint64_t mftLcn_ = 0;
    std::uint64_t mirrorLcn_ = 0;
    Runs mftRuns_;
    std::uint64_t mftBytes_ = 0;
    Runs bitmapRuns_;
    Runs scratchRuns_;
    std::uint64_t bitmapBytes_ = 0;
    std::vector<Claim> claims_;
    std::vector<Span> free_;
    std::optional<RecordStretch> lost_; // the one not yet in the notes
    std::vector<Known> known_; // in order of number
    std::vector<std::wstring> texts_; // the names and paths that known_ points to
    std::vector<std::wstring> notes_;
    bool ended_ = false;
};

} // namespace

Map FindNtfsOwners(const Volume& volume, std::span<const SectorRange> ranges)
{
    return NtfsReader(volume, ranges).Find();
}

} // namespace FileOwners
