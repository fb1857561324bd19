#include "diskinfo/DiskInfo.h"

#include "diskinfo/Assessment.h"
#include "diskinfo/DeviceAnswers.h"
#include "diskinfo/DiskProbe.h"
#include "diskinfo/SatPassThrough.h"
#include "diskinfo/Volumes.h"
#include "text/Decimal.h"

#include <winioctl.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>

namespace {

// The request codes and answer layouts as the SDK publishes them; the asserts keep this
// file honest against headers that differ between toolchains.
static_assert(IOCTL_DISK_GET_LENGTH_INFO == 0x7405C);
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x2D1400);
static_assert(IOCTL_STORAGE_PREDICT_FAILURE == 0x2D1100);

static_assert(sizeof(GET_LENGTH_INFORMATION) == 8);
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == DeviceAnswers::kProductIdOffsetField);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset) == DeviceAnswers::kProductRevisionOffsetField);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == DeviceAnswers::kSerialNumberOffsetField);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == DeviceAnswers::kBusTypeField);
static_assert(sizeof(STORAGE_PREDICT_FAILURE) == 516);
static_assert(BusTypeRAID == DriveDetails::kBusTypeRaid);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == DeviceAnswers::kVendorIdOffsetField);
static_assert(BusTypeVirtual == DeviceAnswers::kBusTypeVirtual);
static_assert(BusTypeFileBackedVirtual == DeviceAnswers::kBusTypeFileBackedVirtual);
static_assert(StorageDeviceTemperatureProperty == DeviceAnswers::kTemperatureProperty);
// Debian's mingw-w64 headers do not have the temperature descriptor yet; where a toolchain's do,
// the reader's offsets are held to them.
#ifdef STORAGE_TEMPERATURE_VALUE_NOT_REPORTED
static_assert(offsetof(STORAGE_TEMPERATURE_DATA_DESCRIPTOR, Size) == DeviceAnswers::kTemperatureSizeField);
static_assert(offsetof(STORAGE_TEMPERATURE_DATA_DESCRIPTOR, InfoCount) == DeviceAnswers::kTemperatureCountField);
static_assert(offsetof(STORAGE_TEMPERATURE_DATA_DESCRIPTOR, TemperatureInfo) == DeviceAnswers::kTemperatureInfoOffset);
static_assert(sizeof(STORAGE_TEMPERATURE_INFO) == DeviceAnswers::kTemperatureInfoSize);
static_assert(offsetof(STORAGE_TEMPERATURE_INFO, Temperature) == DeviceAnswers::kTemperatureValueField);
#endif

bool g_standardRequestsOnly = false;

// IOCTL_STORAGE_QUERY_PROPERTY of one property's standard descriptor, into `answer`.
bool QueryProperty(HANDLE device, STORAGE_PROPERTY_ID property, std::span<std::uint8_t> answer)
{
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = property;
    query.QueryType = PropertyStandardQuery;
    return DiskProbe::Request(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), answer.data(),
                              answer.size());
}

void QueryCapacity(const Probe& probe)
{
    GET_LENGTH_INFORMATION length{};
    if (DiskProbe::Request(probe.device, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof(length))) {
        probe.info.sizeBytes = length.Length.QuadPart;
    }
}

void QueryFailurePrediction(const Probe& probe)
{
    STORAGE_PREDICT_FAILURE prediction{};
    probe.details.predictionAnswered = DiskProbe::Request(probe.device, IOCTL_STORAGE_PREDICT_FAILURE, nullptr, 0,
                                                          &prediction, sizeof(prediction));
    probe.info.failurePredicted = probe.details.predictionAnswered && prediction.PredictFailure != 0;
}

// The health figures by the first route that answers, given the drive's bus. A hypervisor's
// disk has none to give, and a USB bridge's tunnels are vendor requests.
void QueryHealth(const Probe& probe, std::optional<std::uint32_t> busType)
{
    if (probe.details.virtualDisk || DiskProbe::QuerySmartAttributes(probe)) {
        return;
    }
    if (busType == SatPassThrough::kBusTypeUsb) {
        if (!probe.details.standardOnly && !DiskProbe::QueryUsbBridge(probe)) {
            DiskProbe::QueryNvmeBridge(probe);
        }
    } else {
        DiskProbe::QueryNvmeHealthLog(probe);
    }
}

// Windows' own temperature query, which a driver of any bus may answer, for a drive whose routes
// gave none: a RAID array, a SCSI or SAS disk, a virtual disk.
void QueryTemperature(const Probe& probe)
{
    alignas(8) std::array<std::uint8_t, DeviceAnswers::kTemperatureAnswerSize> answer{};
    if (probe.info.temperature < 0 && QueryProperty(probe.device, StorageDeviceTemperatureProperty, answer)) {
        probe.info.temperature = DeviceAnswers::StorageTemperature(answer).value_or(-1);
    }
}

// Opens the drive, fills every field of `fresh.info` and the pages its health comes from, and,
// `forDetails`, what only the details view shows; closes the drive before it returns. The
// details read the partitions' first sectors, unbuffered as the scan reads, given `fileSystems`.
KernelHandle OpenDrive(std::int32_t driveNumber, bool unbuffered)
{
    const std::wstring path = DiskManager::PhysicalDrivePath(driveNumber);
    return KernelHandle(Kernel::CreateFileW(path.c_str(), GENERIC_READ, DiskProbe::kShareReadWrite, nullptr,
                                            OPEN_EXISTING, unbuffered ? FILE_FLAG_NO_BUFFERING : 0, nullptr));
}

bool ProbeDrive(std::int32_t driveNumber, DriveDetails& fresh, bool forDetails, bool fileSystems = false)
{
    DriveInfo& info = fresh.info;
    const std::wstring path = DiskManager::PhysicalDrivePath(driveNumber);
    const KernelHandle device = OpenDrive(driveNumber, forDetails);
    if (!device) {
        return false;
    }

    info.index = driveNumber;
    info.model = L"Unknown";
    info.serialNumber = L"Unknown";
    info.firmware = L"Unknown";
    info.sizeBytes = 0;
    info.failurePredicted = false;
    info.health = L"Good";
    info.temperature = -1;
    info.powerOnHours = -1;
    info.powerCycles = -1;
    fresh.standardOnly = g_standardRequestsOnly;

    const Probe probe{device.Get(), path, driveNumber, info, fresh};
    QueryCapacity(probe);
    fresh.busType = DiskProbe::QueryIdentity(probe);
    QueryFailurePrediction(probe);
    // A RAID driver fails them all, and a malformed vendor request is known to crash one: only
    // its own pass-through, built to its published sizes, goes there.
    if (!fresh.BehindRaid()) {
        QueryHealth(probe, fresh.busType);
    } else if (!DiskManager::StandardRequestsOnly()) {
        DiskProbe::QueryRaid(probe);
    }
    QueryTemperature(probe);
    info.health = Assessment::Of(fresh).Health();
    if (forDetails) {
        fresh.layout = Volumes::QueryLayout(device.Get());
        if (fresh.layout && fileSystems) {
            Volumes::ReadFileSystems(device.Get(), *fresh.layout);
        }
    }
    return true;
}

} // namespace

// The bus type, when the descriptor was answered: it decides which SMART route a drive takes.
std::optional<std::uint32_t> DiskProbe::QueryIdentity(const Probe& probe)
{
    alignas(8) std::array<std::uint8_t, DeviceAnswers::kDescriptorAnswerSize> answer{};
    if (!QueryProperty(probe.device, StorageDeviceProperty, answer)) {
        return std::nullopt;
    }
    const auto fill = [&answer](std::size_t offsetField, std::wstring& field) {
        if (const auto text = DeviceAnswers::DescriptorString(answer, offsetField)) {
            field = DiskManager::TrimString(text->data(), text->size());
        }
    };
    fill(DeviceAnswers::kProductIdOffsetField, probe.info.model);
    fill(DeviceAnswers::kSerialNumberOffsetField, probe.info.serialNumber);
    fill(DeviceAnswers::kProductRevisionOffsetField, probe.info.firmware);
    probe.details.virtualDisk = DeviceAnswers::DescriptorNamesVirtualDisk(answer);
    return DeviceAnswers::DescriptorBusType(answer);
}

void DiskManager::SetStandardRequestsOnly(bool standardOnly)
{
    g_standardRequestsOnly = standardOnly;
}

bool DiskManager::StandardRequestsOnly()
{
    return g_standardRequestsOnly;
}

std::wstring DiskManager::PhysicalDrivePath(std::int32_t driveNumber)
{
    return L"\\\\.\\PhysicalDrive" + SignedDecimal(driveNumber);
}

std::vector<DriveInfo> DiskManager::EnumerateDrives()
{
    const std::vector<DriveLayout::Volume> volumes = Volumes::Discover();
    std::vector<DriveInfo> drives;
    for (std::int32_t driveNumber = 0; driveNumber < kMaxDrives; ++driveNumber) {
        DriveInfo info;
        if (GetDriveInfo(driveNumber, info)) {
            info.volumes = DriveLayout::MountNames(volumes, static_cast<std::uint32_t>(driveNumber));
            drives.push_back(info);
        }
    }
    return drives;
}

bool DiskManager::GetDriveInfo(std::int32_t driveNumber, DriveInfo& info)
{
    DriveDetails details;
    if (!GetDriveHealth(driveNumber, details)) {
        return false;
    }
    info = std::move(details.info);
    return true;
}

bool DiskManager::GetDriveHealth(std::int32_t driveNumber, DriveDetails& details)
{
    DriveDetails fresh;
    if (!ProbeDrive(driveNumber, fresh, false)) {
        return false;
    }
    details = std::move(fresh);
    return true;
}

bool DiskManager::GetDriveDetails(std::int32_t driveNumber, DriveDetails& details, bool fileSystems)
{
    DriveDetails fresh;
    if (!ProbeDrive(driveNumber, fresh, true, fileSystems)) {
        return false;
    }
    const auto disk = static_cast<std::uint32_t>(driveNumber);
    for (DriveLayout::Volume& volume : Volumes::Discover()) {
        if (DriveLayout::LiesOn(volume, disk)) {
            fresh.volumes.push_back(std::move(volume));
        }
    }
    fresh.info.volumes = DriveLayout::MountNames(fresh.volumes, disk);
    details = std::move(fresh);
    return true;
}

void DiskManager::ReadFileSystems(std::int32_t driveNumber, DriveLayout::Layout& layout)
{
    if (const KernelHandle device = OpenDrive(driveNumber, true)) {
        Volumes::ReadFileSystems(device.Get(), layout);
    }
}

std::wstring DiskManager::TrimString(const char* text, std::uint64_t length)
{
    if (text == nullptr || length == 0) {
        return {};
    }
    const std::string_view trimmed =
        DeviceAnswers::TrimBlanks(std::string_view(text, static_cast<std::size_t>(length)));
    if (trimmed.empty()) {
        return {};
    }
    // The conversion takes a NUL-terminated copy, so it never reads past the given bytes.
    const std::string terminated(trimmed);
    const int count = Kernel::MultiByteToWideChar(CP_ACP, 0, terminated.c_str(), -1, nullptr, 0);
    if (count <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    if (Kernel::MultiByteToWideChar(CP_ACP, 0, terminated.c_str(), -1, wide.data(), count) <= 0) {
        return {};
    }
    if (!wide.empty() && wide.back() == L'\0') {
        wide.pop_back();
    }
    return wide;
}
