// How close the read test comes to the truth: it times drive 0 of a simulated kernel whose
// reads take a known real time, at speeds from a hard disk's to a fast NVMe drive's, and
// prints for each speed the median and the spread of measured speed / true speed. Then how
// close the surface scan's average comes to the drive's speed: a scan must never be what
// limits a drive.

#include "SimulatedDrive.h"

#include "disktest/DiskTest.h"
#include "disktest/SurfaceScan.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

namespace {

struct Speed {
    const char* label;
    double mebibytesPerSecond;
};

// "MB/s" as the program computes it: 100 MiB over the seconds.
constexpr std::array kSpeeds{Speed{"100 MB/s", 100.0}, Speed{"1 GB/s", 1000.0}, Speed{"7 GB/s", 7000.0},
                             Speed{"14 GB/s", 14000.0}};
constexpr std::size_t kRuns = 15;
constexpr double kMebibytesRead = 100.0;
// A pause before each run leaves the processor to the machine's other work, so the scheduler
// owes this thread time when the run starts rather than cutting into it.
constexpr DWORD kRestMilliseconds = 50;

// The surface scan over a few GiB of the simulated drive at each speed.
struct ScanRun {
    double mebibytesPerSecond;
    LONGLONG capacityBytes;
};
constexpr std::array kScanRuns{ScanRun{200.0, 2LL << 30}, ScanRun{3000.0, 8LL << 30}};
constexpr DWORD kScanPollMilliseconds = 50;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    std::printf("Read test accuracy on a simulated drive, %zu runs per speed.\n", kRuns);
    std::printf("MB/s = MiB/s, as the program computes it (100 MiB / seconds).\n"
                "true:    the drive's designed speed, known before the run.\n"
                "stretch: real time the drive took / designed time; above 1 when the machine's load\n"
                "         kept the simulated drive itself from its pace at the end of a run.\n"
                "served:  100 MiB over the real time the drive took, so measured / served is the\n"
                "         program's own error with the machine's load taken out.\n\n");
    std::printf("%-9s %9s  %-15s %-19s %-15s %s\n", "speed", "run (ms)", "measured / true", "", "median stretch",
                "measured / served");
    std::printf("%-9s %9s  %-15s %-19s %-15s %s\n", "", "", "median", "spread (min..max)", "", "median");
    for (const Speed& speed : kSpeeds) {
        SimulatedDrive::SetSpeed(speed.mebibytesPerSecond);
        std::vector<double> ratios;
        std::vector<double> stretches;
        std::vector<double> servedRatios;
        std::vector<double> milliseconds;
        for (std::size_t run = 0; run < kRuns; ++run) {
            ::Sleep(kRestMilliseconds);
            const double measured = DiskTest::RunSequentialReadTest(0);
            if (measured <= 0.0) {
                std::printf("%-9s the read test failed (%.1f)\n", speed.label, measured);
                return 1;
            }
            const double designed = SimulatedDrive::DesignedSeconds();
            ratios.push_back(measured / (kMebibytesRead / designed));
            const double served = SimulatedDrive::ServedSeconds();
            stretches.push_back(served / designed);
            servedRatios.push_back(measured / (kMebibytesRead / served));
            milliseconds.push_back(designed * 1000.0);
        }
        const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
        char spread[40];
        std::snprintf(spread, sizeof spread, "%.5f..%.5f", *low, *high);
        std::printf("%-9s %9.2f  %-15.5f %-19s %-15.5f %.5f\n", speed.label, Median(milliseconds), Median(ratios),
                    spread, Median(stretches), Median(servedRatios));
    }

    std::printf("\nSurface scan: its average (MiB scanned / its own elapsed time) against the drive's speed.\n");
    for (const ScanRun& run : kScanRuns) {
        SimulatedDrive::SetSpeed(run.mebibytesPerSecond);
        SimulatedDrive::SetCapacity(run.capacityBytes);
        ::Sleep(kRestMilliseconds);
        if (!SurfaceScan::Start(0, nullptr, 0)) {
            std::printf("scan %.0f MB/s: the scan did not start\n", run.mebibytesPerSecond);
            return 1;
        }
        while (SurfaceScan::IsRunning()) {
            ::Sleep(kScanPollMilliseconds);
        }
        const ScanRecord record = SurfaceScan::Snapshot();
        if (record.GetState() != ScanRecord::State::Finished || record.ElapsedSeconds() <= 0) {
            std::printf("scan %.0f MB/s: %ls\n", run.mebibytesPerSecond, record.ResultText().c_str());
            return 1;
        }
        const double measured =
            static_cast<double>(record.ScannedBytes()) / ScanRecord::kBytesPerMiB / record.ElapsedSeconds();
        std::printf("scan %.0f MB/s: measured %.1f, ratio %.3f\n", run.mebibytesPerSecond, measured,
                    measured / run.mebibytesPerSecond);
    }
    return 0;
}
