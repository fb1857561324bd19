#pragma once

#include <windows.h>

// A drive 0 that streams at a chosen speed in real time: the data of its k-th read is ready
// k read-lengths after the first read began, and each read holds the caller, busy-waiting on
// the real performance counter, until its data is ready. It stands behind the Kernel seam in
// place of the system, so the read test is timed exactly as on a real drive, against a speed
// known in advance. Like a drive reading ahead, it does not fall behind when the reading
// thread briefly loses the processor between reads on a busy machine.
class SimulatedDrive {
public:
    SimulatedDrive() = delete;

    // Speed in MiB per second, the unit the benchmark reports as "MB/s".
    static void SetSpeed(double mebibytesPerSecond);
    // The capacity that IOCTL_DISK_GET_LENGTH_INFO tells, for the surface scan.
    static void SetCapacity(LONGLONG bytes);

    // Of the reads since drive 0 was last opened, in seconds: the real time they were made to
    // take (the truth), and the real time from the start of the first to the end of the last,
    // which exceeds it only when the reading thread was off the processor at the end.
    static double DesignedSeconds();
    static double ServedSeconds();
};
