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
