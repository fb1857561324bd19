#pragma once

#include <cstdint>

class DiskTest {
public:
    DiskTest() = delete;

    static constexpr std::uint32_t kChunkSize = 4u * 1024u * 1024u;
    static constexpr int kChunkCount = 25;

    // Sequential unbuffered read of the first 100 MiB of a drive. Returns MiB per second;
    // 0.0 when the clock saw no time pass; -1.0 when the drive did not open, the buffer was
    // not allocated, or a read failed or returned no data. Then `failureError`, when given, is
    // the error of the call that failed (0 for a read that returned no data).
    static double RunSequentialReadTest(std::int32_t driveNumber, std::uint32_t* failureError = nullptr);
};
