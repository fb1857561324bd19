#pragma once

#include "diskinfo/NvmeBridge.h"

#include <windows.h>
#include <cfgmgr32.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Scripted stand-ins for the kernel behind the Kernel seam: fake drives by drive number, a
// fake clock, and a log of every call with its arguments. The fake enforces what Windows
// enforces (a request needs the access its code names) and fails the running test on
// anything that could write to a drive, and on a SCSI pass-through through a handle that
// Windows would refuse it on. It may be called from the surface scan's thread and the
// window's at once: every call holds one lock, except while a read hangs and while the window
// waits for the scan's thread.

using FakeBytes = std::vector<std::uint8_t>;
// An answer to one request code, chosen from the request's input bytes; nullopt fails it.
using FakeAnswer = std::function<std::optional<FakeBytes>(const FakeBytes& input)>;

struct FakeRead {
    DWORD bytes = 4u * 1024u * 1024u; // what the read reports as read
    bool fails = false;
    DWORD error = ERROR_CRC;          // the error of a read that fails
    LONGLONG ticks = 0;               // how far the fake clock moves during the read
    DWORD realMilliseconds = 0;       // real time the read takes, unseen by the fake clock
    std::function<void()> during;     // runs inside the read: a look at the caller meanwhile
};

// How each part of a drive reads, for the surface scan and the read test: at a zone's rate,
// slower where a slow range is touched, failing with ERROR_CRC where an unreadable one is, and
// not at all once the drive is gone. Reads take their offset from the OVERLAPPED, or without
// one start where the handle's last read ended, and move the fake clock by their modelled time;
// they are not logged unless `logReads`, since a whole drive is millions.
struct FakeSurface {
    struct Zone {
        std::uint64_t firstLba = 0;
        std::uint64_t sectors = 0; // 0: to the end of the drive
        double mibPerSecond = 100;
    };
    struct Slow {
        std::uint64_t firstLba = 0;
        std::uint64_t sectors = 0;
        double extraMilliseconds = 0;
    };
    struct Extent {
        std::uint64_t firstLba = 0;
        std::uint64_t sectors = 0;
    };
    static constexpr double kDefaultRate = 100;

    std::uint32_t sectorSize = 512;
    std::vector<Zone> zones;
    std::vector<Slow> slow;
    std::vector<Extent> unreadable;
    std::vector<Extent> timeouts; // a read touching one fails as one the drive did not answer in time
    std::optional<std::uint64_t> goneFromLba; // every read touching it or beyond, and all after, fail
    DWORD goneError = ERROR_DEVICE_NOT_CONNECTED; // with this error
    unsigned goneAfterFailedReads = 0;        // when not 0, the drive drops off after so many failed reads
    std::optional<std::uint64_t> hangAtLba;   // a read touching it waits until it is cancelled
    // A read touching it waits, whatever is cancelled, until the test calls ReleaseStuckRead;
    // it fails then, as a drive's retries of a sector end.
    std::optional<std::uint64_t> stuckAtLba;
    bool capacityHangs = false;               // the length request waits until it is cancelled
    bool logReads = false;

    // The surfaces of a drive-surfaces file (columns drive, kind, first_lba, sectors, value), by
    // drive number; a drive with no row is absent. Rows that cannot be read fail the test.
    static std::map<int, FakeSurface> Load(const std::filesystem::path& file);
    // The file named by OSTREVANE_DEMO_SURFACES (a Unix path taken as Wine sees it, the Unix root
    // being drive Z:), or `builtIn` when that is not set.
    static std::filesystem::path DemoFile(const char* builtIn);
};

struct FakeDrive {
    bool opens = true;
    bool opensReadWrite = true;       // whether a GENERIC_READ | GENERIC_WRITE open succeeds
    std::map<DWORD, FakeAnswer> answers; // a code not here fails with ERROR_INVALID_FUNCTION
    std::vector<FakeRead> reads;      // one per ReadFile, in order; then `laterReads`
    FakeRead laterReads;
    std::optional<FakeSurface> surface; // when set, reads follow it instead of `reads`
    bool gone = false;                  // set by a read that reached the surface's gone point
    unsigned failedReads = 0;           // of the surface, for its goneAfterFailedReads
    // What the drive holds, by byte offset: a read of up to kContentReadLimit bytes that
    // succeeds returns these bytes where it covers them and zeros elsewhere. Longer reads (the
    // scan's blocks, millions over a whole drive) leave the buffer as it was unless they cover
    // some of them, as a file system's reader's do.
    std::map<std::uint64_t, FakeBytes> contents;
    static constexpr DWORD kContentReadLimit = 64 * 1024;

    // Answers `code` with `bytes` whatever the input.
    FakeDrive& Answer(DWORD code, FakeBytes bytes);
    // Reads follow `surface`, and the drive tells its sector size.
    FakeDrive& WithSurface(FakeSurface surface);

    // Where the disk hangs in the device tree: the device IDs above it, nearest first (a USB
    // drive's bridge among them as "USB\VID_xxxx&PID_yyyy\..."), and the family whose vendor
    // commands that bridge takes. A vendor command of any other family fails the test.
    std::vector<std::wstring> parents;
    std::optional<NvmeBridge::Family> bridge;
};

// A volume as Windows lists it, by its name "\\?\Volume{...}\": the disk extents it answers
// (none, as an empty card reader, fails the request) and its letters and folders. Its file
// system answers nothing: an open of a path on a volume, which would mount it, fails the test.
struct FakeVolume {
    std::wstring name;
    bool opens = true;
    std::optional<FakeBytes> extents;
    std::vector<std::wstring> paths;
};

// A PCI device: its hardware IDs, its node's status (a driver loaded and started) and problem.
struct FakePciDevice {
    std::wstring hardwareIds; // as the registry holds them: each ending in a NUL, and one NUL more
    ULONG status = DN_DRIVER_LOADED | DN_STARTED;
    ULONG problem = 0;
};

struct KernelCall {
    enum class Kind {
        Open, Control, Read, Close, Alloc, Free, Convert, Counter, Frequency, Tree, Mutex, Thread, Cancel, Volume, ErrorMode
    };
    Kind kind{};
    HANDLE handle = nullptr;          // the handle returned (Open) or used (Control, Read, Close)
    bool succeeded = false;
    // Open
    std::wstring path;
    DWORD access = 0, share = 0, disposition = 0, flags = 0;
    bool securityNull = false, templateNull = false;
    // Control
    DWORD code = 0;
    FakeBytes input;
    DWORD outSize = 0;
    bool outZeroed = false;           // the output buffer was all zeros when handed over
    bool overlappedNull = false;
    // Read
    DWORD bytesToRead = 0;
    std::uint64_t offset = 0;         // from the OVERLAPPED, when there is one
    // Alloc / Free / Read buffer
    void* address = nullptr;
    SIZE_T size = 0;
    DWORD type = 0, protect = 0;
    // Volume: the function's name and the volume it names, in `path`; ErrorMode: the mode set
    std::string function;
    UINT errorMode = 0;
    // Convert
    UINT codePage = 0;
    DWORD convertFlags = 0;
    int inputLength = 0;
    // Tree and Mutex: the function's name, in `path`
};

class FakeKernel {
public:
    FakeKernel() = delete;

    // No drives, an empty log, the clock at 0 ticking at `kFrequency`, allocations succeeding, and
    // the program back to sending vendor requests where they belong (not standard requests only).
    static void Reset();
    static FakeDrive& Drive(int driveNumber);
    // A SCSI port "\\.\ScsiN:" that a RAID driver's drives hang behind, opened for reading and
    // writing: it answers IOCTL_SCSI_MINIPORT from `answers`, and nothing else. A CSMI request
    // other than GET_DRIVER_INFO before the driver named itself as one the program reads, and any
    // miniport request whose header, sizes or command is not one the program may send, fails the
    // test.
    static FakeDrive& Port(int portNumber);
    static void RemoveDrive(int driveNumber);

    static constexpr LONGLONG kFrequency = 10'000'000;
    static void SetFrequency(LONGLONG frequency);
    static void FailAllocations(bool fail);

    static const std::vector<KernelCall>& Calls();
    static std::vector<KernelCall> CallsOf(KernelCall::Kind kind);
    // Handles opened and not closed yet, threads' among them.
    static int OpenHandles();
    // Whether a surface read (or the length request) waits for a cancel now.
    static bool Hanging();
    // Whether a read waits at the surface's stuck point now; and ends it.
    static bool Stuck();
    static void ReleaseStuckRead();
    // How many surface reads there have been, logged or not.
    static std::uint64_t SurfaceReads();
    // DWORD access the handle was opened with.
    static DWORD AccessOf(HANDLE handle);

    // Volumes in the order FindFirstVolumeW and FindNextVolumeW list them.
    static FakeVolume& AddVolume(const std::wstring& name);
    static UINT ErrorMode();
    static void AddPciDevice(FakePciDevice device); // in the device tree's order
};
