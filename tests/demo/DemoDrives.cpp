// The demo build: the real program (its WinMain and its whole user interface) over fake
// drives that answer with the SMART pages and identity strings of real drives. For tests and
// pictures only; it is never shipped. The drives are scripted before WinMain runs.
#include "DemoCapacities.h"
#include "DriveAnswers.h"
#include "FakeKernel.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

using ScriptDrive = std::function<void(FakeDrive&, const DriveAnswers::RealDrives&)>;

enum class Health { Good, FailurePredicted };
enum class Attachment { Sata, UsbDock };

// A SATA drive that answers every request with the SMART pages and the padded identity strings
// of the real drive `name`, at a capacity of `sizeBytes`; in a USB dock, its bridge answers the
// SMART pages instead of the ATA SMART requests.
ScriptDrive AtaDrive(std::string_view name, std::int64_t sizeBytes, Health health,
                     Attachment attachment = Attachment::Sata)
{
    return [name, sizeBytes, health, attachment](FakeDrive& fake, const DriveAnswers::RealDrives& real) {
        const auto it = std::find_if(real.drives.begin(), real.drives.end(),
                                     [name](const DriveAnswers::RealDrive& drive) { return drive.name == name; });
        if (it == real.drives.end()) {
            return; // the drive still opens and shows what a drive that answers nothing shows
        }
        DriveAnswers::Drive drive;
        drive.sizeBytes = sizeBytes;
        drive.descriptor = DriveAnswers::Descriptor().Model(it->model).Serial(it->serial).Firmware(it->firmware).BusType(
            DriveAnswers::Descriptor::kBusTypeSata);
        drive.predictFailure = health == Health::FailurePredicted ? 1u : 0u;
        drive.smartVersion = true;
        drive.smartPage = it->page;
        drive.smartThresholds = it->thresholds;
        (attachment == Attachment::UsbDock ? DriveAnswers::InUsbDock(drive) : drive).ApplyTo(fake);
    };
}

// An NVMe drive with the identity strings given and the health log of the real drive `logName`
// among the NVMe health logs, where that is found.
DriveAnswers::Drive RealNvmeDrive(std::string_view logName, std::string_view model, std::string_view serial,
                                  std::string_view firmware, std::int64_t sizeBytes)
{
    constexpr std::uint32_t kBusTypeNvme = 17;
    DriveAnswers::Drive drive;
    drive.sizeBytes = sizeBytes;
    drive.descriptor = DriveAnswers::Descriptor().Model(model).Serial(serial).Firmware(firmware).BusType(kBusTypeNvme);
    drive.predictFailure = 0;
    std::ifstream log(std::filesystem::path(OSTREVANE_NVME_PAGES_DIR) / (std::string(logName) + ".bin"),
                      std::ios::binary);
    if (log) {
        drive.nvmeLog = DriveAnswers::Bytes(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
    }
    return drive;
}

// An NVMe drive: no ATA SMART requests, and the health log the NVMe driver hands out taken from
// the real drive `logName` among the NVMe health logs; the drive still opens without it.
ScriptDrive NvmeDrive(std::string_view logName, std::string_view model, std::string_view serial,
                      std::string_view firmware, std::int64_t sizeBytes)
{
    return [=](FakeDrive& fake, const DriveAnswers::RealDrives&) {
        RealNvmeDrive(logName, model, serial, firmware, sizeBytes).ApplyTo(fake);
    };
}

// The NVMe drive of the real log `logName` in a USB enclosure whose Realtek bridge reports its
// own strings and hands the log and Identify Controller over through its vendor command.
ScriptDrive NvmeInRealtekEnclosure(std::string_view logName, std::string_view model, std::string_view serial,
                                   std::string_view firmware, std::int64_t sizeBytes)
{
    return [=](FakeDrive& fake, const DriveAnswers::RealDrives&) {
        DriveAnswers::InNvmeEnclosure(RealNvmeDrive(logName, "RTL9210 NVME", "012345678906", "1.00", sizeBytes),
                                      NvmeBridge::Family::Realtek, L"USB\\VID_0BDA&PID_9210\\012345678906",
                                      DriveAnswers::IdentifyController(model, serial, firmware))
            .ApplyTo(fake);
    };
}

// The demo's drives, by drive number from 0 up.
std::vector<ScriptDrive> DemoDrives()
{
    return {
        AtaDrive("WDC_WD20EARS-00MVWB0", kDemoCapacities[0], Health::Good),
        AtaDrive("SAMSUNG_HD501LJ--CR100-12", kDemoCapacities[1], Health::FailurePredicted),
        AtaDrive("KINGSTON_SA400S37240G_SBFK71B1", kDemoCapacities[2], Health::Good),
        AtaDrive("INTEL_SSDSA2CW120G3--4PC10302", kDemoCapacities[3], Health::Good),
        AtaDrive("Hitachi_HDS721010CLA632", kDemoCapacities[4], Health::Good),
        NvmeDrive("scrutiny_intel_SSDPEKNW010T8", "INTEL SSDPEKNW010T8", "BTNH93710FS91P0B", "002C",
                  kDemoCapacities[5]),
        AtaDrive("Maxtor_6Y120P0", kDemoCapacities[6], Health::Good, Attachment::UsbDock),
        NvmeInRealtekEnclosure("scrutiny_samsung_970evo_mediaerr", "Samsung SSD 970 EVO 500GB", "S466NX0K712345A",
                               "2B2QEXE7", kDemoCapacities[7]),
    };
}

bool InstallDemoDrives()
{
    const auto real = DriveAnswers::LoadRealDrives(DriveAnswers::SmartPagesDir(OSTREVANE_SMART_PAGES_DIR));
    const std::vector<ScriptDrive> drives = DemoDrives();
    std::map<int, FakeSurface> surfaces = FakeSurface::Load(FakeSurface::DemoFile(OSTREVANE_DEMO_SURFACES));
    for (std::size_t number = 0; number < drives.size(); ++number) {
        FakeDrive& drive = FakeKernel::Drive(static_cast<int>(number));
        drives[number](drive, real);
        // A drive with no row reads everywhere at the default rate.
        drive.WithSurface(std::move(surfaces[static_cast<int>(number)]));
    }
    return true;
}

[[maybe_unused]] const bool g_installed = InstallDemoDrives();

} // namespace
