#pragma once

#include "kernel/Kernel.h"

#include <utility>

// Owns a device handle from Kernel::CreateFileW and closes it exactly once.
class KernelHandle {
public:
    explicit KernelHandle(HANDLE handle) noexcept : m_handle(handle) {}
    KernelHandle(const KernelHandle&) = delete;
    KernelHandle& operator=(const KernelHandle&) = delete;
    ~KernelHandle() { Close(); }

    explicit operator bool() const noexcept { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
    HANDLE Get() const noexcept { return m_handle; }

private:
    void Close() noexcept
    {
        if (*this) {
            Kernel::CloseHandle(std::exchange(m_handle, INVALID_HANDLE_VALUE));
        }
    }

    HANDLE m_handle;
};

// Owns a device information list from Kernel::SetupDiGetClassDevsW.
class DeviceInfoList {
public:
    DeviceInfoList(const GUID* classGuid, PCWSTR enumerator, DWORD flags) noexcept
        : m_list(Kernel::SetupDiGetClassDevsW(classGuid, enumerator, nullptr, flags))
    {
    }
    DeviceInfoList(const DeviceInfoList&) = delete;
    DeviceInfoList& operator=(const DeviceInfoList&) = delete;
    ~DeviceInfoList()
    {
        if (*this) {
            Kernel::SetupDiDestroyDeviceInfoList(m_list);
        }
    }

    explicit operator bool() const noexcept { return m_list != INVALID_HANDLE_VALUE; }
    HDEVINFO Get() const noexcept { return m_list; }

private:
    HDEVINFO m_list;
};

// Owns committed, page-aligned memory from Kernel::VirtualAlloc, as unbuffered reads require.
class PageBuffer {
public:
    explicit PageBuffer(SIZE_T size) noexcept
        : m_memory(Kernel::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))
    {
    }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer()
    {
        if (m_memory != nullptr) {
            Kernel::VirtualFree(m_memory, 0, MEM_RELEASE);
        }
    }

    explicit operator bool() const noexcept { return m_memory != nullptr; }
    LPVOID Get() const noexcept { return m_memory; }

private:
    LPVOID m_memory;
};
