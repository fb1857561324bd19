// The console program over the demo's drives, run as a program of its own, against the texts
// the window program makes of the same drives: this test program holds the demo's drives too,
// and asks the window's text functions.
#include "diskinfo/Assessment.h"
#include "disktest/DiskTest.h"
#include "disktest/SurfaceScan.h"
#include "main/CommandLine.h"
#include "report/DetailsText.h"
#include "report/FileText.h"
#include "report/ResultText.h"
#include "report/ScriptText.h"
#include "text/Utf8.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct CliRun {
    std::string out;
    std::string err;
    DWORD status = 0;
};

std::string ReadAll(const std::wstring& path)
{
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

HANDLE Inheritable(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
}

std::wstring TempPath(const wchar_t* name)
{
    std::array<wchar_t, MAX_PATH> folder{};
    GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
    return folder.data() + std::wstring(name);
}

// The demo's variables: the drives to keep, the surfaces' file, the drive that answers SMART once.
struct Demo {
    const wchar_t* drives = nullptr;
    const wchar_t* surfaces = nullptr;
    const wchar_t* smartOnce = nullptr;
};

// The demo console program with `arguments` over the drives `demo` names.
CliRun RunCli(const std::wstring& arguments, Demo demo = {})
{
    const std::wstring out = TempPath(L"ostrevane-cli-test.out");
    const std::wstring err = TempPath(L"ostrevane-cli-test.err");
    STARTUPINFOW start{};
    start.cb = sizeof(start);
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = Inheritable(out);
    start.hStdError = Inheritable(err);
    std::wstring line = L"\"" OSTREVANE_CLI_DEMO L"\" " + arguments;
    SetEnvironmentVariableW(L"OSTREVANE_DEMO_DRIVES", demo.drives);
    SetEnvironmentVariableW(L"OSTREVANE_DEMO_SURFACES", demo.surfaces);
    SetEnvironmentVariableW(L"OSTREVANE_DEMO_SMART_ONCE", demo.smartOnce);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process);
    SetEnvironmentVariableW(L"OSTREVANE_DEMO_DRIVES", nullptr);
    SetEnvironmentVariableW(L"OSTREVANE_DEMO_SURFACES", nullptr);
    SetEnvironmentVariableW(L"OSTREVANE_DEMO_SMART_ONCE", nullptr);
    CloseHandle(start.hStdOutput);
    CloseHandle(start.hStdError);
    CliRun run;
    EXPECT_NE(started, FALSE) << GetLastError();
    if (started != FALSE) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &run.status);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    run.out = ReadAll(out);
    run.err = ReadAll(err);
    return run;
}

DriveDetails DetailsOf(std::int32_t drive)
{
    DriveDetails details;
    EXPECT_TRUE(DiskManager::GetDriveDetails(drive, details));
    return details;
}

std::wstring HeadingValue(const DriveDetails& details, std::wstring_view label)
{
    for (const DetailsText::Field& field : DetailsText::Heading(details)) {
        if (field.label == label) {
            return field.value;
        }
    }
    return L"-";
}

TEST(ConsoleProgram, ListIsTheWindowsCopyWithEachDrivesVerdictBusAndSource)
{
    // Each line of the window's copy, its line end taken off, and three columns more.
    const std::vector<DriveInfo> drives = DiskManager::EnumerateDrives();
    const std::wstring copy = DetailsText::ListCopyText(drives);
    ASSERT_EQ(drives.size(), 10u);
    std::wstring expected;
    std::size_t line = 0;
    for (std::size_t row = 0; row <= drives.size(); ++row) {
        const std::size_t end = copy.find(L"\r\n", line);
        expected += copy.substr(line, end - line);
        if (row == 0) {
            expected += L"\tAssessment\tBus\tSource\r\n";
        } else {
            const DriveDetails details = DetailsOf(drives[row - 1].index);
            expected += L"\t" + std::wstring(Assessment::VerdictText(Assessment::Of(details).verdict)) + L"\t" +
                        HeadingValue(details, L"Bus Type") + L"\t" + HeadingValue(details, L"SMART Data") + L"\r\n";
        }
        line = end + 2;
    }
    const CliRun run = RunCli(L"list");
    EXPECT_EQ(run.out, Utf8(expected));
    EXPECT_EQ(run.err, "");
    // Two drives failing (one predicts it), four to watch (the RAID array's member among them).
    EXPECT_EQ(run.status, DWORD{ScriptText::kFailing | ScriptText::kCaution});
}

TEST(ConsoleProgram, ExitStatusOfGoodCautionAndFailingDrives)
{
    struct Case {
        const wchar_t* drives;
        DWORD status;
        const wchar_t* smartOnce = nullptr;
    };
    for (const Case& c : {Case{L"2,3,5", 0}, Case{L"2,4,7", ScriptText::kCaution}, Case{L"1,3", ScriptText::kFailing},
                          Case{L"", 0}, Case{L"0", ScriptText::kFailing, L"0"}}) {
        SCOPED_TRACE(c.drives);
        const CliRun run = RunCli(L"list --json", {c.drives, nullptr, c.smartOnce});
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out.front(), '[');
        EXPECT_EQ(RunCli(L"details all", {c.drives, nullptr, c.smartOnce}).status, c.status);
    }
}

TEST(ConsoleProgram, DetailsAreTheWindowsCopy)
{
    std::wstring all;
    for (std::int32_t drive = 0; drive < 10; ++drive) {
        all += (all.empty() ? L"" : L"\r\n") + DetailsText::CopyText(DetailsOf(drive));
    }
    const CliRun one = RunCli(L"details 5");
    EXPECT_EQ(one.out, Utf8(DetailsText::CopyText(DetailsOf(5))));
    EXPECT_EQ(one.status, 0u);
    const CliRun every = RunCli(L"details all");
    EXPECT_EQ(every.out, Utf8(all));
    EXPECT_EQ(every.status, DWORD{ScriptText::kFailing | ScriptText::kCaution});
}

// The scan in this program over the same drive, as the window runs it.
ScanRecord ScanHere(std::int32_t drive)
{
    EXPECT_TRUE(SurfaceScan::Start(drive, nullptr, 0));
    while (SurfaceScan::IsRunning()) {
        Sleep(10);
    }
    return SurfaceScan::Snapshot();
}

// What lies on `ranges` of the drive, as the window's Find Files names it.
std::wstring FilesHere(std::int32_t drive, const std::vector<ScanRecord::Range>& ranges)
{
    EXPECT_TRUE(SurfaceScan::StartFindingFiles(drive, nullptr, 0, ranges));
    while (SurfaceScan::IsRunning()) {
        Sleep(10);
    }
    return FileText::Lines(SurfaceScan::FilesSnapshot());
}

// The failing drive's files on its unreadable ranges: make-demo-volumes.sh copied each file
// with ntfscp and placed its partition by the file's first cluster as istat gives it, the
// range's first 64 KiB piece 128 KiB into the file (into the second file's last 64 KiB, the
// free space after it next); the last range lies past every partition.
const std::string kFilesHeader = "LBA\tSectors\tPartition\tVolume\tFile System\tFile\tOffset\r\n";
const std::string kLaterFiles = "204799872\t128\t2\t-\tNTFS\t\\Family photos 2019.zip\t458752\r\n"
                                "204800000\t128\t2\t-\tNTFS\t(free space)\t-\r\n"
                                "350000000\t384\t3\t-\tNTFS\t\\Accounts 2024.xlsx\t131072\r\n"
                                "976773120\t48\t-\t-\t-\t(no partition)\t-\r\n";

TEST(ConsoleProgram, ScanAndReadTestSayWhatTheWindowSays)
{
    struct Case {
        std::int32_t drive;
        DWORD status;
    };
    // A good drive read to its end, and the failing one with its unreadable ranges.
    for (const Case& c : {Case{3, 0}, Case{1, ScriptText::kFailing | ScriptText::kReadFailed}}) {
        const DriveDetails details = DetailsOf(c.drive);
        const ScanRecord record = ScanHere(c.drive);
        const CliRun run = RunCli(L"scan " + std::to_wstring(c.drive));
        EXPECT_EQ(run.out, Utf8(record.CopyText({c.drive, details.info.model, details.info.serialNumber})));
        EXPECT_EQ(run.status, c.status);
        // Progress lines as the window shows them, the last its status line at the end.
        const std::string last = Utf8(record.StatusLine() + L"\r\n");
        ASSERT_TRUE(run.err.ends_with(last)) << run.err;
        for (std::size_t line = 0; line < run.err.size() - last.size(); line = run.err.find("\r\n", line) + 2) {
            EXPECT_EQ(run.err.compare(line, 8, "Scanned "), 0) << run.err.substr(line);
        }
    }
    // Its files, on the ranges the scan found, as the window's Find Files names them; a named
    // file adds nothing to the exit status.
    const DriveDetails drive1 = DetailsOf(1);
    const ScanRecord scanned = ScanHere(1);
    const CliRun files = RunCli(L"scan 1 --files");
    EXPECT_EQ(files.out, Utf8(scanned.CopyText({1, drive1.info.model, drive1.info.serialNumber}) + L"\r\n" +
                              FilesHere(1, scanned.UnreadableRanges())));
    EXPECT_EQ(files.status, DWORD{ScriptText::kFailing | ScriptText::kReadFailed});
    EXPECT_TRUE(files.out.ends_with(kFilesHeader + "60999936\t128\t1\tD:\tNTFS\t\\Thesis final.docx\t131072\r\n" +
                                    kLaterFiles))
        << files.out.substr(files.out.rfind("LBA\t"));
    const CliRun named = RunCli(L"files 1 976773120+48 350000000+384 204799872+256 61000013 0");
    EXPECT_EQ(named.out, kFilesHeader + "0\t1\t-\t-\t-\t(partition table)\t-\r\n" +
                             "61000013\t1\t1\tD:\tNTFS\t\\Thesis final.docx\t170496\r\n" + kLaterFiles);
    EXPECT_EQ(named.status, DWORD{ScriptText::kFailing});
    const CliRun json = RunCli(L"files 1 61000013 976773120+48 --json");
    EXPECT_NE(json.out.find("\"File\": \"\\\\Thesis final.docx\",\r\n      \"Offset\": 170496\r\n"), std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"Partition\": null,\r\n      \"Volume\": null,"), std::string::npos) << json.out;
    EXPECT_TRUE(json.out.ends_with("\"Result\": \"Finished\"\r\n}\r\n")) << json.out;

    // The failing drive's logged LBAs checked again, as the scan window's check does.
    const DriveDetails failing = DetailsOf(1);
    const ScanRecord check = SurfaceScan::CheckLoggedLbas(1, ScanRecord::LoggedLbasOf(failing));
    const CliRun logged = RunCli(L"scan 1 --logged");
    EXPECT_EQ(logged.out, Utf8(check.CopyText({1, failing.info.model, failing.info.serialNumber})));
    EXPECT_NE(logged.out.find("Logged LBA\t61000013\t"), std::string::npos) << logged.out;
    EXPECT_EQ(logged.status, DWORD{ScriptText::kFailing | ScriptText::kReadFailed});
    const CliRun loggedFiles = RunCli(L"scan 1 --logged --files --json");
    EXPECT_NE(loggedFiles.out.find("\"File\": \"\\\\Accounts 2024.xlsx\""), std::string::npos) << loggedFiles.out;
    EXPECT_NE(loggedFiles.out.find("[\r\n      \"Logged LBA\",\r\n      \"61000013\","), std::string::npos)
        << loggedFiles.out;
    EXPECT_EQ(loggedFiles.status, DWORD{ScriptText::kFailing | ScriptText::kReadFailed});

    const CliRun test = RunCli(L"readtest 2");
    EXPECT_EQ(test.out, Utf8(L"Speed\t" + ResultText::Figure(DiskTest::RunSequentialReadTest(2)) + L"\r\n"));
    EXPECT_EQ(test.out, "Speed\t520.0\r\n");
    EXPECT_EQ(test.status, 0u);

    // Drive 2 unreadable at its start, drive 3 gone a little way in.
    const std::wstring surfaces = TempPath(L"ostrevane-cli-test.tsv");
    std::ofstream(std::filesystem::path(surfaces)) << "drive\tkind\tfirst_lba\tsectors\tvalue\n"
                                                      "2\tunreadable\t0\t8\t\n3\tgone\t100000\t\t\n";
    const CliRun failed = RunCli(L"readtest 2", {nullptr, surfaces.c_str()});
    EXPECT_EQ(failed.out, Utf8(ResultText::kTestFailed + std::wstring(L"\r\n")));
    EXPECT_EQ(failed.status, DWORD{ScriptText::kReadFailed});
    const CliRun gone = RunCli(L"scan 3", {nullptr, surfaces.c_str()});
    EXPECT_NE(gone.out.find("Result\tThe drive stopped answering at LBA 98304 (error 1167)\r\n"), std::string::npos);
    EXPECT_EQ(gone.status, DWORD{ScriptText::kReadFailed});
}

TEST(ConsoleProgram, UsageErrorsAndDrivesThatDoNotOpen)
{
    for (const wchar_t* arguments : {L"lsit", L"details", L"readtest 3 --json", L"readtest 32", L"list 1", L"--verbose",
                                     L"files 1", L"files 1 12+0", L"files 1 -5", L"details 1 --files"}) {
        SCOPED_TRACE(arguments);
        const CliRun run = RunCli(arguments);
        EXPECT_EQ(run.status, DWORD{ScriptText::kUsageError});
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.starts_with("ostrevane-cli: ")) << run.err;
        EXPECT_TRUE(run.err.ends_with(Utf8(CommandLine::UsageLine() + L"\r\n"))) << run.err;
    }
    for (const wchar_t* arguments : {L"details 12", L"scan 12", L"readtest 12", L"files 12 0"}) {
        SCOPED_TRACE(arguments);
        const CliRun run = RunCli(arguments);
        EXPECT_EQ(run.status, DWORD{ScriptText::kNotOpened});
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, Utf8(L"Drive 12: " + std::wstring(ResultText::kDriveNotOpened) + L"\r\n"));
    }
    const CliRun help = RunCli(L"--help");
    EXPECT_EQ(help.out, Utf8(CommandLine::Help()));
    EXPECT_EQ(help.status, 0u);
}

} // namespace
