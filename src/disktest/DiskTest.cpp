#include "disktest/DiskTest.h"

#include "diskinfo/DiskInfo.h"
#include "kernel/KernelResources.h"

namespace {

constexpr double kMebibytesRead = 100.0;
static_assert(static_cast<double>(DiskTest::kChunkSize) * DiskTest::kChunkCount == kMebibytesRead * 1024 * 1024);

double Failed(std::uint32_t* failureError, DWORD error)
{
    if (failureError != nullptr) {
        *failureError = error;
    }
    return -1.0;
}

} // namespace

double DiskTest::RunSequentialReadTest(std::int32_t driveNumber, std::uint32_t* failureError)
{
    const std::wstring path = DiskManager::PhysicalDrivePath(driveNumber);
    const KernelHandle device(Kernel::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr));
    if (!device) {
        return Failed(failureError, ::GetLastError());
    }
    const PageBuffer buffer(kChunkSize);
    if (!buffer) {
        return Failed(failureError, ERROR_NOT_ENOUGH_MEMORY);
    }

    // A monotonic counter: the wall clock can step in the middle of a run that, on a fast
    // drive, lasts only milliseconds.
    LARGE_INTEGER frequency{};
    Kernel::QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER start{};
    Kernel::QueryPerformanceCounter(&start);
    for (int chunk = 0; chunk < kChunkCount; ++chunk) {
        DWORD bytesRead = 0;
        if (!Kernel::ReadFile(device.Get(), buffer.Get(), kChunkSize, &bytesRead, nullptr)) {
            return Failed(failureError, ::GetLastError());
        }
        if (bytesRead == 0) {
            return Failed(failureError, 0);
        }
    }
    LARGE_INTEGER stop{};
    Kernel::QueryPerformanceCounter(&stop);

    if (frequency.QuadPart <= 0 || stop.QuadPart <= start.QuadPart) {
        return 0.0;
    }
    const double seconds = static_cast<double>(stop.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    return kMebibytesRead / seconds;
}
