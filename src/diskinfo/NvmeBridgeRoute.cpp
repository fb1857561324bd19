#include "diskinfo/DiskProbe.h"
#include "diskinfo/NvmeBridge.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace {

using Family = NvmeBridge::Family;
using Command = NvmeBridge::Command;

static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == 0x2D1080);
static_assert(SCSI_IOCTL_DATA_OUT == 0);
static_assert(SCSI_IOCTL_DATA_IN == 1);
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12);

// GUID_DEVINTERFACE_DISK, spelt out: the SDK defines it only where <initguid.h> comes first.
constexpr GUID kDiskInterface{0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
// Bounds on walks that a broken device tree could make endless.
constexpr DWORD kMaxInterfaces = 256;
constexpr int kMaxDepth = 16;
constexpr wchar_t kJMicronMutex[] = L"Global\\Access_JMicron_SMART";
constexpr DWORD kJMicronWaitMilliseconds = SatPassThrough::kTimeOutSeconds * 1000;

// Whether the disk device interface at `path` is drive `driveNumber`. Access 0 asks the device
// for nothing but its number.
bool IsDrive(const wchar_t* path, std::int32_t driveNumber)
{
    const KernelHandle disk(
        Kernel::CreateFileW(path, 0, DiskProbe::kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr));
    STORAGE_DEVICE_NUMBER number{};
    return disk &&
           DiskProbe::Request(disk.Get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof(number)) &&
           number.DeviceType == FILE_DEVICE_DISK && number.DeviceNumber == static_cast<DWORD>(driveNumber);
}

// The device node of drive `driveNumber`'s disk.
std::optional<DEVINST> DiskDevice(std::int32_t driveNumber)
{
    const DeviceInfoList list(&kDiskInterface, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (!list) {
        return std::nullopt;
    }
    for (DWORD index = 0; index < kMaxInterfaces; ++index) {
        SP_DEVICE_INTERFACE_DATA disk{};
        disk.cbSize = sizeof(disk);
        if (!Kernel::SetupDiEnumDeviceInterfaces(list.Get(), nullptr, &kDiskInterface, index, &disk)) {
            return std::nullopt;
        }
        DWORD required = 0;
        Kernel::SetupDiGetDeviceInterfaceDetailW(list.Get(), &disk, nullptr, 0, &required, nullptr);
        if (required <= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            continue;
        }
        // Zero-filled and whole 8-byte words: the path stays NUL-terminated, the header aligned.
        std::vector<std::uint64_t> buffer((required + sizeof(std::uint64_t)) / sizeof(std::uint64_t));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (Kernel::SetupDiGetDeviceInterfaceDetailW(list.Get(), &disk, detail, required, nullptr, &device) &&
            IsDrive(detail->DevicePath, driveNumber)) {
            return device.DevInst;
        }
    }
    return std::nullopt;
}

// The family of the USB bridge above drive `driveNumber`: the first device up the tree whose ID
// starts with "USB\VID_" names it by its vendor and product IDs.
std::optional<Family> BridgeFamily(std::int32_t driveNumber)
{
    std::optional<DEVINST> device = DiskDevice(driveNumber);
    for (int depth = 0; device && depth < kMaxDepth; ++depth) {
        DEVINST parent = 0;
        std::array<wchar_t, MAX_DEVICE_ID_LEN + 1> id{};
        if (Kernel::CM_Get_Parent(&parent, *device, 0) != CR_SUCCESS ||
            Kernel::CM_Get_Device_IDW(parent, id.data(), MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) {
            return std::nullopt;
        }
        if (const auto usb = NvmeBridge::ParseDeviceId(id.data())) {
            return NvmeBridge::FamilyOf(*usb);
        }
        device = parent;
    }
    return std::nullopt;
}

// The mutex that JMicron's three steps go under: taken, when it can be, for the life of the lock.
class JMicronLock {
public:
    JMicronLock()
        : m_mutex(Kernel::CreateMutexW(nullptr, FALSE, kJMicronMutex)), m_held(m_mutex && Acquire(m_mutex.Get()))
    {
    }
    JMicronLock(const JMicronLock&) = delete;
    JMicronLock& operator=(const JMicronLock&) = delete;
    ~JMicronLock()
    {
        if (m_held) {
            Kernel::ReleaseMutex(m_mutex.Get());
        }
    }

    bool Held() const { return m_held; }

private:
    // An abandoned mutex is owned all the same: its last owner ended without releasing it.
    static bool Acquire(HANDLE mutex)
    {
        const DWORD result = Kernel::WaitForSingleObject(mutex, kJMicronWaitMilliseconds);
        return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    }

    KernelHandle m_mutex;
    bool m_held;
};

// SCSI_PASS_THROUGH with the sense and data areas behind it, room for the longest answer.
struct TunnelBuffer {
    SCSI_PASS_THROUGH request;
    std::array<std::uint8_t, SatPassThrough::kSenseSize> sense;
    std::array<std::uint8_t, NvmeBridge::kIdentifySize> data;
};

// One SCSI command of a tunnel: `out` travels to the bridge (data out) or the answer lands in
// `in` (data in); false when it did not complete.
bool Send(HANDLE device, const NvmeBridge::Step& step, std::span<const std::uint8_t> out, std::span<std::uint8_t> in)
{
    // Zero-filled to the last padding byte: the whole buffer travels to the driver.
    TunnelBuffer buffer;
    std::memset(&buffer, 0, sizeof(buffer));
    SCSI_PASS_THROUGH& request = buffer.request;
    request.Length = sizeof(SCSI_PASS_THROUGH);
    request.CdbLength = step.cdbLength;
    request.SenseInfoLength = SatPassThrough::kSenseSize;
    request.DataIn = step.direction == NvmeBridge::Direction::In ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
    request.DataTransferLength = step.length;
    request.TimeOutValue = SatPassThrough::kTimeOutSeconds;
    request.DataBufferOffset = offsetof(TunnelBuffer, data);
    request.SenseInfoOffset = offsetof(TunnelBuffer, sense);
    std::copy(step.cdb.begin(), step.cdb.end(), std::begin(request.Cdb));
    std::copy_n(out.begin(), std::min(out.size(), buffer.data.size()), buffer.data.begin());

    const bool succeeded =
        DiskProbe::Request(device, IOCTL_SCSI_PASS_THROUGH, &buffer, sizeof(buffer), &buffer, sizeof(buffer));
    if (!NvmeBridge::Completed({succeeded, request.ScsiStatus, request.DataTransferLength}, step)) {
        return false;
    }
    std::copy_n(buffer.data.begin(), std::min(in.size(), buffer.data.size()), in.begin());
    return true;
}

// One NVMe command through the bridge, its answer in `answer` (LengthOf(command) bytes).
bool Tunnel(HANDLE device, Family family, Command command, std::span<std::uint8_t> answer)
{
    const NvmeBridge::Steps steps = NvmeBridge::StepsOf(family, command);
    if (steps.count == 0) {
        return false;
    }
    if (family != Family::JMicron) {
        return Send(device, steps.steps[0], {}, answer);
    }
    const JMicronLock lock;
    if (!lock.Held()) {
        return false;
    }
    const NvmeBridge::JMicronBlock descriptor = NvmeBridge::JMicronDescriptor(command);
    NvmeBridge::JMicronBlock reply{};
    return Send(device, steps.steps[0], descriptor, {}) && Send(device, steps.steps[1], {}, answer) &&
           Send(device, steps.steps[2], {}, reply) && NvmeBridge::ReplyCounts(reply);
}

} // namespace

// An NVMe drive in a USB enclosure whose bridge neither answered ATA PASS-THROUGH: only a
// bridge of a known family is sent its vendor command, on a read-write handle of its own.
// Identify Controller, for the drive's own identity, once the log has counted; then the self-test
// log where the drive says it runs self-tests.
void DiskProbe::QueryNvmeBridge(const Probe& probe)
{
    const std::optional<Family> family = BridgeFamily(probe.driveNumber);
    if (!family) {
        return;
    }
    const KernelHandle device(OpenReadWrite(probe));
    if (!device) {
        return;
    }
    std::array<std::uint8_t, NvmeBridge::kLogSize> log{};
    if (!Tunnel(device.Get(), *family, Command::HealthLog, log) || !NvmeBridge::LogCounts(log)) {
        return;
    }
    ApplySmartValues(DeviceAnswers::ParseNvmeHealthLog(log), probe.info);
    SetSource(probe, SmartSource::NvmeUsbBridge);
    probe.details.nvmeLog = CopyPage(log);
    std::array<std::uint8_t, NvmeBridge::kIdentifySize> identify{};
    if (!Tunnel(device.Get(), *family, Command::IdentifyController, identify) ||
        !NvmeBridge::IdentifyCounts(identify)) {
        return;
    }
    const NvmeBridge::Identity own = NvmeBridge::IdentityOf(identify);
    SetDriveIdentity(probe, own.model, own.serial, own.firmware);
    std::array<std::uint8_t, NvmeBridge::kSelfTestLogSize> selfTests{};
    if (DriveLogs::NvmeRunsSelfTests(identify) && Tunnel(device.Get(), *family, Command::SelfTestLog, selfTests) &&
        NvmeBridge::LogCounts(selfTests)) {
        probe.details.nvmeSelfTests.assign(selfTests.begin(), selfTests.end());
    }
}
