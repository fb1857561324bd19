#include "kernel/Kernel.h"

HANDLE Kernel::CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                           LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                           DWORD flagsAndAttributes, HANDLE templateFile)
{
    return ::CreateFileW(fileName, desiredAccess, shareMode, securityAttributes, creationDisposition,
                         flagsAndAttributes, templateFile);
}

BOOL Kernel::DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                             LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                             LPOVERLAPPED overlapped)
{
    return ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                             bytesReturned, overlapped);
}

BOOL Kernel::ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                      LPOVERLAPPED overlapped)
{
    return ::ReadFile(file, buffer, bytesToRead, bytesRead, overlapped);
}

BOOL Kernel::CloseHandle(HANDLE object)
{
    return ::CloseHandle(object);
}

LPVOID Kernel::VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect)
{
    return ::VirtualAlloc(address, size, allocationType, protect);
}

BOOL Kernel::VirtualFree(LPVOID address, SIZE_T size, DWORD freeType)
{
    return ::VirtualFree(address, size, freeType);
}

int Kernel::MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteStr, int multiByte,
                                LPWSTR wideCharStr, int wideChar)
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

HDEVINFO Kernel::SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags)
{
    return ::SetupDiGetClassDevsW(classGuid, enumerator, parent, flags);
}

BOOL Kernel::SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                         const GUID* interfaceClassGuid, DWORD memberIndex,
                                         PSP_DEVICE_INTERFACE_DATA deviceInterfaceData)
{
    return ::SetupDiEnumDeviceInterfaces(deviceInfoSet, deviceInfoData, interfaceClassGuid, memberIndex,
                                         deviceInterfaceData);
}

BOOL Kernel::SetupDiGetDeviceInterfaceDetailW(HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                              PSP_DEVICE_INTERFACE_DETAIL_DATA_W deviceInterfaceDetailData,
                                              DWORD deviceInterfaceDetailDataSize, PDWORD requiredSize,
                                              PSP_DEVINFO_DATA deviceInfoData)
{
    return ::SetupDiGetDeviceInterfaceDetailW(deviceInfoSet, deviceInterfaceData, deviceInterfaceDetailData,
                                              deviceInterfaceDetailDataSize, requiredSize, deviceInfoData);
}

BOOL Kernel::SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex, PSP_DEVINFO_DATA deviceInfoData)
{
    return ::SetupDiEnumDeviceInfo(deviceInfoSet, memberIndex, deviceInfoData);
}

BOOL Kernel::SetupDiGetDeviceRegistryPropertyW(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData, DWORD property,
                                               PDWORD propertyRegDataType, PBYTE propertyBuffer,
                                               DWORD propertyBufferSize, PDWORD requiredSize)
{
    return ::SetupDiGetDeviceRegistryPropertyW(deviceInfoSet, deviceInfoData, property, propertyRegDataType,
                                               propertyBuffer, propertyBufferSize, requiredSize);
}

BOOL Kernel::SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet)
{
    return ::SetupDiDestroyDeviceInfoList(deviceInfoSet);
}

CONFIGRET Kernel::CM_Get_Parent(PDEVINST parent, DEVINST child, ULONG flags)
{
    return ::CM_Get_Parent(parent, child, flags);
}

CONFIGRET Kernel::CM_Get_Device_IDW(DEVINST device, PWSTR buffer, ULONG bufferLength, ULONG flags)
{
    return ::CM_Get_Device_IDW(device, buffer, bufferLength, flags);
}

CONFIGRET Kernel::CM_Get_DevNode_Status(PULONG status, PULONG problemNumber, DEVINST device, ULONG flags)
{
    return ::CM_Get_DevNode_Status(status, problemNumber, device, flags);
}

HANDLE Kernel::CreateMutexW(LPSECURITY_ATTRIBUTES mutexAttributes, BOOL initialOwner, LPCWSTR name)
{
    return ::CreateMutexW(mutexAttributes, initialOwner, name);
}

DWORD Kernel::WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return ::WaitForSingleObject(handle, milliseconds);
}

BOOL Kernel::ReleaseMutex(HANDLE mutex)
{
    return ::ReleaseMutex(mutex);
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

UINT Kernel::GetErrorMode()
{
    return ::GetErrorMode();
}

UINT Kernel::SetErrorMode(UINT mode)
{
    return ::SetErrorMode(mode);
}

HANDLE Kernel::FindFirstVolumeW(LPWSTR volumeName, DWORD bufferLength)
{
    return ::FindFirstVolumeW(volumeName, bufferLength);
}

BOOL Kernel::FindNextVolumeW(HANDLE findVolume, LPWSTR volumeName, DWORD bufferLength)
{
    return ::FindNextVolumeW(findVolume, volumeName, bufferLength);
}

BOOL Kernel::FindVolumeClose(HANDLE findVolume)
{
    return ::FindVolumeClose(findVolume);
}

BOOL Kernel::GetVolumePathNamesForVolumeNameW(LPCWSTR volumeName, LPWCH volumePathNames, DWORD bufferLength,
                                              PDWORD returnLength)
{
    return ::GetVolumePathNamesForVolumeNameW(volumeName, volumePathNames, bufferLength, returnLength);
}
