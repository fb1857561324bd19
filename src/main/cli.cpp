// The console program: the inventory, the details, the surface scan and the read test of the
// window program, for scripts and task sequences, with an exit status that says what it found.
#include "diskinfo/DiskInfo.h"
#include "disktest/DiskTest.h"
#include "disktest/SurfaceScan.h"
#include "main/CommandLine.h"
#include "main/Startup.h"
#include "report/ControllerText.h"
#include "report/PromText.h"
#include "report/FileText.h"
#include "report/ResultText.h"
#include "report/ScriptText.h"
#include "text/Decimal.h"
#include "text/Utf8.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using CommandLine::Command;

constexpr std::wstring_view kNewLine = L"\r\n";

// Standard output or error, written as UTF-8 whatever it leads to: a console, a file, a pipe.
class Stream {
public:
    explicit Stream(DWORD which) : m_handle(GetStdHandle(which))
    {
        DWORD mode = 0;
        m_console = m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE && GetConsoleMode(m_handle, &mode) != FALSE;
    }
    bool IsConsole() const { return m_console; }

    void Write(std::wstring_view text) const
    {
        const std::string bytes = Utf8(text);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
            DWORD written = 0;
            if (WriteFile(m_handle, bytes.data() + done, chunk, &written, nullptr) == FALSE || written == 0) {
                return; // a closed pipe: nobody reads on
            }
            done += written;
        }
    }

private:
    HANDLE m_handle;
    bool m_console = false;
};

// The console's own output code page while the program has it show UTF-8, else 0. The
// console is shared with the shell that started the program, so every way out gives it back:
// the run's end, a console event that ends the program (Ctrl+C in `list`, a closed window),
// std::terminate.
std::atomic<UINT> g_consoleCodePage{0};

void RestoreConsoleCodePage() noexcept
{
    if (const UINT previous = g_consoleCodePage.exchange(0); previous != 0) {
        SetConsoleOutputCP(previous);
    }
}

// The scan's stop request while a scan runs, else null. The console's handler runs on a thread
// of its own: it sets the event and the scan takes it away under the same lock, so the handler
// never sets an event that has been closed.
SRWLOCK g_stopLock = SRWLOCK_INIT;
HANDLE g_stopAsked = nullptr;

// Ctrl+C and Ctrl+Break during a scan stop it as the window's Stop does, on the main thread;
// any other console event, and these two at any other time, end the program as they always do.
BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        AcquireSRWLockExclusive(&g_stopLock);
        const bool stopping = g_stopAsked != nullptr && SetEvent(g_stopAsked) != FALSE;
        ReleaseSRWLockExclusive(&g_stopLock);
        if (stopping) {
            return TRUE;
        }
    }
    RestoreConsoleCodePage();
    return FALSE;
}

// While it lives, a console shows the program's bytes as UTF-8, and the console's events go
// through OnConsoleControl first.
class ConsoleRun {
public:
    explicit ConsoleRun(bool console)
    {
        if (console) {
            g_consoleCodePage = GetConsoleOutputCP();
            SetConsoleOutputCP(CP_UTF8);
            std::set_terminate([] {
                RestoreConsoleCodePage();
                std::abort();
            });
        }
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;
    ~ConsoleRun()
    {
        SetConsoleCtrlHandler(OnConsoleControl, FALSE);
        RestoreConsoleCodePage();
    }
};

// While it lives, Ctrl+C and Ctrl+Break set `stopAsked` instead of ending the program.
class StopOnCtrlC {
public:
    explicit StopOnCtrlC(HANDLE stopAsked)
    {
        Exchange(stopAsked);
        // A program started in a process group of its own ignores Ctrl+C until it asks for it.
        SetConsoleCtrlHandler(nullptr, FALSE);
    }
    StopOnCtrlC(const StopOnCtrlC&) = delete;
    StopOnCtrlC& operator=(const StopOnCtrlC&) = delete;
    ~StopOnCtrlC() { Exchange(nullptr); }

private:
    static void Exchange(HANDLE stopAsked)
    {
        AcquireSRWLockExclusive(&g_stopLock);
        g_stopAsked = stopAsked;
        ReleaseSRWLockExclusive(&g_stopLock);
    }
};

struct Streams {
    Stream out{STD_OUTPUT_HANDLE};
    Stream err{STD_ERROR_HANDLE};
};

int NotOpened(const Streams& streams, std::int32_t drive)
{
    streams.err.Write(L"Drive " + SignedDecimal(drive) + L": " + ResultText::kDriveNotOpened + std::wstring(kNewLine));
    return ScriptText::kNotOpened;
}

// A storage controller without its driver hides its drives from the whole list: the script is
// told why, as the window tells it below the list.
int HiddenDrives(const Streams& streams)
{
    const std::wstring hint = ControllerText::NoDriver(PciStorage::WithoutDriver());
    if (hint.empty()) {
        return 0;
    }
    streams.err.Write(hint + std::wstring(kNewLine));
    return ScriptText::kRequestFailed;
}

// The row and the exit bits of each drive come from the same probe: a drive that answers a
// second one otherwise (a bridge that gave up, a drive that went) would show one health and
// count another.
int List(const Streams& streams, const Command& command)
{
    const auto started = std::chrono::steady_clock::now();
    std::vector<ScriptText::ListedDrive> drives;
    int bits = HiddenDrives(streams);
    for (std::int32_t number = 0; number < DiskManager::kMaxDrives; ++number) {
        if (DriveDetails details; DiskManager::GetDriveDetails(number, details)) {
            bits |= ScriptText::HealthBits(details);
            drives.push_back({details.info, std::move(details)});
        }
    }
    if (command.prom) {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        streams.out.Write(PromText::List(drives, took.count()));
    } else {
        streams.out.Write(command.json ? ScriptText::ListJson(drives) : ScriptText::ListText(drives));
    }
    return bits;
}

int Details(const Streams& streams, const Command& command)
{
    std::vector<DriveDetails> drives;
    for (std::int32_t number = command.drive.value_or(0);
         number < (command.drive ? *command.drive + 1 : DiskManager::kMaxDrives); ++number) {
        if (DriveDetails details; DiskManager::GetDriveDetails(number, details)) {
            drives.push_back(std::move(details));
        } else if (command.drive) {
            return NotOpened(streams, number);
        }
    }
    int bits = command.drive ? 0 : HiddenDrives(streams);
    for (const DriveDetails& details : drives) {
        bits |= ScriptText::HealthBits(details);
    }
    if (!command.json) {
        streams.out.Write(ScriptText::DetailsCopies(drives));
    } else {
        streams.out.Write(command.drive ? ScriptText::DetailsJson(drives.front()) : ScriptText::DetailsJson(drives));
    }
    return bits;
}

int ReadTest(const Streams& streams, std::int32_t drive)
{
    DriveDetails details;
    if (!DiskManager::GetDriveDetails(drive, details)) {
        return NotOpened(streams, drive);
    }
    std::uint32_t error = 0;
    const double speed = DiskTest::RunSequentialReadTest(drive, &error);
    streams.out.Write(speed < 0 ? ResultText::ForFailure(error, SurfaceScan::MeansDriveGone(error)) + std::wstring(kNewLine)
                                : ScriptText::ReadTestLine(speed));
    return ScriptText::HealthBits(details) | (speed < 0 ? ScriptText::kReadFailed : 0);
}

// The scan's progress on standard error: on a console one line redrawn in place, elsewhere a
// line for each whole percent, which a log file keeps readably.
class Progress {
public:
    explicit Progress(const Stream& err) : m_err(err) {}

    void Show(const ScanRecord& record)
    {
        const std::wstring line = record.StatusLine();
        if (m_err.IsConsole()) {
            m_err.Write(Redrawn(line));
            return;
        }
        const std::uint64_t capacity = record.CapacityBytes();
        const int percent = capacity == 0 ? 0 : static_cast<int>(record.ScannedBytes() * 100 / capacity);
        if (percent > m_percent) {
            m_percent = percent;
            m_err.Write(line + std::wstring(kNewLine));
        }
    }

    // A line of its own whenever it changes: the finding of files' progress.
    void ShowText(const std::wstring& line)
    {
        if (m_err.IsConsole()) {
            m_err.Write(Redrawn(line));
        } else if (line != m_text) {
            m_text = line;
            m_err.Write(line + std::wstring(kNewLine));
        }
    }

    void End(const std::wstring& line)
    {
        m_err.Write((m_err.IsConsole() ? Redrawn(line) : line) + std::wstring(kNewLine));
        m_text.clear();
    }

private:
    // The line over the one shown before, and blanks over what is left of a longer one.
    std::wstring Redrawn(const std::wstring& line)
    {
        std::wstring text = L"\r" + line + std::wstring(m_shown > line.size() ? m_shown - line.size() : 0, L' ');
        m_shown = line.size();
        return text;
    }

    const Stream& m_err;
    std::size_t m_shown = 0;
    int m_percent = -1;
    std::wstring m_text;
};

struct CloseHandleDeleter {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
using Event = std::unique_ptr<std::remove_pointer_t<HANDLE>, CloseHandleDeleter>;

// Shows the running scan's progress (`look`) until it has ended by itself or been stopped. A
// stop whose cancel landed between two reads finds the next one hanging: it is asked again at
// every look until the scan has ended, or for at most kStopLimit when the drive does not let go
// of a read.
void WaitForScan(HANDLE stopAsked, const std::function<void()>& look)
{
    constexpr DWORD kLookInterval = 100;
    constexpr ULONGLONG kStopLimit = 10'000;
    ULONGLONG stopAskedAt = 0;
    for (;;) {
        // Once set, the event would end every wait at once: the looks go on at their interval.
        if (stopAskedAt != 0) {
            Sleep(kLookInterval);
        } else if (WaitForSingleObject(stopAsked, kLookInterval) == WAIT_OBJECT_0) {
            stopAskedAt = GetTickCount64();
        }
        if (!SurfaceScan::IsRunning()) {
            return;
        }
        if (stopAskedAt != 0) {
            if (GetTickCount64() - stopAskedAt > kStopLimit) {
                return;
            }
            SurfaceScan::Stop();
        }
        look();
    }
}

// Waits for the scan's thread, which Ctrl+C stops as the window's Stop does.
void WaitStoppably(HANDLE stopAsked, const std::function<void()>& look)
{
    const StopOnCtrlC stopOnCtrlC(stopAsked);
    WaitForScan(stopAsked, look);
}

// What lies on `ranges` of the drive, its progress on standard error; stopped by Ctrl+C. Still
// running when the drive holds a read past the limit: what was found is taken, as Stopped.
DriveFiles::Found FindFiles(std::int32_t drive, std::vector<ScanRecord::Range> ranges, Progress& progress)
{
    const Event stopAsked(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopAsked || !SurfaceScan::StartFindingFiles(drive, nullptr, 0, std::move(ranges))) {
        DriveFiles::Found failed;
        failed.state = DriveFiles::State::StoppedByItself;
        failed.reason = L"The finding of files could not be started";
        return failed;
    }
    WaitStoppably(stopAsked.get(), [&progress] {
        if (const DriveFiles::Found found = SurfaceScan::FilesSnapshot(); found.IsRunning()) {
            progress.ShowText(FileText::ProgressText(found));
        }
    });
    DriveFiles::Found found = SurfaceScan::FilesSnapshot();
    if (found.IsRunning()) {
        found.state = DriveFiles::State::Stopped;
    }
    progress.End(FileText::ResultText(found));
    return found;
}

// A finding of files that stopped by itself says so in the exit status as a scan does.
int FilesBits(const DriveFiles::Found& found)
{
    return found.state == DriveFiles::State::StoppedByItself ? ScriptText::kReadFailed : 0;
}

int Files(const Streams& streams, const Command& command)
{
    const std::int32_t drive = command.drive.value_or(0);
    DriveDetails details;
    if (SurfaceScan::ReadGeometry(drive).outcome != SurfaceScan::GeometryAnswer::Outcome::Read ||
        !DiskManager::GetDriveDetails(drive, details)) {
        return NotOpened(streams, drive);
    }
    std::vector<ScanRecord::Range> ranges;
    for (const Command::Range& range : command.ranges) {
        ranges.push_back({range.firstLba, range.sectors});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const ScanRecord::Range& a, const ScanRecord::Range& b) { return a.firstLba < b.firstLba; });
    Progress progress(streams.err);
    const DriveFiles::Found found = FindFiles(drive, std::move(ranges), progress);
    streams.out.Write(command.json ? ScriptText::FilesJson(drive, found) : FileText::Lines(found));
    return ScriptText::HealthBits(details) | FilesBits(found);
}

int Scan(const Streams& streams, const Command& command)
{
    const std::int32_t drive = command.drive.value_or(0);
    DriveDetails details;
    const SurfaceScan::GeometryAnswer answer = SurfaceScan::ReadGeometry(drive);
    if (answer.outcome == SurfaceScan::GeometryAnswer::Outcome::NoCapacity) {
        streams.err.Write(ResultText::NoCapacity(drive, answer.error) + std::wstring(kNewLine));
        return ScriptText::kNotOpened;
    }
    if (answer.outcome != SurfaceScan::GeometryAnswer::Outcome::Read || !DiskManager::GetDriveDetails(drive, details)) {
        return NotOpened(streams, drive);
    }
    // No window takes the scan's progress messages: the console program looks at the scan ten
    // times a second instead.
    std::vector<ScanRecord::LoggedLba> lbas;
    if (command.logged) {
        lbas = ScanRecord::LoggedLbasOf(details);
        if (lbas.empty()) {
            streams.err.Write(L"The drive's logs name no failing LBAs: there is nothing to check.\r\n");
            return ScriptText::HealthBits(details);
        }
    }
    const Event stopAsked(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopAsked || !SurfaceScan::Start(drive, nullptr, 0, std::move(lbas))) {
        streams.err.Write(L"The surface scan could not be started.\r\n");
        return ScriptText::HealthBits(details) | ScriptText::kReadFailed;
    }
    Progress progress(streams.err);
    WaitStoppably(stopAsked.get(), [&progress] {
        // An ended scan's thread may still be freeing what it held: its end is shown once, after.
        if (const ScanRecord record = SurfaceScan::Snapshot(); record.IsRunning()) {
            progress.Show(record);
        }
    });

    // Still running here only when the drive holds a read past the limit: what was found is
    // printed, as Stopped.
    ScanRecord record = SurfaceScan::Snapshot();
    if (record.IsRunning()) {
        record.Stop();
    }
    progress.End(record.StatusLine());
    const ScanRecord::Drive named{drive, details.info.model, details.info.serialNumber};
    // The files only of a scan that ended by itself, on a drive that still answers.
    const bool findsFiles = command.files && !record.UnreadableRanges().empty() && !SurfaceScan::IsRunning() &&
                            record.GetState() != ScanRecord::State::Stopped;
    DriveFiles::Found found;
    if (findsFiles) {
        found = FindFiles(drive, record.UnreadableRanges(), progress);
    }
    if (command.json) {
        streams.out.Write(ScriptText::ScanJson(record, named, findsFiles ? &found : nullptr));
    } else {
        streams.out.Write(record.CopyText(named) + (findsFiles ? std::wstring(kNewLine) + FileText::Lines(found) : L""));
    }
    return ScriptText::HealthBits(details) | ScriptText::ScanBits(record) | FilesBits(found);
}

int Run(const Streams& streams, const Command& command)
{
    switch (command.kind) {
    case Command::Kind::Help:
        streams.out.Write(CommandLine::Help());
        return 0;
    case Command::Kind::List:
        return List(streams, command);
    case Command::Kind::Details:
        return Details(streams, command);
    case Command::Kind::Scan:
        return Scan(streams, command);
    case Command::Kind::ReadTest:
        return ReadTest(streams, command.drive.value_or(0));
    case Command::Kind::Files:
        return Files(streams, command);
    }
    return ScriptText::kUsageError;
}

int RunCommandLine(const Streams& streams, std::span<char*> argv)
{
    const ConsoleRun console(streams.out.IsConsole() || streams.err.IsConsole());
    const std::vector<std::string_view> arguments(argv.begin() + std::min<std::ptrdiff_t>(std::ssize(argv), 1), argv.end());
    const CommandLine::Parsed parsed = CommandLine::Parse(arguments);
    if (!parsed.command) {
        streams.err.Write(L"ostrevane-cli: " + parsed.error + std::wstring(kNewLine) + CommandLine::UsageLine() +
                          std::wstring(kNewLine));
        return ScriptText::kUsageError;
    }
    DiskManager::SetStandardRequestsOnly(parsed.command->standard);
    return Run(streams, *parsed.command);
}

} // namespace

int main(int argc, char** argv)
{
    const Streams streams;
    if (!Startup::TakeDllsFromSystemFolderOnly()) {
        streams.err.Write(L"Windows did not let the program take its DLLs from the system folder alone "
                          L"(SetDefaultDllDirectories failed), so it does not start.\r\n");
        return ScriptText::kNotOpened;
    }
    const int status = RunCommandLine(streams, std::span<char*>(argv, static_cast<std::size_t>(std::max(argc, 0))));
    // A scan's thread that a drive still holds in a read would meet the program's statics torn
    // down under it: the process ends here, without running them.
    if (SurfaceScan::IsRunning()) {
        ExitProcess(static_cast<UINT>(status));
    }
    return status;
}
