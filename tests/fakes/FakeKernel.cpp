#include "FakeKernel.h"

#include "kernel/Kernel.h"

#include <gtest/gtest.h>

#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cwctype>
#include <set>
#include <utility>

namespace {

struct OpenHandle {
    int drive = -1;
    DWORD access = 0;
    bool closed = false;
    std::size_t readsDone = 0;
    DWORD flags = 0;
    int volume = -1; // the index of the volume opened, or -1 for a drive
};

struct State {
    std::map<int, FakeDrive> drives;
    std::vector<KernelCall> calls;
    std::map<HANDLE, OpenHandle> handles;
    std::set<void*> allocations;
    std::uintptr_t nextHandle = 0x1000;
    LONGLONG clock = 0;
    LONGLONG frequency = FakeKernel::kFrequency;
    bool failAllocations = false;
    std::vector<FakeVolume> volumes;
    std::map<HANDLE, std::size_t> volumeSearches; // the next volume each search lists
    UINT errorMode = 0;
};

State& S()
{
    static State state;
    return state;
}

// Every request code the program may send. Anything else is a fault: the codes that change
// a drive (writes, format, partitioning) all lie outside, and SMART commands and SCSI
// pass-through commands are checked apart.
const std::set<DWORD>& AllowedCodes()
{
    static const std::set<DWORD> codes{IOCTL_DISK_GET_LENGTH_INFO,    IOCTL_STORAGE_QUERY_PROPERTY,
                                       IOCTL_STORAGE_PREDICT_FAILURE, SMART_GET_VERSION,
                                       SMART_RCV_DRIVE_DATA,          IOCTL_SCSI_PASS_THROUGH,
                                       IOCTL_DISK_GET_DRIVE_LAYOUT_EX, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS};
    return codes;
}

// The requests that need the read-write handle, and the only ones allowed on it.
bool NeedsReadWrite(DWORD code)
{
    return code == SMART_RCV_DRIVE_DATA || code == IOCTL_SCSI_PASS_THROUGH;
}

// A SMART command may only ever read: SMART READ DATA or SMART READ THRESHOLDS, in a whole
// 33-byte SENDCMDINPARAMS with the SMART signature. Every other SMART feature (enabling,
// disabling, saving attributes, running self-tests, writing logs) changes the drive.
bool IsReadOnlySmartCommand(const FakeBytes& input)
{
    return input.size() == sizeof(SENDCMDINPARAMS) && input[10] == 0xB0 && (input[4] == 0xD0 || input[4] == 0xD1) &&
           input[7] == 0x4F && input[8] == 0xC2;
}

// A SCSI pass-through may only ever read a SMART page: data in, and ATA PASS-THROUGH (16 or
// 12) of SMART READ DATA or SMART READ THRESHOLDS, byte for byte, with its sense and data areas
// inside the buffer as Windows demands. Any other command block could reach the drive's
// media or settings.
bool IsReadOnlyPassThrough(const FakeBytes& input, DWORD outSize)
{
    using Cdb = std::array<std::uint8_t, sizeof(SCSI_PASS_THROUGH::Cdb)>;
    static const Cdb kAllowed[] = {
        {0x85, 0x08, 0x0E, 0x00, 0xD0, 0x00, 0x01, 0x00, 0x00, 0x00, 0x4F, 0x00, 0xC2, 0xA0, 0xB0, 0x00},
        {0x85, 0x08, 0x0E, 0x00, 0xD1, 0x00, 0x01, 0x00, 0x00, 0x00, 0x4F, 0x00, 0xC2, 0xA0, 0xB0, 0x00},
        {0xA1, 0x08, 0x0E, 0xD0, 0x01, 0x00, 0x4F, 0xC2, 0xA0, 0xB0, 0x00, 0x00},
        {0xA1, 0x08, 0x0E, 0xD1, 0x01, 0x00, 0x4F, 0xC2, 0xA0, 0xB0, 0x00, 0x00},
    };
    SCSI_PASS_THROUGH request{};
    if (input.size() < sizeof(request)) {
        return false;
    }
    std::memcpy(&request, input.data(), sizeof(request));
    Cdb cdb{};
    std::memcpy(cdb.data(), request.Cdb, cdb.size());
    const std::size_t cdbLength = cdb[0] == 0x85 ? 16 : 12;
    const bool allowed = std::find(std::begin(kAllowed), std::end(kAllowed), cdb) != std::end(kAllowed);
    const auto inside = [outSize](std::uint64_t offset, std::uint64_t length) {
        return length <= outSize && offset <= outSize - length;
    };
    return allowed && request.CdbLength == cdbLength && request.Length == sizeof(request) &&
           request.DataIn == SCSI_IOCTL_DATA_IN && inside(request.DataBufferOffset, request.DataTransferLength) &&
           inside(request.SenseInfoOffset, request.SenseInfoLength);
}

constexpr wchar_t kPathPrefix[] = L"\\\\.\\PhysicalDrive";

// The drive number of a path of the exact form "\\.\PhysicalDriveN", or -1.
int ParseDrivePath(const std::wstring& path)
{
    const std::wstring prefix(kPathPrefix);
    if (path.rfind(prefix, 0) != 0 || path.size() == prefix.size() || path.size() > prefix.size() + 3) {
        return -1;
    }
    int number = 0;
    for (std::size_t i = prefix.size(); i < path.size(); ++i) {
        if (!std::iswdigit(path[i])) {
            return -1;
        }
        number = number * 10 + (path[i] - L'0');
    }
    if (path.size() > prefix.size() + 1 && path[prefix.size()] == L'0') {
        return -1; // leading zeros name no device
    }
    return number;
}

OpenHandle* Find(HANDLE handle)
{
    auto it = S().handles.find(handle);
    if (it == S().handles.end() || it->second.closed) {
        ADD_FAILURE() << "call on a handle that is not open: " << handle;
        return nullptr;
    }
    return &it->second;
}

KernelCall& Log(KernelCall::Kind kind)
{
    KernelCall call;
    call.kind = kind;
    S().calls.push_back(call);
    return S().calls.back();
}

constexpr wchar_t kVolumePrefix[] = L"\\\\?\\Volume{";

// The scripted volume of that name, logging the call; null (and the error set) when there is none.
FakeVolume* NamedVolume(const char* function, LPCWSTR name)
{
    KernelCall& call = Log(KernelCall::Kind::Volume);
    call.function = function;
    call.path = name != nullptr ? name : L"";
    const auto it = std::find_if(S().volumes.begin(), S().volumes.end(),
                                 [&call](const FakeVolume& volume) { return volume.name == call.path; });
    if (it == S().volumes.end()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    call.succeeded = true;
    return &*it;
}

// Copies `text` and its NUL into a caller's buffer of `capacity` characters, when it fits.
bool CopyOut(const std::wstring& text, LPWSTR buffer, DWORD capacity)
{
    if (buffer == nullptr || text.size() >= capacity) {
        ::SetLastError(ERROR_MORE_DATA);
        return false;
    }
    std::copy(text.c_str(), text.c_str() + text.size() + 1, buffer);
    return true;
}

// A volume, opened by its name without the trailing backslash, with no access at all:
// the program asks only for its extents.
HANDLE OpenVolume(KernelCall& call, DWORD desiredAccess, DWORD shareMode)
{
    if (desiredAccess != 0) {
        ADD_FAILURE() << "a volume opened with access 0x" << std::hex << desiredAccess << ": only 0 is allowed";
    }
    if (shareMode != (FILE_SHARE_READ | FILE_SHARE_WRITE)) {
        ADD_FAILURE() << "a volume opened with share mode " << shareMode;
    }
    const auto it = std::find_if(S().volumes.begin(), S().volumes.end(),
                                 [&call](const FakeVolume& volume) { return volume.name == call.path + L"\\"; });
    if (it == S().volumes.end() || !it->opens) {
        ::SetLastError(it == S().volumes.end() ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(S().nextHandle);
    S().nextHandle += 4;
    OpenHandle open;
    open.access = desiredAccess;
    open.volume = static_cast<int>(it - S().volumes.begin());
    S().handles[handle] = open;
    call.handle = handle;
    call.succeeded = true;
    return handle;
}

} // namespace

FakeDrive& FakeDrive::Answer(DWORD code, FakeBytes bytes)
{
    answers[code] = [bytes = std::move(bytes)](const FakeBytes&) { return std::optional<FakeBytes>(bytes); };
    return *this;
}

void FakeKernel::Reset()
{
    S() = State{};
}

FakeDrive& FakeKernel::Drive(int driveNumber)
{
    return S().drives[driveNumber];
}

void FakeKernel::RemoveDrive(int driveNumber)
{
    S().drives.erase(driveNumber);
}

void FakeKernel::SetFrequency(LONGLONG frequency)
{
    S().frequency = frequency;
}

void FakeKernel::FailAllocations(bool fail)
{
    S().failAllocations = fail;
}

const std::vector<KernelCall>& FakeKernel::Calls()
{
    return S().calls;
}

std::vector<KernelCall> FakeKernel::CallsOf(KernelCall::Kind kind)
{
    std::vector<KernelCall> selected;
    std::copy_if(S().calls.begin(), S().calls.end(), std::back_inserter(selected),
                 [kind](const KernelCall& call) { return call.kind == kind; });
    return selected;
}

int FakeKernel::OpenHandles()
{
    return static_cast<int>(std::count_if(S().handles.begin(), S().handles.end(),
                                          [](const auto& entry) { return !entry.second.closed; }));
}

DWORD FakeKernel::AccessOf(HANDLE handle)
{
    const auto it = S().handles.find(handle);
    return it == S().handles.end() ? 0 : it->second.access;
}

FakeVolume& FakeKernel::AddVolume(const std::wstring& name)
{
    S().volumes.push_back(FakeVolume{});
    S().volumes.back().name = name;
    return S().volumes.back();
}

UINT FakeKernel::ErrorMode()
{
    return S().errorMode;
}

HANDLE Kernel::CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                           LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                           DWORD flagsAndAttributes, HANDLE templateFile)
{
    KernelCall& call = Log(KernelCall::Kind::Open);
    call.path = fileName != nullptr ? fileName : L"";
    call.access = desiredAccess;
    call.share = shareMode;
    call.disposition = creationDisposition;
    call.flags = flagsAndAttributes;
    call.securityNull = securityAttributes == nullptr;
    call.templateNull = templateFile == nullptr;
    call.handle = INVALID_HANDLE_VALUE;
    if (call.path.rfind(kVolumePrefix, 0) == 0) {
        return OpenVolume(call, desiredAccess, shareMode);
    }

    if (desiredAccess != GENERIC_READ && desiredAccess != (GENERIC_READ | GENERIC_WRITE)) {
        ADD_FAILURE() << "open with access 0x" << std::hex << desiredAccess << " of " << call.path.size() << " chars";
    }
    if (creationDisposition != OPEN_EXISTING) {
        ADD_FAILURE() << "open with disposition " << creationDisposition << ": only OPEN_EXISTING leaves a drive alone";
    }

    const int drive = ParseDrivePath(call.path);
    const auto it = S().drives.find(drive);
    const bool wantsWrite = (desiredAccess & GENERIC_WRITE) != 0;
    if (drive < 0 || it == S().drives.end() || !it->second.opens || (wantsWrite && !it->second.opensReadWrite)) {
        ::SetLastError(drive < 0 || it == S().drives.end() ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(S().nextHandle);
    S().nextHandle += 4;
    S().handles[handle] = OpenHandle{drive, desiredAccess, false, 0, flagsAndAttributes};
    call.handle = handle;
    call.succeeded = true;
    return handle;
}

BOOL Kernel::DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                             LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                             LPOVERLAPPED overlapped)
{
    KernelCall& call = Log(KernelCall::Kind::Control);
    call.handle = device;
    call.code = ioControlCode;
    call.outSize = outBufferSize;
    call.overlappedNull = overlapped == nullptr;
    if (inBuffer != nullptr) {
        const auto* in = static_cast<const std::uint8_t*>(inBuffer);
        call.input.assign(in, in + inBufferSize);
    }
    if (outBuffer != nullptr) {
        // Where one buffer is both, its input part is in `input`; the rest must be zeros.
        const auto* out = static_cast<const std::uint8_t*>(outBuffer);
        const DWORD from = outBuffer == inBuffer ? std::min(inBufferSize, outBufferSize) : 0;
        call.outZeroed = std::all_of(out + from, out + outBufferSize, [](std::uint8_t b) { return b == 0; });
    }

    if (AllowedCodes().count(ioControlCode) == 0) {
        ADD_FAILURE() << "request code 0x" << std::hex << ioControlCode << " is not one the program may send";
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (ioControlCode == SMART_RCV_DRIVE_DATA && !IsReadOnlySmartCommand(call.input)) {
        ADD_FAILURE() << "a SMART command other than READ DATA or READ THRESHOLDS";
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ioControlCode == IOCTL_SCSI_PASS_THROUGH && !IsReadOnlyPassThrough(call.input, outBufferSize)) {
        ADD_FAILURE() << "a SCSI pass-through other than ATA PASS-THROUGH of SMART READ DATA or READ THRESHOLDS";
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const OpenHandle* open = Find(device);
    if (open == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((open->access & GENERIC_WRITE) != 0 && !NeedsReadWrite(ioControlCode)) {
        ADD_FAILURE() << "request 0x" << std::hex << ioControlCode << " made on a read-write handle";
    }
    // Bits 14-15 of a code name the access the I/O manager demands of the handle.
    const DWORD required = (ioControlCode >> 14) & 3;
    const DWORD granted = ((open->access & GENERIC_READ) != 0 ? DWORD{FILE_READ_ACCESS} : 0u) |
                          ((open->access & GENERIC_WRITE) != 0 ? DWORD{FILE_WRITE_ACCESS} : 0u);
    if ((required & ~granted) != 0) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }

    std::optional<FakeBytes> bytes;
    if (open->volume >= 0) {
        // A volume answers its extents and nothing else; without media not even those.
        const FakeVolume& volume = S().volumes[static_cast<std::size_t>(open->volume)];
        if (ioControlCode == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS) {
            bytes = volume.extents;
        }
        ::SetLastError(ioControlCode == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS ? ERROR_NOT_READY : ERROR_INVALID_FUNCTION);
    } else {
        const FakeDrive& drive = S().drives[open->drive];
        const auto answer = drive.answers.find(ioControlCode);
        bytes = answer == drive.answers.end() ? std::nullopt : answer->second(call.input);
        ::SetLastError(ERROR_INVALID_FUNCTION);
    }
    if (!bytes) {
        return FALSE;
    }
    const DWORD count = static_cast<DWORD>(std::min<std::size_t>(bytes->size(), outBufferSize));
    if (count > 0) {
        std::copy_n(bytes->begin(), count, static_cast<std::uint8_t*>(outBuffer));
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = count;
    }
    // The partition table and the extents come whole or not at all: a buffer too small for them
    // fails, with the error by which Windows asks for a larger one.
    if (count < bytes->size() &&
        (ioControlCode == IOCTL_DISK_GET_DRIVE_LAYOUT_EX || ioControlCode == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS)) {
        ::SetLastError(ioControlCode == IOCTL_DISK_GET_DRIVE_LAYOUT_EX ? ERROR_INSUFFICIENT_BUFFER : ERROR_MORE_DATA);
        return FALSE;
    }
    call.succeeded = true;
    return TRUE;
}

BOOL Kernel::ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped)
{
    KernelCall& call = Log(KernelCall::Kind::Read);
    call.handle = file;
    call.address = buffer;
    call.bytesToRead = bytesToRead;
    call.overlappedNull = overlapped == nullptr;
    OpenHandle* open = Find(file);
    if (open == nullptr) {
        return FALSE;
    }
    if ((open->access & GENERIC_WRITE) != 0) {
        ADD_FAILURE() << "read on a read-write handle";
    }
    // Unbuffered reads go straight to the device: Windows refuses a buffer or a length that
    // is not a multiple of the sector size (4096 covers 512-byte and 4Kn drives alike).
    constexpr std::uintptr_t kSector = 4096;
    if ((open->flags & FILE_FLAG_NO_BUFFERING) != 0 &&
        (reinterpret_cast<std::uintptr_t>(buffer) % kSector != 0 || bytesToRead % kSector != 0)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const FakeDrive& drive = S().drives[open->drive];
    const FakeRead step = open->readsDone < drive.reads.size() ? drive.reads[open->readsDone] : drive.laterReads;
    ++open->readsDone;
    if (step.during) {
        step.during();
    }
    if (step.realMilliseconds > 0) {
        ::Sleep(step.realMilliseconds);
    }
    S().clock += step.ticks;
    if (step.fails) {
        ::SetLastError(ERROR_CRC);
        return FALSE;
    }
    if (bytesRead != nullptr) {
        *bytesRead = std::min(step.bytes, bytesToRead);
    }
    call.succeeded = true;
    return TRUE;
}

BOOL Kernel::CloseHandle(HANDLE object)
{
    KernelCall& call = Log(KernelCall::Kind::Close);
    call.handle = object;
    OpenHandle* open = Find(object);
    if (open == nullptr) {
        return FALSE;
    }
    open->closed = true;
    call.succeeded = true;
    return TRUE;
}

LPVOID Kernel::VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect)
{
    KernelCall& call = Log(KernelCall::Kind::Alloc);
    call.size = size;
    call.type = allocationType;
    call.protect = protect;
    if (S().failAllocations) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* memory = ::VirtualAlloc(address, size, allocationType, protect);
    call.address = memory;
    call.succeeded = memory != nullptr;
    if (memory != nullptr) {
        S().allocations.insert(memory);
    }
    return memory;
}

BOOL Kernel::VirtualFree(LPVOID address, SIZE_T size, DWORD freeType)
{
    KernelCall& call = Log(KernelCall::Kind::Free);
    call.address = address;
    call.size = size;
    call.type = freeType;
    if (S().allocations.erase(address) == 0) {
        ADD_FAILURE() << "free of memory that is not allocated: " << address;
        return FALSE;
    }
    call.succeeded = ::VirtualFree(address, size, freeType) != FALSE;
    return call.succeeded ? TRUE : FALSE;
}

int Kernel::MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteStr, int multiByte,
                                LPWSTR wideCharStr, int wideChar)
{
    KernelCall& call = Log(KernelCall::Kind::Convert);
    call.codePage = codePage;
    call.convertFlags = flags;
    call.inputLength = multiByte;
    const int result = ::MultiByteToWideChar(codePage, flags, multiByteStr, multiByte, wideCharStr, wideChar);
    call.succeeded = result > 0;
    return result;
}

BOOL Kernel::QueryPerformanceCounter(LARGE_INTEGER* count)
{
    Log(KernelCall::Kind::Counter).succeeded = true;
    count->QuadPart = S().clock;
    return TRUE;
}

BOOL Kernel::QueryPerformanceFrequency(LARGE_INTEGER* frequency)
{
    Log(KernelCall::Kind::Frequency).succeeded = true;
    frequency->QuadPart = S().frequency;
    return TRUE;
}

UINT Kernel::GetErrorMode()
{
    KernelCall& call = Log(KernelCall::Kind::ErrorMode);
    call.function = "GetErrorMode";
    call.succeeded = true;
    return S().errorMode;
}

UINT Kernel::SetErrorMode(UINT mode)
{
    KernelCall& call = Log(KernelCall::Kind::ErrorMode);
    call.function = "SetErrorMode";
    call.errorMode = mode;
    call.succeeded = true;
    return std::exchange(S().errorMode, mode);
}

// A search lists the volumes in order; its handle counts as open until FindVolumeClose.
HANDLE Kernel::FindFirstVolumeW(LPWSTR volumeName, DWORD bufferLength)
{
    KernelCall& call = Log(KernelCall::Kind::Volume);
    call.function = "FindFirstVolumeW";
    if (S().volumes.empty()) {
        ::SetLastError(ERROR_NO_MORE_FILES);
        return INVALID_HANDLE_VALUE;
    }
    if (!CopyOut(S().volumes.front().name, volumeName, bufferLength)) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(S().nextHandle);
    S().nextHandle += 4;
    S().handles[handle] = OpenHandle{};
    S().volumeSearches[handle] = 1;
    call.handle = handle;
    call.succeeded = true;
    return handle;
}

BOOL Kernel::FindNextVolumeW(HANDLE findVolume, LPWSTR volumeName, DWORD bufferLength)
{
    KernelCall& call = Log(KernelCall::Kind::Volume);
    call.function = "FindNextVolumeW";
    call.handle = findVolume;
    const auto search = S().volumeSearches.find(findVolume);
    if (search == S().volumeSearches.end() || Find(findVolume) == nullptr) {
        ADD_FAILURE() << "FindNextVolumeW on a handle that is no open search";
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (search->second >= S().volumes.size()) {
        ::SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    if (!CopyOut(S().volumes[search->second].name, volumeName, bufferLength)) {
        return FALSE;
    }
    ++search->second;
    call.succeeded = true;
    return TRUE;
}

BOOL Kernel::FindVolumeClose(HANDLE findVolume)
{
    KernelCall& call = Log(KernelCall::Kind::Volume);
    call.function = "FindVolumeClose";
    call.handle = findVolume;
    OpenHandle* open = S().volumeSearches.count(findVolume) != 0 ? Find(findVolume) : nullptr;
    if (open == nullptr) {
        ADD_FAILURE() << "FindVolumeClose on a handle that is no open search";
        return FALSE;
    }
    open->closed = true;
    call.succeeded = true;
    return TRUE;
}

BOOL Kernel::GetVolumePathNamesForVolumeNameW(LPCWSTR volumeName, LPWCH volumePathNames, DWORD bufferLength,
                                              PDWORD returnLength)
{
    const FakeVolume* volume = NamedVolume("GetVolumePathNamesForVolumeNameW", volumeName);
    if (volume == nullptr) {
        return FALSE;
    }
    std::wstring names;
    for (const std::wstring& path : volume->paths) {
        names += path + L'\0';
    }
    *returnLength = static_cast<DWORD>(names.size() + 1);
    if (CopyOut(names, volumePathNames, bufferLength)) {
        return TRUE;
    }
    S().calls.back().succeeded = false;
    return FALSE;
}

BOOL Kernel::GetVolumeInformationW(LPCWSTR rootPathName, LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                                   LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                                   LPDWORD fileSystemFlags, LPWSTR fileSystemNameBuffer, DWORD fileSystemNameSize)
{
    const FakeVolume* volume = NamedVolume("GetVolumeInformationW", rootPathName);
    if (volume == nullptr || volume->fileSystem.empty()) {
        ::SetLastError(ERROR_UNRECOGNIZED_VOLUME);
        S().calls.back().succeeded = false;
        return FALSE;
    }
    for (LPDWORD unused : {volumeSerialNumber, maximumComponentLength, fileSystemFlags}) {
        if (unused != nullptr) {
            *unused = 0;
        }
    }
    return CopyOut(volume->label, volumeNameBuffer, volumeNameSize) &&
                   CopyOut(volume->fileSystem, fileSystemNameBuffer, fileSystemNameSize)
               ? TRUE
               : FALSE;
}

BOOL Kernel::GetDiskFreeSpaceExW(LPCWSTR directoryName, PULARGE_INTEGER freeBytesAvailableToCaller,
                                 PULARGE_INTEGER totalNumberOfBytes, PULARGE_INTEGER totalNumberOfFreeBytes)
{
    const FakeVolume* volume = NamedVolume("GetDiskFreeSpaceExW", directoryName);
    if (volume == nullptr || volume->totalBytes == 0) {
        ::SetLastError(ERROR_NOT_READY);
        S().calls.back().succeeded = false;
        return FALSE;
    }
    for (PULARGE_INTEGER free : {freeBytesAvailableToCaller, totalNumberOfFreeBytes}) {
        if (free != nullptr) {
            free->QuadPart = volume->freeBytes;
        }
    }
    if (totalNumberOfBytes != nullptr) {
        totalNumberOfBytes->QuadPart = volume->totalBytes;
    }
    return TRUE;
}
