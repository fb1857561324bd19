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
    // The surface scan reads on a thread of its own, and Stop cancels the read it hangs in.
    static HANDLE CreateThread(LPSECURITY_ATTRIBUTES securityAttributes, SIZE_T stackSize,
                               LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                               LPDWORD threadId);
    static BOOL CancelSynchronousIo(HANDLE thread);
};
