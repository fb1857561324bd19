#pragma once

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

// The one door to the kernel for the drive inventory and the read benchmark. Each member
// has the exact signature of the Windows function it is named after; the program links
// KernelWin32.cpp, which forwards to the system, and the tests link scripted fake drives
// and a fake clock in its place, so they can check every argument that reaches a device.
// Nothing here can write to a drive: there is deliberately no WriteFile.
class Kernel {
public:
    Kernel() = delete;

    static HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                              LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                              DWORD flagsAndAttributes, HANDLE templateFile);
    static BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                                LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                                LPOVERLAPPED overlapped);
    static BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                         LPOVERLAPPED overlapped);
    static BOOL CloseHandle(HANDLE object);
    static LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect);
    static BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType);
    static int MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteStr, int multiByte,
                                   LPWSTR wideCharStr, int wideChar);
    static BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
    static BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

    // The device tree, read only to find the USB bridge a drive hangs on and the storage
    // controllers that have no driver (setupapi, which exports the CM_ functions too).
    static HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
    static BOOL SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                            const GUID* interfaceClassGuid, DWORD memberIndex,
                                            PSP_DEVICE_INTERFACE_DATA deviceInterfaceData);
    static BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W deviceInterfaceDetailData,
                                                 DWORD deviceInterfaceDetailDataSize, PDWORD requiredSize,
                                                 PSP_DEVINFO_DATA deviceInfoData);
    static BOOL SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex, PSP_DEVINFO_DATA deviceInfoData);
    static BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                                  DWORD property, PDWORD propertyRegDataType, PBYTE propertyBuffer,
                                                  DWORD propertyBufferSize, PDWORD requiredSize);
    static BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet);
    static CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST child, ULONG flags);
    static CONFIGRET CM_Get_Device_IDW(DEVINST device, PWSTR buffer, ULONG bufferLength, ULONG flags);
    static CONFIGRET CM_Get_DevNode_Status(PULONG status, PULONG problemNumber, DEVINST device, ULONG flags);

    // The named mutex that tools sending JMicron's three-step commands take around them. The
    // wait serves the surface scan too, whose window asks whether its reading thread has ended.
    static HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES mutexAttributes, BOOL initialOwner, LPCWSTR name);
    static DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
    static BOOL ReleaseMutex(HANDLE mutex);

    // The surface scan reads on a thread of its own, and Stop cancels the read it hangs in.
    static HANDLE CreateThread(LPSECURITY_ATTRIBUTES securityAttributes, SIZE_T stackSize,
                               LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                               LPDWORD threadId);
    static BOOL CancelSynchronousIo(HANDLE thread);

    // Volumes, to tell which drive holds which, without the "no disk" box of an empty reader.
    // Only the volume manager and the mount manager are asked: nothing here reaches a file
    // system, which Windows would mount to answer.
    static UINT GetErrorMode();
    static UINT SetErrorMode(UINT mode);
    static HANDLE FindFirstVolumeW(LPWSTR volumeName, DWORD bufferLength);
    static BOOL FindNextVolumeW(HANDLE findVolume, LPWSTR volumeName, DWORD bufferLength);
    static BOOL FindVolumeClose(HANDLE findVolume);
    static BOOL GetVolumePathNamesForVolumeNameW(LPCWSTR volumeName, LPWCH volumePathNames, DWORD bufferLength,
                                                 PDWORD returnLength);
};
