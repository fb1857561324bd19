#include "disktest/ScanRecord.h"

#include "diskinfo/Assessment.h"
#include "diskinfo/DriveLogs.h"
#include "text/BoundedText.h"
#include "text/Decimal.h"

#include <algorithm>
#include <span>

namespace {

constexpr double kBytesPerGiB = 1073741824.0;
constexpr std::wstring_view kNewLine = L"\r\n";

// The index of the equal part of `parts` that `offset` falls in, of a drive of `capacity` bytes.
std::size_t PartOf(std::uint64_t offset, std::uint64_t capacity, std::size_t parts)
{
    if (capacity == 0) {
        return 0;
    }
    const auto part = static_cast<std::size_t>(static_cast<double>(offset) / static_cast<double>(capacity) *
                                               static_cast<double>(parts));
    return std::min(part, parts - 1);
}

void AddLine(std::wstring& text, std::wstring_view label, std::wstring_view value)
{
    text.append(label).append(L"\t").append(value).append(kNewLine);
}

void AddBytes(std::wstring& text, std::wstring_view label, std::uint64_t bytes)
{
    AddLine(text, label, Decimal(bytes) + L" bytes");
}

// `lba`, named by `source`, into the list kept in LBA order: a source more where the LBA is there.
void AddLogged(std::vector<ScanRecord::LoggedLba>& logged, std::uint64_t lba, const wchar_t* format, unsigned number)
{
    const std::wstring source = BoundedText::Formatted(format, number);
    const auto at = std::lower_bound(logged.begin(), logged.end(), lba,
                                     [](const ScanRecord::LoggedLba& entry, std::uint64_t value) { return entry.lba < value; });
    if (at != logged.end() && at->lba == lba) {
        at->source.append(L", ").append(source);
    } else {
        logged.insert(at, {lba, source});
    }
}

// An LBA of which the log kept only the low bits names no sector that could be re-read.
void AddSelfTests(std::vector<ScanRecord::LoggedLba>& logged, const std::vector<DriveLogs::SelfTest>& tests)
{
    for (std::size_t age = 0; age < tests.size(); ++age) {
        if (tests[age].failed && tests[age].failingLba && tests[age].lbaBits == 0) {
            AddLogged(logged, *tests[age].failingLba, L"Self-test #%u", static_cast<unsigned>(age + 1));
        }
    }
}

} // namespace

std::vector<ScanRecord::LoggedLba> ScanRecord::LoggedLbasOf(const DriveDetails& details)
{
    std::vector<LoggedLba> logged;
    AddSelfTests(logged, Assessment::AtaSelfTestsOf(details));
    if (details.nvmeSelfTests.size() == DriveLogs::kNvmeSelfTestLogSize) {
        AddSelfTests(logged, DriveLogs::NvmeSelfTests(std::span<const std::uint8_t, DriveLogs::kNvmeSelfTestLogSize>(
                                                          details.nvmeSelfTests.data(), DriveLogs::kNvmeSelfTestLogSize))
                                 .results);
    }
    if (const auto errors = Assessment::AtaErrorsOf(details)) {
        for (const DriveLogs::AtaError& error : errors->entries) {
            if (error.weighed && error.lbaBits == 0) {
                AddLogged(logged, error.lba, L"Error #%u", error.number);
            }
        }
    }
    return logged;
}

ScanRecord::ScanRecord(std::uint64_t capacityBytes, std::uint32_t sectorSize, std::vector<LoggedLba> logged)
    : m_state(State::Running), m_capacity(capacityBytes), m_toRead(capacityBytes),
      m_sectorSize(sectorSize == 0 ? 512 : sectorSize), m_checksLogged(!logged.empty()), m_logged(std::move(logged))
{
    if (m_checksLogged) {
        m_toRead = 0;
        for (const std::uint64_t block : LoggedBlocks()) {
            m_toRead += std::min<std::uint64_t>(kBlockSize, m_capacity - block);
        }
    }
}

ScanRecord ScanRecord::Checking()
{
    ScanRecord record;
    record.m_state = State::Checking;
    return record;
}

std::vector<std::uint64_t> ScanRecord::LoggedBlocks() const
{
    std::vector<std::uint64_t> blocks;
    for (const LoggedLba& logged : m_logged) {
        const std::uint64_t block = logged.lba * m_sectorSize / kBlockSize * kBlockSize;
        if (IsOnDrive(logged) && (blocks.empty() || blocks.back() != block)) {
            blocks.push_back(block);
        }
    }
    return blocks;
}

// A log's LBA is only the drive's word: one past the end is never read.
bool ScanRecord::IsOnDrive(const LoggedLba& logged) const
{
    return logged.lba < m_capacity / m_sectorSize;
}

std::wstring ScanRecord::NowText(const LoggedLba& logged)
{
    switch (logged.now) {
    case LoggedLba::Now::Readable:
        return BoundedText::Formatted(L"Readable in %.0f ms", logged.milliseconds);
    case LoggedLba::Now::Unreadable:
        return L"Unreadable";
    case LoggedLba::Now::NotRead:
        break;
    }
    return L"Not read";
}

double ScanRecord::Progress() const
{
    return m_toRead == 0 ? (IsRunning() ? 0.0 : 1.0)
                         : std::min(1.0, static_cast<double>(m_scanned) / static_cast<double>(m_toRead));
}

ScanRecord::Class ScanRecord::ClassOf(double milliseconds)
{
    if (milliseconds <= 50.0) {
        return Class::UpTo50;
    }
    if (milliseconds <= 150.0) {
        return Class::UpTo150;
    }
    return milliseconds <= 500.0 ? Class::UpTo500 : Class::Over500;
}

bool ScanRecord::AddBlock(const Read& block, std::span<const Read> pieces)
{
    if (m_state != State::Running || block.length == 0) {
        return m_state == State::Running;
    }
    bool pieceFailed = false;
    for (const Read& piece : pieces) {
        if (!piece.succeeded) {
            pieceFailed = true;
            AddRange(piece.offset, piece.length, piece.error);
        }
    }
    if (!block.succeeded && pieces.empty()) {
        AddRange(block.offset, block.length, block.error);
    }
    const bool unreadable = !block.succeeded && (pieceFailed || pieces.empty());
    const Class blockClass = unreadable ? Class::Unreadable : ClassOf(block.milliseconds);
    ++m_counts[static_cast<std::size_t>(blockClass) - 1];
    m_scanned += block.length;

    const std::size_t lastCell = CellOf(block.offset + block.length - 1);
    for (std::size_t cell = CellOf(block.offset); cell <= lastCell; ++cell) {
        m_map[cell] = std::max(m_map[cell], blockClass);
    }
    PointSum& point = m_points[PartOf(block.offset, m_capacity, kPlotPoints)];
    ++point.blocks;
    if (block.succeeded && block.milliseconds > 0) {
        ++point.readable;
        point.rates += block.length / kBytesPerMiB / (block.milliseconds / 1000.0);
    }

    for (LoggedLba& logged : m_logged) {
        const std::uint64_t offset = logged.lba * m_sectorSize;
        if (!IsOnDrive(logged) || offset < block.offset || offset - block.offset >= block.length) {
            continue;
        }
        const Read* read = &block;
        for (const Read& piece : pieces) {
            read = offset >= piece.offset && offset - piece.offset < piece.length ? &piece : read;
        }
        logged.now = read->succeeded ? LoggedLba::Now::Readable : LoggedLba::Now::Unreadable;
        logged.milliseconds = read->milliseconds;
    }

    m_timeoutRow = !block.succeeded && block.error == kErrorTimeout ? m_timeoutRow + 1 : 0;
    if (m_timeoutRow >= kTimeoutRowLimit) {
        End(State::StoppedByItself, BoundedText::Formatted(L"The drive stopped answering (timeouts) at LBA %llu",
                                                           static_cast<unsigned long long>(block.offset / m_sectorSize)));
        return false;
    }
    m_unreadableRow = unreadable ? m_unreadableRow + 1 : 0;
    if (m_unreadableRow >= kUnreadableRowLimit) {
        End(State::StoppedByItself,
            BoundedText::Formatted(L"Stopped after %u unreadable blocks in a row at LBA %llu", kUnreadableRowLimit,
                      static_cast<unsigned long long>(block.offset / m_sectorSize)));
        return false;
    }
    return true;
}

void ScanRecord::End(State state, std::wstring reason)
{
    if (IsRunning()) {
        m_state = state;
        m_reason = std::move(reason);
    }
}

void ScanRecord::DriveGone(std::uint64_t offset, std::uint32_t error)
{
    End(State::StoppedByItself, BoundedText::Formatted(L"The drive stopped answering at LBA %llu (error %u)",
                                          static_cast<unsigned long long>(offset / m_sectorSize), error));
}

void ScanRecord::AnotherDrive(std::int32_t number)
{
    m_anotherDrive = IsRunning();
    End(State::StoppedByItself,
        BoundedText::Formatted(L"Drive %d is now a different drive. Refresh the list and open the scan again.", number));
}

std::uint64_t ScanRecord::Count(Class scanned) const
{
    return scanned == Class::Unscanned ? 0 : m_counts[static_cast<std::size_t>(scanned) - 1];
}

ScanRecord::Class ScanRecord::MapCell(std::size_t cell, std::size_t cells) const
{
    if (cells == 0 || cell >= cells) {
        return Class::Unscanned;
    }
    // Each display cell covers its share of the stored cells, at least one of them.
    const std::size_t first = cell * kMapCells / cells;
    const std::size_t end = std::max(first + 1, (cell + 1) * kMapCells / cells);
    return *std::max_element(m_map.begin() + static_cast<std::ptrdiff_t>(first),
                             m_map.begin() + static_cast<std::ptrdiff_t>(end));
}

std::vector<ScanRecord::PlotPoint> ScanRecord::PlotPoints() const
{
    std::vector<PlotPoint> points;
    for (std::size_t index = 0; index < m_points.size(); ++index) {
        const PointSum& sum = m_points[index];
        if (sum.blocks == 0) {
            continue;
        }
        const double position = static_cast<double>(m_capacity) * static_cast<double>(index) / kPlotPoints;
        points.push_back({position / kBytesPerGiB, sum.readable == 0 ? 0.0 : sum.rates / sum.readable});
    }
    return points;
}

std::wstring ScanRecord::ResultText() const
{
    switch (m_state) {
    case State::NotStarted:
        return L"Not started";
    case State::Checking:
        return L"Checking the drive\u2026";
    case State::Running:
        return L"Running";
    case State::Finished:
        return L"Finished";
    case State::Stopped:
        return L"Stopped";
    case State::StoppedByItself:
        break;
    }
    return m_reason;
}

std::wstring ScanRecord::StatusLine() const
{
    if (m_state == State::Checking) {
        return ResultText();
    }
    const double capacity = static_cast<double>(m_capacity);
    const double percent = m_capacity == 0 ? 0.0 : 100.0 * static_cast<double>(m_scanned) / capacity;
    const double average = AverageMiBPerSecond();
    std::uint64_t blocks = 0;
    for (const std::uint64_t count : m_counts) {
        blocks += count;
    }
    std::wstring line =
        (m_checksLogged ? BoundedText::Formatted(L"Read %llu of %llu blocks that hold logged LBAs   elapsed ",
                                                 static_cast<unsigned long long>(blocks),
                                                 static_cast<unsigned long long>(LoggedBlocks().size()))
                        : BoundedText::Formatted(L"Scanned %.1f of %.1f GB (%.1f %%)   %.0f MB/s   elapsed ",
                                                 static_cast<double>(m_scanned) / kBytesPerGiB, capacity / kBytesPerGiB,
                                                 percent, average)) +
        Duration(m_elapsedSeconds);
    if (m_state != State::Running) {
        // The result first: a narrow window cuts the figures, not the reason.
        return ResultText() + L"   " + line;
    }
    if (average > 0 && !m_checksLogged) {
        const double left = static_cast<double>(m_capacity - std::min(m_scanned, m_capacity)) / kBytesPerMiB / average;
        line += L"   left " + Duration(left);
    }
    return line;
}

std::wstring ScanRecord::StoppingText(double seconds)
{
    const auto whole = static_cast<unsigned long long>(std::max(0.0, std::min(seconds, 3.6e9)));
    return BoundedText::Formatted(L"Stopping: waiting for the drive to answer the current read (%llu:%02llu)",
                                  whole / 60, whole % 60);
}

std::wstring ScanRecord::CopyText(const Drive& drive) const
{
    std::wstring text;
    AddLine(text, L"Drive", BoundedText::Formatted(L"%d", drive.number));
    AddLine(text, L"Model", drive.model);
    AddLine(text, L"Serial Number", drive.serialNumber);
    AddBytes(text, L"Capacity", m_capacity);
    AddBytes(text, L"Sector Size", m_sectorSize);
    AddLine(text, L"Result", ResultText());
    AddBytes(text, L"Scanned", m_scanned);
    AddLine(text, L"Time", Duration(m_elapsedSeconds));
    AddLine(text, L"Average", BoundedText::Formatted(L"%.1f", AverageMiBPerSecond()));
    constexpr std::array<std::wstring_view, kScannedClasses> kLabels{
        L"Blocks up to 50 ms", L"Blocks up to 150 ms", L"Blocks up to 500 ms", L"Blocks over 500 ms",
        L"Unreadable blocks"};
    for (std::size_t index = 0; index < kLabels.size(); ++index) {
        AddLine(text, kLabels[index], Decimal(m_counts[index]));
    }
    for (const Range& range : m_ranges) {
        AddLine(text, L"Unreadable",
                Decimal(range.firstLba) + L"\t" + Decimal(range.sectors) + L"\t" + ErrorText(range.error));
    }
    for (const LoggedLba& logged : m_logged) {
        AddLine(text, L"Logged LBA", Decimal(logged.lba) + L"\t" + logged.source + L"\t" + NowText(logged));
    }
    for (const PlotPoint& point : PlotPoints()) {
        AddLine(text, L"Rate", BoundedText::Formatted(L"%.1f\t%.1f", point.positionGiB, point.mibPerSecond));
    }
    return text;
}

ScanRecord::Scale ScanRecord::PlotScale(double highest)
{
    // Round tops, each with the steps that keep its grid figures round too.
    constexpr std::array<Scale, 8> kTops{{{1, 5}, {1.5, 3}, {2, 4}, {3, 3}, {4, 4}, {5, 5}, {6, 3}, {8, 4}}};
    if (!(highest > 0) || highest > 1e300) {
        return {10, 5};
    }
    // The power of ten at or below the highest point, found without the math library.
    double power = 1;
    while (power * 10 <= highest) {
        power *= 10;
    }
    while (power > highest) {
        power /= 10;
    }
    for (;;) {
        for (const Scale& top : kTops) {
            if (top.top * power > highest) {
                return {top.top * power, top.steps};
            }
        }
        power *= 10;
    }
}

std::wstring ScanRecord::AxisLabel(std::uint64_t capacityBytes, int quarter)
{
    const double bytes = static_cast<double>(capacityBytes) * quarter / 4;
    return static_cast<double>(capacityBytes) < kBytesPerGiB ? BoundedText::Formatted(L"%.0f MB", bytes / kBytesPerMiB)
                                        : BoundedText::Formatted(L"%.0f GB", bytes / kBytesPerGiB);
}

std::wstring ScanRecord::ErrorText(std::uint32_t error)
{
    return BoundedText::Formatted(L"error %u", error);
}

std::wstring ScanRecord::Duration(double seconds)
{
    const auto whole = static_cast<unsigned long long>(std::max(0.0, std::min(seconds, 3.6e9)));
    return BoundedText::Formatted(L"%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
}

std::size_t ScanRecord::CellOf(std::uint64_t offset) const
{
    return PartOf(offset, m_capacity, kMapCells);
}

void ScanRecord::AddRange(std::uint64_t offset, std::uint32_t length, std::uint32_t error)
{
    const Range range{offset / m_sectorSize, (length + m_sectorSize - 1) / m_sectorSize, error};
    if (!m_ranges.empty() && m_ranges.back().firstLba + m_ranges.back().sectors == range.firstLba &&
        m_ranges.back().error == error) {
        m_ranges.back().sectors += range.sectors;
    } else {
        m_ranges.push_back(range);
    }
}

double ScanRecord::AverageMiBPerSecond() const
{
    return m_elapsedSeconds > 0 ? static_cast<double>(m_scanned) / kBytesPerMiB / m_elapsedSeconds : 0.0;
}
