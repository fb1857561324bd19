#include "diskinfo/Assessment.h"
#include "diskinfo/Csmi.h"
#include "diskinfo/DiskProbe.h"
#include "text/Decimal.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The request codes and layouts as the SDK publishes them, against the offsets the CSMI
// buffers are built with.
static_assert(IOCTL_SCSI_GET_ADDRESS == 0x41018);
static_assert(((IOCTL_SCSI_MINIPORT >> 14) & 3) == (FILE_READ_ACCESS | FILE_WRITE_ACCESS));
static_assert(sizeof(SCSI_ADDRESS) == 8);
static_assert(offsetof(SCSI_ADDRESS, PortNumber) == 4);
static_assert(offsetof(SCSI_ADDRESS, PathId) == 5);
static_assert(offsetof(SCSI_ADDRESS, TargetId) == 6);
static_assert(offsetof(SCSI_ADDRESS, Lun) == 7);
// SRB_IO_CONTROL's other fields are held against the SDK where the RST NVMe route builds them.
static_assert(offsetof(SRB_IO_CONTROL, HeaderLength) == SrbIoControl::kHeaderLengthAt);
static_assert(BusTypeSata == 11);

// The drivers whose CSMI these requests were written for: Intel's RST and VMD drivers, then
// AMD's RAID driver, whose default "limited" CSMI allows reads. No other is sent more than
// GET_DRIVER_INFO.
constexpr std::array<std::string_view, 5> kReadDrivers{"iaStorA", "iaStorAC", "iaStorAVC", "iaStorVD", "rcraid"};
constexpr std::ptrdiff_t kIntelDrivers = 4;

std::optional<ScsiAddress> AddressOf(HANDLE device)
{
    SCSI_ADDRESS address{};
    if (!DiskProbe::Request(device, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address))) {
        return std::nullopt;
    }
    return ScsiAddress{address.PortNumber, address.PathId, address.TargetId, address.Lun};
}

// One CSMI request; the driver answers in the same buffer, which is as large as what it writes.
bool Miniport(HANDLE port, Csmi::Buffer& buffer)
{
    return DiskProbe::Request(port, IOCTL_SCSI_MINIPORT, buffer.data(), buffer.size(), buffer.data(), buffer.size());
}

// One PIO data-in command to a SATA device behind the port: its sectors, when all came.
std::optional<DiskProbe::LogSectors> Stp(HANDLE port, const Csmi::Device& device,
                                         const SatPassThrough::Registers& registers, std::size_t sectors)
{
    Csmi::Buffer buffer = Csmi::StpRequest(device, registers, sectors);
    if (!Miniport(port, buffer)) {
        return std::nullopt;
    }
    const auto data = Csmi::StpData(buffer, sectors * SatPassThrough::kPageSize);
    return data ? std::optional<DiskProbe::LogSectors>(std::in_place, data->begin(), data->end()) : std::nullopt;
}

using Counts = bool (*)(const SatPassThrough::Answer&);

// A page that counts by the rule a bridge's answer counts by.
std::optional<DriveDetails::Page> Page(HANDLE port, const Csmi::Device& device,
                                       const SatPassThrough::Registers& registers, Counts counts)
{
    const auto page = Stp(port, device, registers, 1);
    if (!page) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t, SatPassThrough::kPageSize> bytes(page->data(), SatPassThrough::kPageSize);
    if (!counts({true, SatPassThrough::kScsiStatusGood, SatPassThrough::kPageSize, bytes})) {
        return std::nullopt;
    }
    return DiskProbe::CopyPage(bytes);
}

struct SataDevice {
    Csmi::Device device;
    DriveDetails::Page identify;
    std::wstring serial;
};

std::wstring Trimmed(std::string_view text)
{
    return DiskManager::TrimString(text.data(), text.size());
}

// The device's SMART pages and logs into the drive `probe` stands for: the matched drive, or a
// member of the array.
void ReadDevice(const Probe& probe, HANDLE port, const SataDevice& sata)
{
    DriveDetails& details = probe.details;
    details.identify = sata.identify;
    details.smartData = Page(port, sata.device, SatPassThrough::SmartRegisters(AtaSmart::kFeatureReadData),
                             SatPassThrough::Answered);
    if (!details.smartData) {
        return;
    }
    details.smartThresholds = Page(port, sata.device, SatPassThrough::SmartRegisters(AtaSmart::kFeatureReadThresholds),
                                   SatPassThrough::Answered);
    DiskProbe::ApplySmartValues(DeviceAnswers::ParseSmartAttributes(*details.smartData), probe.info);
    DiskProbe::SetSource(probe, SmartSource::Csmi);
    // READ LOG EXT is no command of this route: the summary logs stand in for the extended ones.
    DiskProbe::ReadAtaLogs(
        probe,
        [port, &sata](std::uint8_t address, std::uint8_t sectors) {
            return Stp(port, sata.device, SatPassThrough::SmartLogRegisters(address, sectors), sectors);
        },
        [](std::uint8_t) { return std::optional<DiskProbe::LogSectors>(); });
}

// Leaves out of `devices` those that another drive behind the same port is on its own: their
// serial numbers from the storage descriptor and the address only, which every disk answers.
void LeaveOutSingleDrives(const Probe& probe, std::uint8_t port, std::vector<SataDevice>& devices)
{
    for (std::int32_t number = 0; number < DiskManager::kMaxDrives; ++number) {
        if (number == probe.driveNumber) {
            continue;
        }
        const std::wstring path = DiskManager::PhysicalDrivePath(number);
        const KernelHandle drive(Kernel::CreateFileW(path.c_str(), GENERIC_READ, DiskProbe::kShareReadWrite, nullptr,
                                                     OPEN_EXISTING, 0, nullptr));
        const auto address = drive ? AddressOf(drive.Get()) : std::nullopt;
        // The descriptor fills a record of its own: this drive's details are never touched.
        DriveInfo other;
        DriveDetails otherDetails;
        if (address && address->port == port &&
            DiskProbe::QueryIdentity({drive.Get(), path, number, other, otherDetails}) == DriveDetails::kBusTypeRaid) {
            std::erase_if(devices, [&](const SataDevice& device) { return device.serial == other.serialNumber; });
        }
    }
}

// A member of the array: its identity from IDENTIFY DEVICE, its figures as a drive's.
void ReadMember(const Probe& probe, HANDLE port, const SataDevice& sata, DriveDetails& member)
{
    DriveInfo& info = member.info;
    const SatPassThrough::Identity identity = SatPassThrough::IdentityOf(sata.identify);
    info.index = probe.driveNumber;
    info.model = Trimmed(identity.model.View());
    info.serialNumber = sata.serial;
    info.firmware = Trimmed(identity.firmware.View());
    info.temperature = -1;
    info.powerOnHours = -1;
    info.powerCycles = -1;
    member.busType = BusTypeSata;
    member.identify = sata.identify;
    info.sizeBytes = static_cast<std::int64_t>(Csmi::IdentifySectors(sata.identify) * Assessment::LogicalSectorSizeOf(member));
    ReadDevice({probe.device, probe.path, probe.driveNumber, info, member}, port, sata);
    info.health = Assessment::Of(member).Health();
}

} // namespace

// A drive behind a RAID driver: the driver is asked its name, and only the ones in the list
// above are asked more, each request once: the SATA devices on its phys, each one's IDENTIFY
// DEVICE, and the SMART pages and logs of the device whose serial number is the drive's; where
// none is, the drive is an array, whose members are the devices that no single drive is.
bool DiskProbe::QueryRaid(const Probe& probe)
{
    const auto address = AddressOf(probe.device);
    if (!address) {
        return false;
    }
    // Miniport requests are defined with read and write access, so the I/O manager refuses them
    // on a port opened for reading alone; none of those sent here writes.
    const std::wstring portPath = L"\\\\.\\Scsi" + Decimal(address->port) + L":";
    const KernelHandle port(Kernel::CreateFileW(portPath.c_str(), GENERIC_READ | GENERIC_WRITE, kShareReadWrite, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    if (!port) {
        return false;
    }
    Csmi::Buffer driverInfo = Csmi::DriverInfoRequest();
    const auto name = Miniport(port.Get(), driverInfo) ? Csmi::DriverName(driverInfo) : std::nullopt;
    if (!name) {
        return false;
    }
    probe.details.raidDriver = Trimmed(*name);
    const auto known = std::find(kReadDrivers.begin(), kReadDrivers.end(), *name);
    if (known == kReadDrivers.end()) {
        return false;
    }
    std::vector<SataDevice> devices;
    Csmi::Buffer phys = Csmi::PhyInfoRequest();
    if (Miniport(port.Get(), phys)) {
        for (const Csmi::Device& device : Csmi::SataDevices(phys)) {
            if (const auto identify =
                    Page(port.Get(), device, SatPassThrough::IdentifyRegisters(), SatPassThrough::IdentifyAnswered)) {
                devices.push_back({device, *identify, Trimmed(SatPassThrough::IdentityOf(*identify).serial.View())});
            }
        }
    }
    const auto own = std::find_if(devices.begin(), devices.end(), [&](const SataDevice& device) {
        return !device.serial.empty() && device.serial == probe.info.serialNumber;
    });
    if (own != devices.end()) {
        ReadDevice(probe, port.Get(), *own);
        return probe.details.smartData.has_value();
    }
    // Intel's drivers hand an NVMe drive's commands on through their own pass-through; a RAID
    // volume there is refused, and is an array where SATA drives are left for it.
    if (known < kReadDrivers.begin() + kIntelDrivers && QueryRstNvme(probe, port.Get(), *address)) {
        return true;
    }
    LeaveOutSingleDrives(probe, address->port, devices);
    // Made at their number at once: a vector of details that grew would move each of them.
    probe.details.members = std::vector<DriveDetails>(devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        ReadMember(probe, port.Get(), devices[i], probe.details.members[i]);
    }
    if (probe.details.members.empty()) {
        return false;
    }
    probe.details.rstRefused = false;
    SetSource(probe, SmartSource::Csmi);
    return true;
}
