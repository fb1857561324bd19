#include "SimulatedDrive.h"

#include "kernel/Kernel.h"

#include <winioctl.h>

#include <cmath>
#include <string_view>

namespace {

// The one device: drive 0, opened read-only. Anything else names no device.
const HANDLE kDrive = reinterpret_cast<HANDLE>(std::uintptr_t{0x5D0});
constexpr std::wstring_view kDrivePath = L"\\\\.\\PhysicalDrive0";
constexpr double kMebibyte = 1024.0 * 1024.0;

struct Drive {
    double bytesPerSecond = 100.0 * kMebibyte;
    LONGLONG capacityBytes = 0;
    LONGLONG designedTicks = 0;
    LONGLONG firstReadStart = 0;
    LONGLONG lastReadEnd = 0;
    bool read = false;
};

Drive& D()
{
    static Drive drive;
    return drive;
}

LONGLONG Now()
{
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

LONGLONG Frequency()
{
    LARGE_INTEGER frequency{};
    ::QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

double Seconds(LONGLONG ticks)
{
    return static_cast<double>(ticks) / static_cast<double>(Frequency());
}

} // namespace

void SimulatedDrive::SetSpeed(double mebibytesPerSecond)
{
    D().bytesPerSecond = mebibytesPerSecond * kMebibyte;
}

void SimulatedDrive::SetCapacity(LONGLONG bytes)
{
    D().capacityBytes = bytes;
}

double SimulatedDrive::DesignedSeconds()
{
    return Seconds(D().designedTicks);
}

double SimulatedDrive::ServedSeconds()
{
    return Seconds(D().lastReadEnd - D().firstReadStart);
}

HANDLE Kernel::CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                           HANDLE)
{
    if (fileName == nullptr || fileName != kDrivePath || desiredAccess != GENERIC_READ) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const Drive settings = D();
    D() = Drive{};
    D().bytesPerSecond = settings.bytesPerSecond;
    D().capacityBytes = settings.capacityBytes;
    return kDrive;
}

// The capacity, for the surface scan; no other request is answered, so it takes 512-byte sectors.
BOOL Kernel::DeviceIoControl(HANDLE device, DWORD code, LPVOID, DWORD, LPVOID out, DWORD outSize, LPDWORD returned,
                             LPOVERLAPPED)
{
    if (device != kDrive || code != IOCTL_DISK_GET_LENGTH_INFO || outSize < sizeof(GET_LENGTH_INFORMATION) ||
        D().capacityBytes <= 0) {
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    static_cast<GET_LENGTH_INFORMATION*>(out)->Length.QuadPart = D().capacityBytes;
    if (returned != nullptr) {
        *returned = sizeof(GET_LENGTH_INFORMATION);
    }
    return TRUE;
}

BOOL Kernel::ReadFile(HANDLE file, LPVOID, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED)
{
    const LONGLONG start = Now();
    if (file != kDrive) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Drive& drive = D();
    if (!drive.read) {
        drive.firstReadStart = start;
        drive.read = true;
    }
    drive.designedTicks += static_cast<LONGLONG>(
        std::llround(static_cast<double>(bytesToRead) / drive.bytesPerSecond * static_cast<double>(Frequency())));
    const LONGLONG ready = drive.firstReadStart + drive.designedTicks;
    LONGLONG now = start;
    while (now < ready) {
        now = Now();
    }
    drive.lastReadEnd = now;
    if (bytesRead != nullptr) {
        *bytesRead = bytesToRead;
    }
    return TRUE;
}

BOOL Kernel::CloseHandle(HANDLE object)
{
    return object == kDrive ? TRUE : ::CloseHandle(object);
}

LPVOID Kernel::VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect)
{
    return ::VirtualAlloc(address, size, allocationType, protect);
}

BOOL Kernel::VirtualFree(LPVOID address, SIZE_T size, DWORD freeType)
{
    return ::VirtualFree(address, size, freeType);
}

int Kernel::MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteStr, int multiByte, LPWSTR wideCharStr,
                                int wideChar)
{
    return ::MultiByteToWideChar(codePage, flags, multiByteStr, multiByte, wideCharStr, wideChar);
}

BOOL Kernel::QueryPerformanceCounter(LARGE_INTEGER* count)
{
    return ::QueryPerformanceCounter(count);
}

BOOL Kernel::QueryPerformanceFrequency(LARGE_INTEGER* frequency)
{
    return ::QueryPerformanceFrequency(frequency);
}

// The simulated drive hangs in no device tree and shares no mutex: the inventory's USB bridge
// route, linked in with the rest of the core, finds nothing here.
HDEVINFO Kernel::SetupDiGetClassDevsW(const GUID*, PCWSTR, HWND, DWORD)
{
    return INVALID_HANDLE_VALUE;
}

BOOL Kernel::SetupDiEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA)
{
    return FALSE;
}

BOOL Kernel::SetupDiGetDeviceInterfaceDetailW(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W,
                                              DWORD, PDWORD, PSP_DEVINFO_DATA)
{
    return FALSE;
}

BOOL Kernel::SetupDiDestroyDeviceInfoList(HDEVINFO)
{
    return FALSE;
}

CONFIGRET Kernel::CM_Get_Parent(PDEVINST, DEVINST, ULONG)
{
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET Kernel::CM_Get_Device_IDW(DEVINST, PWSTR, ULONG, ULONG)
{
    return CR_NO_SUCH_DEVNODE;
}

HANDLE Kernel::CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR)
{
    return nullptr;
}

BOOL Kernel::ReleaseMutex(HANDLE)
{
    return FALSE;
}

// The surface scan's thread is a real one, and so is the wait for it.
DWORD Kernel::WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return ::WaitForSingleObject(handle, milliseconds);
}

HANDLE Kernel::CreateThread(LPSECURITY_ATTRIBUTES securityAttributes, SIZE_T stackSize,
                            LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                            LPDWORD threadId)
{
    return ::CreateThread(securityAttributes, stackSize, startAddress, parameter, creationFlags, threadId);
}

BOOL Kernel::CancelSynchronousIo(HANDLE thread)
{
    return ::CancelSynchronousIo(thread);
}

// The simulated machine has no volumes: the read test never asks for them.
UINT Kernel::GetErrorMode()
{
    return 0;
}

UINT Kernel::SetErrorMode(UINT)
{
    return 0;
}

HANDLE Kernel::FindFirstVolumeW(LPWSTR, DWORD)
{
    ::SetLastError(ERROR_NO_MORE_FILES);
    return INVALID_HANDLE_VALUE;
}

BOOL Kernel::FindNextVolumeW(HANDLE, LPWSTR, DWORD)
{
    return FALSE;
}

BOOL Kernel::FindVolumeClose(HANDLE)
{
    return FALSE;
}

BOOL Kernel::GetVolumePathNamesForVolumeNameW(LPCWSTR, LPWCH, DWORD, PDWORD)
{
    return FALSE;
}
