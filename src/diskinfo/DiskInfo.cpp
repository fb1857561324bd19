#include "diskinfo/DiskInfo.h"

#include "diskinfo/AtaSmart.h"
#include "diskinfo/DeviceAnswers.h"
#include "diskinfo/SatPassThrough.h"
#include "kernel/KernelResources.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

namespace {

// The request codes and answer layouts as the SDK publishes them; the asserts keep this
// file honest against headers that differ between toolchains.
static_assert(IOCTL_DISK_GET_LENGTH_INFO == 0x7405C);
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x2D1400);
static_assert(IOCTL_STORAGE_PREDICT_FAILURE == 0x2D1100);
static_assert(SMART_GET_VERSION == 0x74080);
static_assert(SMART_RCV_DRIVE_DATA == 0x7C088);

static_assert(sizeof(GET_LENGTH_INFORMATION) == 8);
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == DeviceAnswers::kProductIdOffsetField);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset) == DeviceAnswers::kProductRevisionOffsetField);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == DeviceAnswers::kSerialNumberOffsetField);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == DeviceAnswers::kBusTypeField);
static_assert(sizeof(STORAGE_PREDICT_FAILURE) == 516);
static_assert(sizeof(GETVERSIONINPARAMS) == 24);
static_assert(sizeof(SENDCMDINPARAMS) == DeviceAnswers::kSmartCommandSize);
static_assert(offsetof(SENDCMDINPARAMS, irDriveRegs) == 4);
static_assert(offsetof(SENDCMDINPARAMS, bBuffer) == 32);
static_assert(offsetof(SENDCMDOUTPARAMS, bBuffer) == 16);

using NvmeLogProperty = DeviceAnswers::NvmeLogProperty;
static_assert(static_cast<STORAGE_PROPERTY_ID>(NvmeLogProperty::Device) == StorageDeviceProtocolSpecificProperty);
static_assert(static_cast<STORAGE_PROPERTY_ID>(NvmeLogProperty::Adapter) == StorageAdapterProtocolSpecificProperty);
static_assert(DeviceAnswers::kProtocolTypeNvme == ProtocolTypeNvme);
static_assert(DeviceAnswers::kNvmeDataTypeLogPage == NVMeDataTypeLogPage);
static_assert(offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) == DeviceAnswers::kPropertyQueryHeaderSize);
static_assert(sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA) == DeviceAnswers::kProtocolSpecificDataSize);
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolType) == 0);
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, DataType) == 4);
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestValue) == 8);
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestSubValue) == 12);
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataOffset) == DeviceAnswers::kProtocolDataOffsetField);
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataLength) == DeviceAnswers::kProtocolDataLengthField);
static_assert(offsetof(STORAGE_PROTOCOL_DATA_DESCRIPTOR, ProtocolSpecificData) ==
              DeviceAnswers::kProtocolDescriptorHeaderSize);
static_assert(sizeof(STORAGE_PROTOCOL_DATA_DESCRIPTOR) + DeviceAnswers::kNvmeLogSize ==
              DeviceAnswers::kNvmeLogAnswerSize);

// SCSI_PASS_THROUGH as 64-bit Windows lays it out (x64 and ARM64 alike): DataBufferOffset is
// pointer-sized, with padding before it and after the command block.
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004);
static_assert(((IOCTL_SCSI_PASS_THROUGH >> 14) & 3) == (FILE_READ_ACCESS | FILE_WRITE_ACCESS));
static_assert(SCSI_IOCTL_DATA_IN == 1);
static_assert(BusTypeUsb == SatPassThrough::kBusTypeUsb);
static_assert(sizeof(SCSI_PASS_THROUGH) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 36);
static_assert(sizeof(SCSI_PASS_THROUGH::Cdb) == std::tuple_size_v<SatPassThrough::Command>);

constexpr std::size_t kSmartAnswerSize = offsetof(SENDCMDOUTPARAMS, bBuffer) + DeviceAnswers::kSmartDataSize + 1;
static_assert(kSmartAnswerSize == 529);

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// A synchronous request whose answer is read from the caller's zero-filled buffer as it
// stands: the reported byte count says nothing a zero-filled buffer does not.
bool Request(HANDLE device, DWORD code, void* in, std::size_t inSize, void* out, std::size_t outSize)
{
    DWORD returned = 0;
    return Kernel::DeviceIoControl(device, code, in, static_cast<DWORD>(inSize), out, static_cast<DWORD>(outSize),
                                   &returned, nullptr) != FALSE;
}

// One drive while it is open: the read handle, what the inventory fills, and, when the details
// view asked, where the pages go.
struct Probe {
    HANDLE device;
    const std::wstring& path;
    std::int32_t driveNumber;
    DriveInfo& info;
    DriveDetails* details;
};

void QueryCapacity(const Probe& probe)
{
    GET_LENGTH_INFORMATION length{};
    if (Request(probe.device, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof(length))) {
        probe.info.sizeBytes = length.Length.QuadPart;
    }
}

// The bus type, when the descriptor was answered: it decides which SMART route a drive takes.
std::optional<std::uint32_t> QueryIdentity(const Probe& probe)
{
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(8) std::array<std::uint8_t, DeviceAnswers::kDescriptorAnswerSize> answer{};
    if (!Request(probe.device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), answer.data(), answer.size())) {
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
    return DeviceAnswers::DescriptorBusType(answer);
}

void QueryFailurePrediction(const Probe& probe)
{
    STORAGE_PREDICT_FAILURE prediction{};
    if (Request(probe.device, IOCTL_STORAGE_PREDICT_FAILURE, nullptr, 0, &prediction, sizeof(prediction)) &&
        prediction.PredictFailure != 0) {
        probe.info.failurePredicted = true;
        probe.info.health = L"Caution / Bad";
    }
}

using SmartAnswer = std::array<std::uint8_t, kSmartAnswerSize>;

std::span<const std::uint8_t, DeviceAnswers::kSmartDataSize> SmartPageOf(const SmartAnswer& answer)
{
    return std::span<const std::uint8_t, kSmartAnswerSize>(answer)
        .subspan<offsetof(SENDCMDOUTPARAMS, bBuffer), DeviceAnswers::kSmartDataSize>();
}

DriveDetails::Page CopyPage(std::span<const std::uint8_t, DeviceAnswers::kSmartDataSize> page)
{
    DriveDetails::Page copy{};
    std::copy(page.begin(), page.end(), copy.begin());
    return copy;
}

bool SmartCommand(HANDLE device, std::int32_t driveNumber, std::uint8_t features, SmartAnswer& answer)
{
    auto command = DeviceAnswers::SmartCommand(driveNumber, features);
    return Request(device, SMART_RCV_DRIVE_DATA, command.data(), command.size(), answer.data(), answer.size());
}

HANDLE OpenReadWrite(const Probe& probe)
{
    return Kernel::CreateFileW(probe.path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareReadWrite, nullptr,
                               OPEN_EXISTING, 0, nullptr);
}

// SMART_RCV_DRIVE_DATA and IOCTL_SCSI_PASS_THROUGH are defined with read and write access, so
// the I/O manager refuses them on a read-only handle. They alone go through a second,
// read-write handle that lives for the SMART commands of one route of one probe; where such a
// handle is refused, the read-only one still gets its chance at SMART_RCV_DRIVE_DATA.
class CommandHandle {
public:
    explicit CommandHandle(const Probe& probe)
        : m_readWrite(OpenReadWrite(probe)), m_device(m_readWrite ? m_readWrite.Get() : probe.device)
    {
    }

    HANDLE Get() const { return m_device; }

private:
    KernelHandle m_readWrite;
    HANDLE m_device;
};

// The thresholds page is read only for the details view.
bool ReadSmartPages(const Probe& probe, SmartAnswer& data)
{
    const CommandHandle handle(probe);
    const HANDLE device = handle.Get();
    if (!SmartCommand(device, probe.driveNumber, AtaSmart::kFeatureReadData, data)) {
        return false;
    }
    if (probe.details != nullptr) {
        probe.details->smartData = CopyPage(SmartPageOf(data));
        SmartAnswer thresholds{};
        if (SmartCommand(device, probe.driveNumber, AtaSmart::kFeatureReadThresholds, thresholds)) {
            probe.details->smartThresholds = CopyPage(SmartPageOf(thresholds));
        }
    }
    return true;
}

void ApplySmartValues(const DeviceAnswers::SmartValues& values, DriveInfo& info)
{
    info.temperature = values.temperature;
    info.powerOnHours = values.powerOnHours;
    info.powerCycles = values.powerCycles;
}

void SetSource(const Probe& probe, SmartSource source)
{
    if (probe.details != nullptr) {
        probe.details->source = source;
    }
}

// False when the drive answered no ATA SMART data at all, which is how NVMe drives answer.
bool QuerySmartAttributes(const Probe& probe)
{
    GETVERSIONINPARAMS version{};
    if (!Request(probe.device, SMART_GET_VERSION, nullptr, 0, &version, sizeof(version))) {
        return false;
    }
    SmartAnswer answer{};
    if (!ReadSmartPages(probe, answer)) {
        return false;
    }
    ApplySmartValues(DeviceAnswers::ParseSmartAttributes(SmartPageOf(answer)), probe.info);
    SetSource(probe, SmartSource::Ata);
    return true;
}

// SCSI_PASS_THROUGH with the sense and data areas behind it, in the one buffer the request
// takes.
struct PassThroughBuffer {
    SCSI_PASS_THROUGH request;
    std::array<std::uint8_t, SatPassThrough::kSenseSize> sense;
    std::array<std::uint8_t, SatPassThrough::kPageSize> data;
};

// One ATA PASS-THROUGH command that reads a SMART page; the page when it was answered.
std::optional<DriveDetails::Page> PassThrough(HANDLE device, SatPassThrough::Length length, std::uint8_t features)
{
    // Zero-filled to the last padding byte: the whole buffer travels to the driver.
    PassThroughBuffer buffer;
    std::memset(&buffer, 0, sizeof(buffer));
    SCSI_PASS_THROUGH& request = buffer.request;
    request.Length = sizeof(SCSI_PASS_THROUGH);
    request.CdbLength = static_cast<UCHAR>(length);
    request.SenseInfoLength = SatPassThrough::kSenseSize;
    request.DataIn = SCSI_IOCTL_DATA_IN;
    request.DataTransferLength = SatPassThrough::kPageSize;
    request.TimeOutValue = SatPassThrough::kTimeOutSeconds;
    request.DataBufferOffset = offsetof(PassThroughBuffer, data);
    request.SenseInfoOffset = offsetof(PassThroughBuffer, sense);
    const SatPassThrough::Command command = SatPassThrough::SmartCommand(length, features);
    std::copy(command.begin(), command.end(), std::begin(request.Cdb));

    const bool succeeded =
        Request(device, IOCTL_SCSI_PASS_THROUGH, &buffer, sizeof(buffer), &buffer, sizeof(buffer));
    if (!SatPassThrough::Answered({succeeded, request.ScsiStatus, request.DataTransferLength, buffer.data})) {
        return std::nullopt;
    }
    return CopyPage(buffer.data);
}

// A SATA drive in a USB enclosure or dock: the USB storage driver answers none of the ATA
// SMART requests, but most bridges pass ATA PASS-THROUGH on to the drive. The thresholds page
// goes by the command length that the bridge answered. Without a read-write handle there is
// nothing to send: no driver takes a pass-through on a read-only one.
void QueryUsbBridge(const Probe& probe)
{
    const KernelHandle handle(OpenReadWrite(probe));
    if (!handle) {
        return;
    }
    for (const SatPassThrough::Length length : SatPassThrough::kLengths) {
        const auto data = PassThrough(handle.Get(), length, AtaSmart::kFeatureReadData);
        if (!data) {
            continue;
        }
        ApplySmartValues(DeviceAnswers::ParseSmartAttributes(*data), probe.info);
        SetSource(probe, SmartSource::UsbBridge);
        if (probe.details != nullptr) {
            probe.details->smartData = data;
            probe.details->smartThresholds = PassThrough(handle.Get(), length, AtaSmart::kFeatureReadThresholds);
        }
        return;
    }
}

// NVMe drives answer none of the ATA SMART requests; their driver hands out the SMART / Health
// Information log instead, for the namespace (device property) or, on stacks that answer only
// there, for the controller (adapter property). A request that went through ends the search,
// whatever its answer holds.
void QueryNvmeHealthLog(const Probe& probe)
{
    for (const NvmeLogProperty property : {NvmeLogProperty::Device, NvmeLogProperty::Adapter}) {
        auto request = DeviceAnswers::NvmeHealthLogRequest(property);
        alignas(8) std::array<std::uint8_t, DeviceAnswers::kNvmeLogAnswerSize> answer{};
        if (Request(probe.device, IOCTL_STORAGE_QUERY_PROPERTY, request.data(), request.size(), answer.data(),
                    answer.size())) {
            if (const auto log = DeviceAnswers::NvmeHealthLog(answer)) {
                ApplySmartValues(DeviceAnswers::ParseNvmeHealthLog(*log), probe.info);
                SetSource(probe, SmartSource::Nvme);
                if (probe.details != nullptr) {
                    probe.details->nvmeLog = CopyPage(*log);
                }
            }
            return;
        }
    }
}

// Opens the drive, fills every field of `info` and, when `details` is given, what the details
// view shows besides; closes the drive before it returns.
bool ProbeDrive(std::int32_t driveNumber, DriveInfo& info, DriveDetails* details)
{
    const std::wstring path = DiskManager::PhysicalDrivePath(driveNumber);
    const KernelHandle device(
        Kernel::CreateFileW(path.c_str(), GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr));
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

    const Probe probe{device.Get(), path, driveNumber, info, details};
    QueryCapacity(probe);
    const std::optional<std::uint32_t> busType = QueryIdentity(probe);
    if (details != nullptr) {
        details->busType = busType;
    }
    QueryFailurePrediction(probe);
    if (QuerySmartAttributes(probe)) {
        return true;
    }
    if (busType == SatPassThrough::kBusTypeUsb) {
        QueryUsbBridge(probe);
    } else {
        QueryNvmeHealthLog(probe);
    }
    return true;
}

} // namespace

std::wstring DiskManager::PhysicalDrivePath(std::int32_t driveNumber)
{
    return L"\\\\.\\PhysicalDrive" + std::to_wstring(driveNumber);
}

std::vector<DriveInfo> DiskManager::EnumerateDrives()
{
    std::vector<DriveInfo> drives;
    for (std::int32_t driveNumber = 0; driveNumber < kMaxDrives; ++driveNumber) {
        DriveInfo info;
        if (GetDriveInfo(driveNumber, info)) {
            drives.push_back(info);
        }
    }
    return drives;
}

bool DiskManager::GetDriveInfo(std::int32_t driveNumber, DriveInfo& info)
{
    return ProbeDrive(driveNumber, info, nullptr);
}

bool DiskManager::GetDriveDetails(std::int32_t driveNumber, DriveDetails& details)
{
    DriveDetails fresh;
    if (!ProbeDrive(driveNumber, fresh.info, &fresh)) {
        return false;
    }
    details = std::move(fresh);
    return true;
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
