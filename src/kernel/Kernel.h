#pragma once

#include <windows.h>

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
    static UINT GetErrorMode();
    static UINT SetErrorMode(UINT mode);
    static HANDLE FindFirstVolumeW(LPWSTR volumeName, DWORD bufferLength);
    static BOOL FindNextVolumeW(HANDLE findVolume, LPWSTR volumeName, DWORD bufferLength);
    static BOOL FindVolumeClose(HANDLE findVolume);
    static BOOL GetVolumePathNamesForVolumeNameW(LPCWSTR volumeName, LPWCH volumePathNames, DWORD bufferLength,
                                                 PDWORD returnLength);
    static BOOL GetVolumeInformationW(LPCWSTR rootPathName, LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                                      LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                                      LPDWORD fileSystemFlags, LPWSTR fileSystemNameBuffer, DWORD fileSystemNameSize);
    static BOOL GetDiskFreeSpaceExW(LPCWSTR directoryName, PULARGE_INTEGER freeBytesAvailableToCaller,
                                    PULARGE_INTEGER totalNumberOfBytes, PULARGE_INTEGER totalNumberOfFreeBytes);
};
