// The demo build: the real programs (the window program with its whole user interface, and the
// console program) over fake drives that answer with the SMART pages and identity strings of
// real drives, with the partition tables and volumes of a real machine. For tests and pictures
// only; it is never shipped. The drives are scripted before WinMain or main runs.
#include "DemoCapacities.h"
#include "DriveAnswers.h"
#include "FakeKernel.h"
#include "diskinfo/DriveLogs.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using ScriptDrive = std::function<void(FakeDrive&, const DriveAnswers::RealDrives&)>;
using Logs = std::map<std::uint8_t, DriveAnswers::Bytes>;

enum class Health { Good, FailurePredicted };
enum class Attachment { Sata, UsbDock };

// A SATA drive that answers every request with the SMART pages and the padded identity strings
// of the real drive `name`, at a capacity of `sizeBytes`; in a USB dock, its bridge answers the
// SMART pages and IDENTIFY DEVICE instead of the ATA SMART requests, and the descriptor holds
// the bridge's own strings. The drive gives `logs` to SMART READ LOG, by log address.
ScriptDrive AtaDrive(std::string_view name, std::int64_t sizeBytes, Health health,
                     Attachment attachment = Attachment::Sata, Logs logs = {})
{
    return [name, sizeBytes, health, attachment, logs](FakeDrive& fake, const DriveAnswers::RealDrives& real) {
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
        drive.smartLogs = logs;
        // A drive with the extended logs names General Purpose Logging in its IDENTIFY DEVICE.
        if (logs.count(DriveLogs::kExtSelfTestLogAddress) != 0) {
            drive.ataIdentify = DriveAnswers::IdentifyDevice(DriveAnswers::Unpadded(it->model),
                                                             DriveAnswers::Unpadded(it->serial),
                                                             DriveAnswers::Unpadded(it->firmware), true);
        }
        if (attachment == Attachment::Sata) {
            drive.ApplyTo(fake);
            return;
        }
        drive.descriptor = DriveAnswers::Descriptor().Model("USB to ATA/ATAPI Bridge").Serial("000000000037").Firmware("0203");
        DriveAnswers::InUsbDock(drive, DriveAnswers::IdentifyDevice(DriveAnswers::Unpadded(it->model),
                                                                    DriveAnswers::Unpadded(it->serial),
                                                                    DriveAnswers::Unpadded(it->firmware)))
            .ApplyTo(fake);
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
// the real drive `logName` among the NVMe health logs; the drive still opens without it. Its
// Identify Controller says it runs self-tests, and its self-test log holds `selfTests`.
ScriptDrive NvmeDrive(std::string_view logName, std::string_view model, std::string_view serial,
                      std::string_view firmware, std::int64_t sizeBytes, DriveAnswers::Bytes selfTests)
{
    return [=](FakeDrive& fake, const DriveAnswers::RealDrives&) {
        DriveAnswers::Drive drive = RealNvmeDrive(logName, model, serial, firmware, sizeBytes);
        constexpr std::size_t kOacs = 256;
        constexpr std::uint8_t kSecurityFormatFirmwareSelfTest = 0x17;
        drive.nvmeIdentify = DriveAnswers::IdentifyController(model, serial, firmware);
        drive.nvmeIdentify->at(kOacs) = kSecurityFormatFirmwareSelfTest;
        drive.nvmeSelfTests = selfTests;
        drive.ApplyTo(fake);
    };
}

// The failing drive's own history: its last extended self-test ended in a read failure, as did
// an earlier one and a short one, and its reads in uncorrectable errors, all at LBAs inside the
// unreadable ranges of its demo surface; interface CRC errors at sectors that read well. A drive
// of 976,773,168 sectors, beyond the summary error log's 28 bits: it keeps the extended logs too,
// with the same entries, and names them in IDENTIFY DEVICE.
Logs FailingDriveLogs()
{
    const std::initializer_list<DriveAnswers::SelfTestEntry> selfTests{
        {1, 0x00, 6511}, {2, 0x00, 6602}, {2, 0x76, 7105, 350000123}, {1, 0x72, 7240, 204799999}, {2, 0x79, 7301, 61000013}};
    const std::initializer_list<DriveAnswers::ErrorEntry> errors{{0x25, 0x84, 1234511, 6950},
                                                                 {0x25, 0x84, 1234567, 6950},
                                                                 {0x25, 0x40, 204799999, 7188},
                                                                 {0x25, 0x40, 204799999, 7189},
                                                                 {0x25, 0x40, 61000013, 7301}};
    return {{DriveLogs::kSelfTestLogAddress, DriveAnswers::AtaSelfTestLog(selfTests)},
            {DriveLogs::kErrorLogAddress, DriveAnswers::AtaErrorLog(14, errors)},
            {DriveLogs::kExtSelfTestLogAddress, DriveAnswers::AtaExtSelfTestLog(selfTests)},
            {DriveLogs::kExtErrorLogAddress, DriveAnswers::AtaExtErrorLog(14, errors)}};
}

// An SSD's device statistics, as its attributes give them: hours, resets, 9,251 GiB written and
// 4,563 GiB read, its temperatures and 7 % of its endurance used.
Logs SsdStatistics()
{
    constexpr std::uint64_t kSectorsPerGiB = 2097152;
    return {{DriveLogs::kStatisticsAddress, DriveAnswers::DeviceStatistics({{1, 0x08, 3096},
                                                                            {1, 0x10, 9002},
                                                                            {1, 0x18, 9251 * kSectorsPerGiB},
                                                                            {1, 0x28, 4563 * kSectorsPerGiB},
                                                                            {5, 0x08, 26},
                                                                            {5, 0x20, 54},
                                                                            {5, 0x28, 14},
                                                                            {5, 0x58, 70},
                                                                            {7, 0x08, 7}})}};
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

// A RAID-0 array of the real drives `members`, each of 976,773,168 sectors, behind port 0 of
// Intel's RST driver iaStorAC: the array's drive answers its capacity, its descriptor (bus type
// RAID) and its address; the members' pages and IDENTIFY DEVICE come through the port's CSMI.
ScriptDrive RaidArray(std::vector<std::string_view> members, std::int64_t sizeBytes)
{
    return [members, sizeBytes](FakeDrive& fake, const DriveAnswers::RealDrives& real) {
        constexpr std::uint64_t kSectors = 976'773'168;
        DriveAnswers::Miniport port;
        port.driver = "iaStorAC";
        for (const std::string_view name : members) {
            const auto it = std::find_if(real.drives.begin(), real.drives.end(),
                                         [name](const DriveAnswers::RealDrive& drive) { return drive.name == name; });
            if (it == real.drives.end()) {
                continue;
            }
            const DriveAnswers::Bytes identify =
                DriveAnswers::IdentifyDevice(DriveAnswers::Unpadded(it->model), DriveAnswers::Unpadded(it->serial),
                                             DriveAnswers::Unpadded(it->firmware), false, 512, kSectors);
            port.devices.push_back({identify, it->page, it->thresholds, {}});
        }
        FakeKernel::Port(0).answers[DriveAnswers::kScsiMiniport] = [port](const FakeBytes& input) { return port.Answer(input); };
        DriveAnswers::Drive array;
        array.sizeBytes = sizeBytes;
        array.descriptor = DriveAnswers::Descriptor().Model("Intel Raid 0 Volume").Firmware("1.0.00").BusType(8);
        array.predictFailure = 0;
        array.scsiAddress = DriveAnswers::ScsiAddress(0, 0);
        array.ApplyTo(fake);
    };
}

// An NVMe drive at target 0 of port 1 of Intel's VMD driver iaStorVD: the drive answers its
// capacity, its descriptor (bus type RAID, the driver's own strings) and its address; its health
// log (of the real drive `logName`), Identify Controller, its self-tests and an empty error log
// come through the driver's NVMe pass-through.
ScriptDrive NvmeBehindVmd(std::string_view logName, std::string_view model, std::string_view serial,
                          std::string_view firmware, std::int64_t sizeBytes)
{
    return [=](FakeDrive& fake, const DriveAnswers::RealDrives&) {
        DriveAnswers::Miniport port;
        port.driver = "iaStorVD";
        port.nvme.log = RealNvmeDrive(logName, model, serial, firmware, sizeBytes).nvmeLog;
        port.nvme.identify = DriveAnswers::IdentifyController(model, serial, firmware);
        port.nvme.identify->at(256) = 0x17; // OACS: security, format, firmware, self-test
        port.nvme.identify->at(262) = 63;   // ELPE: 64 entries
        port.nvme.selfTests = DriveAnswers::NvmeSelfTestLog({{1, 0, 57260, {}}, {2, 0, 57113, {}}});
        port.nvme.errors = DriveAnswers::Bytes(4096, 0);
        FakeKernel::Port(1).answers[DriveAnswers::kScsiMiniport] = [port](const FakeBytes& input) { return port.Answer(input); };
        DriveAnswers::Drive drive;
        drive.sizeBytes = sizeBytes;
        drive.descriptor = DriveAnswers::Descriptor().Model("NVMe " + std::string(model.substr(0, 20))).Firmware(firmware).BusType(8);
        drive.predictFailure = 0;
        drive.scsiAddress = DriveAnswers::ScsiAddress(1, 0);
        drive.ApplyTo(fake);
    };
}

// The demo's drives, by drive number from 0 up.
std::vector<ScriptDrive> DemoDrives()
{
    return {
        AtaDrive("WDC_WD20EARS-00MVWB0", kDemoCapacities[0], Health::Good),
        AtaDrive("SAMSUNG_HD501LJ--CR100-12", kDemoCapacities[1], Health::FailurePredicted, Attachment::Sata,
                 FailingDriveLogs()),
        AtaDrive("KINGSTON_SA400S37240G_SBFK71B1", kDemoCapacities[2], Health::Good, Attachment::Sata, SsdStatistics()),
        AtaDrive("INTEL_SSDSA2CW120G3--4PC10302", kDemoCapacities[3], Health::Good),
        AtaDrive("Hitachi_HDS721010CLA632", kDemoCapacities[4], Health::Good),
        NvmeDrive("scrutiny_intel_SSDPEKNW010T8", "INTEL SSDPEKNW010T8", "BTNH93710FS91P0B", "002C",
                  kDemoCapacities[5], DriveAnswers::NvmeSelfTestLog({{1, 0, 2398, {}}, {2, 0, 2210, {}}, {1, 0, 2209, {}}})),
        AtaDrive("Maxtor_6Y120P0", kDemoCapacities[6], Health::Good, Attachment::UsbDock),
        NvmeInRealtekEnclosure("scrutiny_samsung_970evo_mediaerr", "Samsung SSD 970 EVO 500GB", "S466NX0K712345A",
                               "2B2QEXE7", kDemoCapacities[7]),
        RaidArray({"WDC_WD5000AAKS--00TMA0-12.01C01", "SAMSUNG_MP0804H--UE100-14"}, kDemoCapacities[8]),
        NvmeBehindVmd("exporter_intel_SSDPEDMD016T4_poh57288", "INTEL SSDPEDMD016T4", "CVFT5123000D1P6DGN",
                      "8DV10171", kDemoCapacities[9]),
    };
}

constexpr std::int64_t kMiB = std::int64_t{1} << 20;
constexpr std::int64_t kGiB = std::int64_t{1} << 30;
constexpr char kEfi[] = "{C12A7328-F81F-11D2-BA4B-00A0C93EC93B}";
constexpr char kReserved[] = "{E3C9E316-0B5C-4DB8-817D-F92DF00215AE}";
constexpr char kBasicData[] = "{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}";
constexpr char kRecovery[] = "{DE94BBA4-06D1-4D40-A16A-BFD50179D6AC}";
constexpr char kLinux[] = "{0FC63DAF-8483-4772-8E79-3D69D8477DE4}";

// A volume on one partition of `drive`, mounted at `paths`; the partition starts with the
// first sectors of `fileSystem`, when one is named.
void AddVolume(int drive, std::int64_t start, std::int64_t length, std::vector<std::wstring> paths,
               std::string_view fileSystem)
{
    static int next = 0;
    FakeVolume& volume =
        FakeKernel::AddVolume(L"\\\\?\\Volume{5f1c0a3e-0000-4000-8000-00000000000" + std::to_wstring(next++) + L"}\\");
    volume.extents = DriveAnswers::Extents({{static_cast<std::uint32_t>(drive), start, length}});
    volume.paths = std::move(paths);
    if (!fileSystem.empty()) {
        FakeKernel::Drive(drive).contents[static_cast<std::uint64_t>(start)] = DriveAnswers::FileSystemStart(fileSystem);
    }
}

// The failing drive's NTFS volumes, which mkntfs and ntfscp made at build time, each on a
// partition placed so that its file lies on an unreadable range.
void InstallFailingDrivesVolumes(DriveAnswers::Layout& layout)
{
    for (DriveAnswers::MadeVolume& volume : DriveAnswers::LoadMadeVolumes(OSTREVANE_DEMO_VOLUMES)) {
        const auto start = static_cast<std::int64_t>(volume.firstLba * 512);
        const auto length = static_cast<std::int64_t>(volume.sectors * 512);
        layout.Mbr(volume.number, start, length, 0x07);
        AddVolume(1, start, length, volume.number == 1 ? std::vector<std::wstring>{L"D:\\"} : std::vector<std::wstring>{}, "");
        for (auto& [at, bytes] : volume.contents) {
            FakeKernel::Drive(1).contents[static_cast<std::uint64_t>(start) + at] = std::move(bytes);
        }
    }
}

// Partition tables and volumes like a real machine's: a GPT Windows disk, an MBR data disk with
// small NTFS volumes whose files lie on its unreadable ranges, a Linux disk Windows mounts nothing of, a disk without a partition table, a backup disk
// mounted in a folder, the NVMe drive with two volumes and the USB dock's exFAT volume.
void InstallLayouts()
{
    using Layout = DriveAnswers::Layout;
    const std::int64_t windows = 1862 * kGiB;
    FakeKernel::Drive(0).Answer(DriveAnswers::kGetDriveLayoutEx,
                                Layout(1).DiskId("{3E8B6C41-27D5-4F0A-9C1B-6D2E4F7A8B90}")
                                    .Gpt(1, kMiB, 100 * kMiB, kEfi, "EFI system partition")
                                    .Gpt(2, 101 * kMiB, 16 * kMiB, kReserved, "Microsoft reserved partition")
                                    .Gpt(3, 117 * kMiB, windows, kBasicData, "Basic data partition")
                                    .Gpt(4, 117 * kMiB + windows, 650 * kMiB, kRecovery, "")
                                    .Build());
    AddVolume(0, kMiB, 100 * kMiB, {}, "FAT32");
    AddVolume(0, 117 * kMiB, windows, {L"C:\\"}, "NTFS");
    AddVolume(0, 117 * kMiB + windows, 650 * kMiB, {}, "NTFS");

    Layout failing(0);
    failing.Signature(0x7C3A91E5);
    InstallFailingDrivesVolumes(failing);
    FakeKernel::Drive(1).Answer(DriveAnswers::kGetDriveLayoutEx, failing.Mbr(0, 0, 0, 0).Build());

    FakeKernel::Drive(2).Answer(DriveAnswers::kGetDriveLayoutEx,
                                Layout(1).DiskId("{9A0D2E77-4C1B-4E5F-8A36-0B1C2D3E4F50}")
                                    .Gpt(1, kMiB, 512 * kMiB, kEfi, "")
                                    .Gpt(2, 513 * kMiB, 223 * kGiB, kLinux, "root")
                                    .Build());
    AddVolume(2, kMiB, 512 * kMiB, {}, "FAT32");
    FakeKernel::Drive(2).contents[static_cast<std::uint64_t>(513 * kMiB)] = DriveAnswers::FileSystemStart("ext4");

    FakeKernel::Drive(3).Answer(DriveAnswers::kGetDriveLayoutEx, Layout(2).Build());

    FakeKernel::Drive(4).Answer(DriveAnswers::kGetDriveLayoutEx,
                                Layout(1).DiskId("{C4F1E2D3-5B6A-4978-8D9C-0E1F2A3B4C5D}")
                                    .Gpt(1, 17 * kMiB, 931 * kGiB, kBasicData, "Backup")
                                    .Build());
    AddVolume(4, 17 * kMiB, 931 * kGiB, {L"C:\\Backup\\"}, "NTFS");

    FakeKernel::Drive(5).Answer(DriveAnswers::kGetDriveLayoutEx,
                                Layout(1).DiskId("{0B7E5A19-8C2D-4F3E-9A1B-2C3D4E5F6071}")
                                    .Gpt(1, kMiB, 400 * kGiB, kBasicData, "Projects")
                                    .Gpt(2, 400 * kGiB + kMiB, 553 * kGiB, kBasicData, "Games")
                                    .Build());
    AddVolume(5, kMiB, 400 * kGiB, {L"E:\\"}, "NTFS");
    AddVolume(5, 400 * kGiB + kMiB, 553 * kGiB, {L"F:\\"}, "NTFS");

    FakeKernel::Drive(6).Answer(DriveAnswers::kGetDriveLayoutEx,
                                Layout(0).Signature(0x0DD5EA5E).Mbr(1, kMiB, 114 * kGiB, 0x07).Build());
    AddVolume(6, kMiB, 114 * kGiB, {L"G:\\"}, "exFAT");
}

// OSTREVANE_DEMO_DRIVES, when set, names the drives to keep by number, comma-separated ("2,3,5"):
// the others are taken out, so that a test sees the set of drives it chooses.
void KeepNamedDrives(std::size_t count)
{
    const char* named = std::getenv("OSTREVANE_DEMO_DRIVES");
    if (named == nullptr) {
        return;
    }
    const std::string list = "," + std::string(named) + ",";
    for (std::size_t number = 0; number < count; ++number) {
        if (list.find("," + std::to_string(number) + ",") == std::string::npos) {
            FakeKernel::RemoveDrive(static_cast<int>(number));
        }
    }
}

// OSTREVANE_DEMO_HANG, when set to "DRIVE:LBA", makes the read that touches that LBA of that
// drive's surface hang until it is cancelled, as a read of a weak sector can, so that a test can
// stop a scan while it hangs there.
void HangWhereNamed(std::map<int, FakeSurface>& surfaces)
{
    const char* named = std::getenv("OSTREVANE_DEMO_HANG");
    int drive = 0;
    unsigned long long lba = 0;
    if (named != nullptr && std::sscanf(named, "%d:%llu", &drive, &lba) == 2) {
        surfaces[drive].hangAtLba = lba;
    }
}

// OSTREVANE_DEMO_SMART_ONCE names a drive that answers each SMART request once, as a bridge that gives up.
void AnswerSmartOnceWhereNamed()
{
    if (const char* named = std::getenv("OSTREVANE_DEMO_SMART_ONCE")) {
        FakeAnswer& answer = FakeKernel::Drive(std::atoi(named)).answers[DriveAnswers::kSmartRcvDriveData];
        answer = [first = answer, asked = std::make_shared<std::set<FakeBytes>>()](const FakeBytes& input) {
            return first && asked->insert(input).second ? first(input) : std::nullopt;
        };
    }
}

bool InstallDemoDrives()
{
    const auto real = DriveAnswers::LoadRealDrives(DriveAnswers::SmartPagesDir(OSTREVANE_SMART_PAGES_DIR));
    const std::vector<ScriptDrive> drives = DemoDrives();
    std::map<int, FakeSurface> surfaces = FakeSurface::Load(FakeSurface::DemoFile(OSTREVANE_DEMO_SURFACES));
    HangWhereNamed(surfaces);
    for (std::size_t number = 0; number < drives.size(); ++number) {
        FakeDrive& drive = FakeKernel::Drive(static_cast<int>(number));
        drives[number](drive, real);
        // A drive with no row reads everywhere at the default rate.
        drive.WithSurface(std::move(surfaces[static_cast<int>(number)]));
    }
    AnswerSmartOnceWhereNamed();
    InstallLayouts();
    KeepNamedDrives(drives.size());
    return true;
}

[[maybe_unused]] const bool g_installed = InstallDemoDrives();

} // namespace
