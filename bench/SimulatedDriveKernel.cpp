#include "SimulatedDrive.h"

#include "kernel/Kernel.h"

#include <cmath>
#include <string_view>

namespace {

// The one device: drive 0, opened read-only. Anything else names no device.
const HANDLE kDrive = reinterpret_cast<HANDLE>(std::uintptr_t{0x5D0});
constexpr std::wstring_view kDrivePath = L"\\\\.\\PhysicalDrive0";
constexpr double kMebibyte = 1024.0 * 1024.0;

struct Drive {
    double bytesPerSecond = 100.0 * kMebibyte;
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
    const double bytesPerSecond = D().bytesPerSecond;
    D() = Drive{};
    D().bytesPerSecond = bytesPerSecond;
    return kDrive;
}

BOOL Kernel::DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
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
    return object == kDrive ? TRUE : FALSE;
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

DWORD Kernel::WaitForSingleObject(HANDLE, DWORD)
{
    return WAIT_FAILED;
}

BOOL Kernel::ReleaseMutex(HANDLE)
{
    return FALSE;
}
