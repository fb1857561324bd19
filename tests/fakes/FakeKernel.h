#pragma once

#include "diskinfo/NvmeBridge.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Scripted stand-ins for the kernel behind the Kernel seam: fake drives by drive number, a
// fake clock, and a log of every call with its arguments. The fake enforces what Windows
// enforces (a request needs the access its code names) and fails the running test on
// anything that could write to a drive.

using FakeBytes = std::vector<std::uint8_t>;
// An answer to one request code, chosen from the request's input bytes; nullopt fails it.
using FakeAnswer = std::function<std::optional<FakeBytes>(const FakeBytes& input)>;

struct FakeRead {
    DWORD bytes = 4u * 1024u * 1024u; // what the read reports as read
    bool fails = false;
    LONGLONG ticks = 0;               // how far the fake clock moves during the read
    DWORD realMilliseconds = 0;       // real time the read takes, unseen by the fake clock
    std::function<void()> during;     // runs inside the read: a look at the caller meanwhile
};

struct FakeDrive {
    bool opens = true;
    bool opensReadWrite = true;       // whether a GENERIC_READ | GENERIC_WRITE open succeeds
    std::map<DWORD, FakeAnswer> answers; // a code not here fails with ERROR_INVALID_FUNCTION
    std::vector<FakeRead> reads;      // one per ReadFile, in order; then `laterReads`
    FakeRead laterReads;

    // Answers `code` with `bytes` whatever the input.
    FakeDrive& Answer(DWORD code, FakeBytes bytes);

    // Where the disk hangs in the device tree: the device IDs above it, nearest first (a USB
    // drive's bridge among them as "USB\VID_xxxx&PID_yyyy\..."), and the family whose vendor
    // commands that bridge takes. A vendor command of any other family fails the test.
    std::vector<std::wstring> parents;
    std::optional<NvmeBridge::Family> bridge;
};

struct KernelCall {
    enum class Kind { Open, Control, Read, Close, Alloc, Free, Convert, Counter, Frequency, Tree, Mutex };
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
    // Alloc / Free / Read buffer
    void* address = nullptr;
    SIZE_T size = 0;
    DWORD type = 0, protect = 0;
    // Convert
    UINT codePage = 0;
    DWORD convertFlags = 0;
    int inputLength = 0;
    // Tree and Mutex: the function's name, in `path`
};

class FakeKernel {
public:
    FakeKernel() = delete;

    // No drives, an empty log, the clock at 0 ticking at `kFrequency`, allocations succeeding.
    static void Reset();
    static FakeDrive& Drive(int driveNumber);
    static void RemoveDrive(int driveNumber);

    static constexpr LONGLONG kFrequency = 10'000'000;
    static void SetFrequency(LONGLONG frequency);
    static void FailAllocations(bool fail);

    static const std::vector<KernelCall>& Calls();
    static std::vector<KernelCall> CallsOf(KernelCall::Kind kind);
    // Handles opened and not closed yet.
    static int OpenHandles();
    // DWORD access the handle was opened with.
    static DWORD AccessOf(HANDLE handle);
};
