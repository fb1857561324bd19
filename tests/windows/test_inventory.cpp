#include "DriveAnswers.h"
#include "FakeKernel.h"
#include "diskinfo/Assessment.h"
#include "diskinfo/AtaSmart.h"
#include "diskinfo/Csmi.h"
#include "diskinfo/DeviceAnswers.h"
#include "diskinfo/DiskInfo.h"
#include "diskinfo/RstNvme.h"
#include "diskinfo/SatPassThrough.h"
#include "kernel/Kernel.h"
#include "kernel/KernelResources.h"
#include "report/DetailsText.h"
#include "report/PartitionText.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

static_assert(DriveAnswers::kGetLengthInfo == IOCTL_DISK_GET_LENGTH_INFO);
static_assert(DriveAnswers::kQueryProperty == IOCTL_STORAGE_QUERY_PROPERTY);
static_assert(DriveAnswers::kPredictFailure == IOCTL_STORAGE_PREDICT_FAILURE);
static_assert(DriveAnswers::kSmartGetVersion == SMART_GET_VERSION);
static_assert(DriveAnswers::kSmartRcvDriveData == SMART_RCV_DRIVE_DATA);
static_assert(DriveAnswers::kScsiPassThrough == IOCTL_SCSI_PASS_THROUGH);
static_assert(DriveAnswers::kScsiGetAddress == IOCTL_SCSI_GET_ADDRESS);
static_assert(DriveAnswers::kScsiMiniport == IOCTL_SCSI_MINIPORT);
static_assert(DriveAnswers::Descriptor::kBusTypeUsb == BusTypeUsb);
using UsbBridge = DriveAnswers::UsbBridge;
static_assert(UsbBridge::kSize == sizeof(SCSI_PASS_THROUGH));
static_assert(UsbBridge::kScsiStatusField == offsetof(SCSI_PASS_THROUGH, ScsiStatus));
static_assert(UsbBridge::kCdbLengthField == offsetof(SCSI_PASS_THROUGH, CdbLength));
static_assert(UsbBridge::kDataTransferLengthField == offsetof(SCSI_PASS_THROUGH, DataTransferLength));
static_assert(UsbBridge::kDataBufferOffsetField == offsetof(SCSI_PASS_THROUGH, DataBufferOffset));
static_assert(UsbBridge::kCdbField == offsetof(SCSI_PASS_THROUGH, Cdb));

namespace {

using Kind = KernelCall::Kind;
using Bytes = DriveAnswers::Bytes;
using Descriptor = DriveAnswers::Descriptor;
using SmartPage = DriveAnswers::SmartPage;

constexpr std::int64_t kSize = 500'107'862'016;
constexpr std::int64_t kHours = 100 + (std::int64_t{1} << 32);
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Answers every request, the thresholds page included.
DriveAnswers::Drive FullDrive()
{
    auto drive = DriveAnswers::TypicalDrive("MODEL X", "SERIAL 1", "FW 1", kSize, 45, kHours, 1234);
    drive.smartThresholds = SmartPage().Threshold(0, 1, 51).Build();
    return drive;
}

DriveInfo FullRecord(std::int32_t index)
{
    return {index, L"MODEL X", L"SERIAL 1", L"FW 1", kSize, false, L"Good", 45, kHours, 1234, L""};
}

DriveDetails::Page PageOf(const Bytes& bytes)
{
    DriveDetails::Page page{};
    std::copy(bytes.begin(), bytes.end(), page.begin());
    return page;
}

void ExpectRecord(const DriveInfo& actual, const DriveInfo& expected)
{
    EXPECT_EQ(actual.index, expected.index);
    EXPECT_EQ(actual.model, expected.model);
    EXPECT_EQ(actual.serialNumber, expected.serialNumber);
    EXPECT_EQ(actual.firmware, expected.firmware);
    EXPECT_EQ(actual.sizeBytes, expected.sizeBytes);
    EXPECT_EQ(actual.failurePredicted, expected.failurePredicted);
    EXPECT_EQ(actual.health, expected.health);
    EXPECT_EQ(actual.temperature, expected.temperature);
    EXPECT_EQ(actual.powerOnHours, expected.powerOnHours);
    EXPECT_EQ(actual.powerCycles, expected.powerCycles);
    EXPECT_EQ(actual.volumes, expected.volumes);
}

// The NVMe health-log queries share the property request code; they have tests of their own.
bool IsNvmeLogQuery(const KernelCall& call)
{
    return call.kind == Kind::Control && call.code == IOCTL_STORAGE_QUERY_PROPERTY &&
           call.input != Bytes(sizeof(STORAGE_PROPERTY_QUERY), 0);
}

// The log as one line: opens (R, RW), requests by code and handle, closes; handles numbered
// in the order they were opened.
std::string Trace()
{
    std::map<HANDLE, int> numbers;
    std::ostringstream trace;
    Kind last = Kind::Convert;
    for (const KernelCall& call : FakeKernel::Calls()) {
        // A walk of the device tree shows as one "tree", whatever its calls.
        if (call.kind == Kind::Convert || call.kind == Kind::Volume || call.kind == Kind::ErrorMode ||
            IsNvmeLogQuery(call) || (call.kind == Kind::Tree && last == Kind::Tree)) {
            continue;
        }
        last = call.kind;
        trace << (trace.tellp() > 0 ? ", " : "");
        if (call.kind == Kind::Tree) {
            trace << "tree";
            continue;
        }
        if (call.kind == Kind::Open) {
            trace << (call.access == GENERIC_READ ? "open R" : call.access == 0 ? "open 0" : "open RW");
            if (call.succeeded) {
                numbers.emplace(call.handle, static_cast<int>(numbers.size()) + 1);
            }
        } else if (call.kind == Kind::Control) {
            trace << std::hex << std::uppercase << call.code << std::dec;
        } else {
            trace << (call.kind == Kind::Close ? "close" : call.kind == Kind::Mutex ? "mutex" : "unexpected call");
        }
        if (numbers.count(call.handle) != 0) {
            trace << " #" << numbers[call.handle];
        }
        trace << (call.succeeded ? "" : " fails");
    }
    return trace.str();
}

// `inside` behind the first phy of port 0 of the RAID driver `driver`: the drive answers its
// capacity, descriptor (bus type RAID) and address only; its pages, logs and IDENTIFY DEVICE (with
// the descriptor's strings `model` and `serial`) come through the port.
struct BehindRaid {
    DriveAnswers::Drive drive;
    DriveAnswers::Miniport port;
};
BehindRaid OnRaidPort(const DriveAnswers::Drive& inside, std::string_view model, std::string_view serial,
                      std::string driver = "iaStorAC")
{
    BehindRaid raid;
    raid.drive.sizeBytes = inside.sizeBytes;
    raid.drive.descriptor = inside.descriptor;
    raid.drive.descriptor->BusType(DriveDetails::kBusTypeRaid);
    raid.drive.predictFailure = inside.predictFailure;
    raid.drive.scsiAddress = DriveAnswers::ScsiAddress(0, 0);
    raid.port.driver = std::move(driver);
    raid.port.devices.push_back({DriveAnswers::IdentifyDevice(model, serial, "FW 1"), inside.smartPage,
                                 inside.smartThresholds, inside.smartLogs});
    return raid;
}

void ScriptPort(const DriveAnswers::Miniport& port)
{
    FakeKernel::Port(0).answers[IOCTL_SCSI_MINIPORT] = [port](const FakeBytes& input) { return port.Answer(input); };
}

} // namespace

// Every argument that reaches the kernel, for an even and two odd drive numbers, and for a
// drive in a USB dock, whose SMART page comes by ATA PASS-THROUGH (16) instead.
TEST(Inventory, ExactCalls)
{
    const struct {
        std::int32_t drive;
        const wchar_t* path;
        std::uint8_t head;
        bool usb = false;
    } cases[] = {{0, L"\\\\.\\PhysicalDrive0", 0xA0},
                 {7, L"\\\\.\\PhysicalDrive7", 0xB0},
                 {31, L"\\\\.\\PhysicalDrive31", 0xB0},
                 {6, L"\\\\.\\PhysicalDrive6", 0xA0, true}};
    // SCSI_PASS_THROUGH: Length 56; CdbLength 16, SenseInfoLength 32, DataIn 1;
    // DataTransferLength 512; TimeOutValue 10; DataBufferOffset 88; SenseInfoOffset 56; the
    // command block. Then the sense and data areas, zero-filled.
    Bytes passThrough{0x38, 0,    0,    0,    0,    0,    0x10, 0x20, 0x01, 0,    0,    0,    0x00,
                      0x02, 0,    0,    0x0A, 0,    0,    0,    0,    0,    0,    0,    0x58, 0,
                      0,    0,    0,    0,    0,    0,    0x38, 0,    0,    0,    0x85, 0x08, 0x0E,
                      0x00, 0xD0, 0x00, 0x01, 0x00, 0x00, 0x00, 0x4F, 0x00, 0xC2, 0xA0, 0xB0, 0x00};
    passThrough.resize(56 + 32 + 512);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.drive);
        FakeKernel::Reset();
        (c.usb ? DriveAnswers::InUsbDock(FullDrive()) : FullDrive()).ApplyTo(FakeKernel::Drive(c.drive));
        DriveInfo info;
        ASSERT_TRUE(DiskManager::GetDriveInfo(c.drive, info));
        EXPECT_EQ(info.index, c.drive);

        const auto opens = FakeKernel::CallsOf(Kind::Open);
        ASSERT_EQ(opens.size(), 2u);
        EXPECT_EQ(opens[0].access, DWORD{GENERIC_READ});
        EXPECT_EQ(opens[1].access, DWORD{GENERIC_READ | GENERIC_WRITE});
        for (const KernelCall& open : opens) {
            EXPECT_EQ(open.path, c.path);
            EXPECT_EQ(open.share, kShare);
            EXPECT_EQ(open.disposition, DWORD{OPEN_EXISTING});
            EXPECT_EQ(open.flags, 0u);
            EXPECT_TRUE(open.securityNull);
            EXPECT_TRUE(open.templateNull);
        }

        const Bytes command{0x00, 0x02, 0, 0, 0xD0, 1, 1, 0x4F, 0xC2, c.head, 0xB0, 0, 0, 0, 0, 0, 0,
                            0,    0,    0, 0, 0,    0, 0, 0,    0,    0,      0,    0, 0, 0, 0, 0};
        struct Request {
            DWORD code;
            Bytes input;
            DWORD outSize;
            HANDLE handle;
        };
        const Request smart = c.usb ? Request{IOCTL_SCSI_PASS_THROUGH, passThrough, 600, opens[1].handle}
                                    : Request{SMART_RCV_DRIVE_DATA, command, 529, opens[1].handle};
        // The thresholds page by the same route: the features byte of the command says 0xD1.
        Request thresholds = smart;
        thresholds.input[c.usb ? 36 + 4 : 4] = 0xD1;
        std::vector<Request> requests{
            {IOCTL_DISK_GET_LENGTH_INFO, {}, 8, opens[0].handle},
            {IOCTL_STORAGE_QUERY_PROPERTY, Bytes(12, 0), 1024, opens[0].handle},
            {IOCTL_STORAGE_PREDICT_FAILURE, {}, 516, opens[0].handle},
            {SMART_GET_VERSION, {}, 24, opens[0].handle},
            smart,
            thresholds,
        };
        // Behind the bridge, IDENTIFY DEVICE by the same route: no features, no signature, command EC.
        if (c.usb) {
            Request identify = smart;
            const std::array<std::uint8_t, 16> cdb{0x85, 0x08, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC, 0};
            std::copy(cdb.begin(), cdb.end(), identify.input.begin() + 36);
            requests.push_back(identify);
        }
        const auto controls = FakeKernel::CallsOf(Kind::Control);
        ASSERT_EQ(controls.size(), requests.size());
        for (std::size_t i = 0; i < controls.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(controls[i].code, requests[i].code);
            EXPECT_EQ(controls[i].input, requests[i].input);
            EXPECT_EQ(controls[i].outSize, requests[i].outSize);
            EXPECT_TRUE(controls[i].outZeroed);
            EXPECT_TRUE(controls[i].overlappedNull);
            EXPECT_EQ(controls[i].handle, requests[i].handle);
        }

        const auto conversions = FakeKernel::CallsOf(Kind::Convert);
        EXPECT_EQ(conversions.size(), 6u); // two for each identity string
        for (const KernelCall& convert : conversions) {
            EXPECT_EQ(convert.codePage, UINT{CP_ACP});
            EXPECT_EQ(convert.convertFlags, 0u);
            EXPECT_EQ(convert.inputLength, -1);
        }
    }
}

// The order of opens, requests and closes on every path through one drive: each handle is
// closed exactly once, the SMART pages go only through a read-write handle made for them
// alone (where that open is refused, the read-only handle's request fails the access check,
// as on Windows), and they are not asked for when the version request fails. The details
// list and the details ask for the thresholds page on the same read-write handle, after the
// data page; the details ask for the partition table on the read-only handle last. A
// drive in a USB dock that answers no ATA SMART data gets the ATA PASS-THROUGH commands on a
// read-write handle of their own.
TEST(Inventory, CallOrderOnEveryPath)
{
    const std::string kReadQueries = "open R #1, 7405C #1, 2D1400 #1, 2D1100 #1, 74080 #1";
    const std::string kUsbQueries = kReadQueries + " fails";
    const std::string kLayout = ", 70050 #1 fails, close #1";
    constexpr bool kDetails = true;
    const auto usb = [](std::function<void(DriveAnswers::Drive&)> change) {
        return [change](FakeDrive& d) {
            auto drive = DriveAnswers::InUsbDock(FullDrive());
            change(drive);
            d.answers.clear();
            drive.ApplyTo(d);
        };
    };
    const auto asIs = [](DriveAnswers::Drive&) {};
    const auto raid = [](std::string driver) {
        return [driver](FakeDrive& d) {
            const BehindRaid behind = OnRaidPort(FullDrive(), "MODEL X", "SERIAL 1", driver);
            d.answers.clear();
            behind.drive.ApplyTo(d);
            ScriptPort(behind.port);
        };
    };
    const struct {
        const char* name;
        std::function<void(FakeDrive&)> script;
        std::string trace;
        bool details = false;
    } cases[] = {
        {"details: every request answers", [](FakeDrive&) {},
         kReadQueries + ", open RW #2, 7C088 #2, 7C088 #2, close #2" + kLayout, kDetails},
        {"details: the thresholds are not answered",
         [](FakeDrive& d) {
             auto data = DriveAnswers::TypicalDrive("M", "S", "F", 1, 1, 1, 1);
             data.ApplyTo(d);
         },
         kReadQueries + ", open RW #2, 7C088 #2, 7C088 #2 fails, close #2" + kLayout, kDetails},
        {"details: the read-write open is refused", [](FakeDrive& d) { d.opensReadWrite = false; },
         kReadQueries + ", open RW fails, 7C088 #1 fails" + kLayout, kDetails},
        {"every request answers", [](FakeDrive&) {},
         kReadQueries + ", open RW #2, 7C088 #2, 7C088 #2, close #2, close #1"},
        {"the drive does not open", [](FakeDrive& d) { d.opens = false; }, "open R fails"},
        {"no request answers", [](FakeDrive& d) { d.answers.clear(); },
         "open R #1, 7405C #1 fails, 2D1400 #1 fails, 2D1100 #1 fails, 74080 #1 fails, close #1"},
        {"the version request fails", [](FakeDrive& d) { d.answers.erase(SMART_GET_VERSION); },
         "open R #1, 7405C #1, 2D1400 #1, 2D1100 #1, 74080 #1 fails, close #1"},
        {"the read-write open is refused", [](FakeDrive& d) { d.opensReadWrite = false; },
         kReadQueries + ", open RW fails, 7C088 #1 fails, close #1"},
        {"the SMART data request fails", [](FakeDrive& d) { d.answers.erase(SMART_RCV_DRIVE_DATA); },
         kReadQueries + ", open RW #2, 7C088 #2 fails, close #2, close #1"},
        {"details: USB, through the bridge", usb(asIs),
         kUsbQueries + ", open RW #2, 4D004 #2, 4D004 #2, 4D004 #2, close #2" + kLayout, kDetails},
        {"details: USB, the 12-byte command after the 16-byte one",
         usb([](DriveAnswers::Drive& d) { std::swap(d.bridge->page16, d.bridge->page12); }),
         kUsbQueries + ", open RW #2, 4D004 #2, 4D004 #2, 4D004 #2, 4D004 #2, close #2" + kLayout, kDetails},
        {"details: behind a RAID driver that gives no address, no SMART or vendor request",
         [](FakeDrive& d) {
             auto drive = FullDrive();
             drive.descriptor->BusType(DriveDetails::kBusTypeRaid);
             drive.ApplyTo(d);
         },
         "open R #1, 7405C #1, 2D1400 #1, 2D1100 #1, 41018 #1 fails" + kLayout, kDetails},
        {"behind a RAID driver of no maker the program reads: its name only",
         raid("megasas2"),
         "open R #1, 7405C #1, 2D1400 #1, 2D1100 #1, 41018 #1, open RW #2, 4D008 #2, close #2, close #1"},
        {"behind iaStorAC: the driver's name, its phys, IDENTIFY DEVICE, the SMART pages",
         raid("iaStorAC"),
         "open R #1, 7405C #1, 2D1400 #1, 2D1100 #1, 41018 #1, open RW #2, 4D008 #2, 4D008 #2, 4D008 #2, 4D008 #2, "
         "4D008 #2, close #2, close #1"},
        {"standard requests only: nothing to the RAID driver",
         [&](FakeDrive& d) {
             raid("iaStorAC")(d);
             DiskManager::SetStandardRequestsOnly(true);
         },
         "open R #1, 7405C #1, 2D1400 #1, 2D1100 #1, close #1"},
        {"USB: the read-write open is refused",
         [&](FakeDrive& d) {
             usb(asIs)(d);
             d.opensReadWrite = false;
         },
         kUsbQueries + ", open RW fails, tree, open 0 #2, 2D1080 #2, close #2, tree, close #1"},
        {"USB: the SMART data request fails, then the bridge",
         usb([](DriveAnswers::Drive& d) { d.smartVersion = true; }),
         kReadQueries + ", open RW #2, 7C088 #2 fails, close #2, open RW #3, 4D004 #3, 4D004 #3, 4D004 #3, close #3, "
                        "close #1"},
        {"USB: the drive answers ATA SMART itself",
         usb([](DriveAnswers::Drive& d) {
             d.smartVersion = true;
             d.smartPage = d.bridge->page16;
         }),
         kReadQueries + ", open RW #2, 7C088 #2, 7C088 #2 fails, close #2, close #1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel::Reset();
        FakeDrive& drive = FakeKernel::Drive(4);
        FullDrive().ApplyTo(drive);
        c.script(drive);
        DriveDetails details;
        if (c.details) {
            DiskManager::GetDriveDetails(4, details);
        } else {
            DiskManager::GetDriveInfo(4, details.info);
        }
        DiskManager::SetStandardRequestsOnly(false);
        EXPECT_EQ(Trace(), c.trace);
        EXPECT_EQ(FakeKernel::OpenHandles(), 0);
    }
}

// What the details query returns besides the record: the bus type, the pages as the drive
// gave them, and which route they came by; and the thresholds command, byte for byte.
TEST(Inventory, Details)
{
    FakeKernel::Reset();
    auto ata = FullDrive();
    ata.descriptor->BusType(Descriptor::kBusTypeSata);
    ata.ApplyTo(FakeKernel::Drive(3));
    DriveAnswers::Drive nvme;
    nvme.nvmeLog = Bytes(512, 0x5A);
    nvme.ApplyTo(FakeKernel::Drive(6));
    DriveAnswers::TypicalDrive("M", "S", "F", 1, 1, 1, 1).ApplyTo(FakeKernel::Drive(4)); // no thresholds page

    DriveDetails details;
    ASSERT_TRUE(DiskManager::GetDriveDetails(3, details));
    ExpectRecord(details.info, FullRecord(3));
    EXPECT_EQ(details.busType, Descriptor::kBusTypeSata);
    EXPECT_EQ(details.source, SmartSource::Ata);
    EXPECT_EQ(details.smartData, PageOf(*ata.smartPage));
    EXPECT_EQ(details.smartThresholds, PageOf(*ata.smartThresholds));
    EXPECT_FALSE(details.nvmeLog);
    const auto controls = FakeKernel::CallsOf(Kind::Control);
    const auto thresholds = DeviceAnswers::SmartCommand(3, AtaSmart::kFeatureReadThresholds);
    ASSERT_GE(controls.size(), 2u);
    EXPECT_EQ(controls[controls.size() - 2].input, Bytes(thresholds.begin(), thresholds.end()));

    ASSERT_TRUE(DiskManager::GetDriveDetails(4, details));
    EXPECT_TRUE(details.smartData);
    EXPECT_FALSE(details.smartThresholds);

    // Through a bridge that knows only the 12-byte command: the thresholds page by the same
    // length, and not at all when its checksum is wrong. The heading names bus and route.
    auto usb = DriveAnswers::InUsbDock(FullDrive());
    std::swap(usb.bridge->page16, usb.bridge->page12);
    usb.ApplyTo(FakeKernel::Drive(5));
    ASSERT_TRUE(DiskManager::GetDriveDetails(5, details));
    ExpectRecord(details.info, FullRecord(5));
    EXPECT_EQ(details.busType, Descriptor::kBusTypeUsb);
    EXPECT_EQ(details.source, SmartSource::UsbBridge);
    EXPECT_EQ(details.smartData, PageOf(*usb.bridge->page12));
    EXPECT_EQ(details.smartThresholds, PageOf(*usb.bridge->thresholds));
    const auto heading = DetailsText::Heading(details);
    ASSERT_EQ(heading.size(), 7u);
    EXPECT_EQ(heading[5].label + L": " + heading[5].value, L"Bus Type: USB");
    EXPECT_EQ(heading[6].label + L": " + heading[6].value,
              L"SMART Data: ATA SMART through the USB bridge (ATA PASS-THROUGH)");
    EXPECT_FALSE(details.bridgeIdentity); // IDENTIFY DEVICE was not answered

    // The drive's own identity through the bridge, by the length that answered, in the list too;
    // the bridge's strings on a line of their own. Data that does not count changes nothing.
    usb.bridge->identify = DriveAnswers::IdentifyDevice("WDC WD20EARS-00MVWB0", " WD-WCAZA1234567", "51.0AB51");
    usb.ApplyTo(FakeKernel::Drive(5));
    DriveInfo listed;
    ASSERT_TRUE(DiskManager::GetDriveInfo(5, listed));
    EXPECT_EQ(listed.model + L"|" + listed.serialNumber + L"|" + listed.firmware,
              L"WDC WD20EARS-00MVWB0|WD-WCAZA1234567|51.0AB51");
    ASSERT_TRUE(DiskManager::GetDriveDetails(5, details));
    EXPECT_EQ(details.info.serialNumber, L"WD-WCAZA1234567");
    EXPECT_EQ(DetailsText::Heading(details)[4].label + L": " + DetailsText::Heading(details)[4].value,
              L"USB Bridge: MODEL X, serial number SERIAL 1, firmware FW 1");
    usb.bridge->identify->at(300) ^= 1; // the checksum no longer holds
    usb.ApplyTo(FakeKernel::Drive(5));
    ASSERT_TRUE(DiskManager::GetDriveInfo(5, listed));
    EXPECT_EQ(listed.model, L"MODEL X");
    usb.bridge->thresholds->back() ^= 1;
    usb.ApplyTo(FakeKernel::Drive(5));
    ASSERT_TRUE(DiskManager::GetDriveDetails(5, details));
    EXPECT_TRUE(details.smartData);
    EXPECT_FALSE(details.smartThresholds);

    ASSERT_TRUE(DiskManager::GetDriveDetails(6, details));
    EXPECT_EQ(details.source, SmartSource::Nvme);
    EXPECT_FALSE(details.busType); // the descriptor was not answered
    EXPECT_FALSE(details.smartData || details.smartThresholds);
    EXPECT_EQ(details.nvmeLog, PageOf(*nvme.nvmeLog));

    // Behind a RAID driver: nothing asked that the driver would fail, though the drive could answer.
    auto raid = FullDrive();
    raid.descriptor->BusType(DriveDetails::kBusTypeRaid);
    raid.nvmeLog = Bytes(512, 1);
    raid.ApplyTo(FakeKernel::Drive(8));
    ASSERT_TRUE(DiskManager::GetDriveDetails(8, details));
    EXPECT_EQ(details.source, SmartSource::None);
    EXPECT_FALSE(details.smartData || details.nvmeLog);
    EXPECT_EQ(Assessment::Of(details).reasons,
              std::vector<std::wstring>{L"Health figures are not available through this RAID controller's driver "
                                        L"(bus type RAID)"});
    EXPECT_EQ(details.info.health, L"Good");

    DriveDetails untouched;
    untouched.info.index = 9;
    EXPECT_FALSE(DiskManager::GetDriveDetails(7, untouched));
    EXPECT_EQ(untouched.info.index, 9);
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
}

// The fake kernel lets through only SMART and pass-through commands that read, as the
// program's safety net: the one pass-through that reads answers, and SMART WRITE LOG, the same
// read sent as data out, the 12-byte read given length 16, and a SCSI WRITE (10) fail the test.
TEST(Inventory, FakeKernelRefusesCommandsThatChangeTheDrive)
{
    FakeKernel::Reset();
    DriveAnswers::InUsbDock(FullDrive()).ApplyTo(FakeKernel::Drive(0));
    FakeKernel::Drive(0).Answer(SMART_RCV_DRIVE_DATA, {});
    const HANDLE device = Kernel::CreateFileW(L"\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                                              OPEN_EXISTING, 0, nullptr);
    DWORD returned = 0;
    for (const std::uint8_t features : {std::uint8_t{0xD8}, std::uint8_t{0xD4}, std::uint8_t{0xD6}}) {
        auto command = DeviceAnswers::SmartCommand(0, features);
        std::array<std::uint8_t, 529> answer{};
        EXPECT_NONFATAL_FAILURE(Kernel::DeviceIoControl(device, SMART_RCV_DRIVE_DATA, command.data(), 33, answer.data(),
                                                        529, &returned, nullptr),
                                "READ DATA, READ THRESHOLDS or READ LOG");
    }
    // SMART READ LOG of the log directory, of a log the program never reads, and of more sectors
    // than the self-test or statistics logs are read with.
    for (const auto& [address, sectors] : {std::pair{0x00, 1}, {0x02, 1}, {0x07, 1}, {0x06, 2}, {0x04, 9}}) {
        auto command = DeviceAnswers::SmartLogCommand(0, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(sectors));
        std::vector<std::uint8_t> answer(16 + 512 * 9 + 16);
        EXPECT_NONFATAL_FAILURE(Kernel::DeviceIoControl(device, SMART_RCV_DRIVE_DATA, command.data(), 33, answer.data(),
                                                        static_cast<DWORD>(answer.size()), &returned, nullptr),
                                "READ LOG of a log it may read");
    }

    // The disk driver's ATA pass-through: READ LOG EXT of a log never read, WRITE LOG EXT (3Fh),
    // IDENTIFY DEVICE sent as data out.
    for (const auto& [command, address, flags] :
         {std::tuple{0x2F, 0x04, ATA_FLAGS_DATA_IN}, {0x3F, 0x07, ATA_FLAGS_DATA_OUT}, {0xEC, 0x00, ATA_FLAGS_DATA_OUT}}) {
        struct {
            ATA_PASS_THROUGH_EX request;
            std::array<std::uint8_t, 512> data;
        } ata{};
        ata.request.Length = sizeof(ATA_PASS_THROUGH_EX);
        ata.request.AtaFlags = static_cast<USHORT>(flags);
        ata.request.DataTransferLength = 512;
        ata.request.DataBufferOffset = sizeof(ATA_PASS_THROUGH_EX);
        ata.request.CurrentTaskFile[1] = 1;
        ata.request.CurrentTaskFile[2] = static_cast<UCHAR>(address);
        ata.request.CurrentTaskFile[5] = 0xA0;
        ata.request.CurrentTaskFile[6] = static_cast<UCHAR>(command);
        EXPECT_NONFATAL_FAILURE(Kernel::DeviceIoControl(device, IOCTL_ATA_PASS_THROUGH, &ata, sizeof(ata), &ata,
                                                        sizeof(ata), &returned, nullptr),
                                "IDENTIFY DEVICE or READ LOG EXT");
    }

    using Cdb = std::array<std::uint8_t, 16>;
    const Cdb readData{0x85, 0x08, 0x0E, 0, 0xD0, 0, 1, 0, 0, 0, 0x4F, 0, 0xC2, 0xA0, 0xB0, 0};
    const auto passThrough = [device, &returned](const Cdb& cdb, UCHAR dataIn, UCHAR cdbLength = 16) {
        struct {
            SCSI_PASS_THROUGH request;
            std::array<std::uint8_t, 32 + 512> areas;
        } buffer;
        std::memset(&buffer, 0, sizeof(buffer));
        buffer.request = {sizeof(SCSI_PASS_THROUGH), 0, 0, 0, 0, cdbLength, 32, dataIn, 512, 10, 88, 56, {}};
        std::copy(cdb.begin(), cdb.end(), buffer.request.Cdb);
        return Kernel::DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH, &buffer, sizeof(buffer), &buffer,
                                       sizeof(buffer), &returned, nullptr);
    };
    EXPECT_TRUE(passThrough(readData, SCSI_IOCTL_DATA_IN));
    Cdb writeLog = readData;
    writeLog[1] = 0x0A; // PIO data-out
    writeLog[4] = 0xD6;
    const Cdb readData12{0xA1, 0x08, 0x0E, 0xD0, 1, 0, 0x4F, 0xC2, 0xA0, 0xB0, 0, 0};
    const Cdb write10{0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    const std::pair<Cdb, UCHAR> refused[] = {{writeLog, SCSI_IOCTL_DATA_IN},
                                             {readData, SCSI_IOCTL_DATA_OUT},
                                             {readData12, SCSI_IOCTL_DATA_IN},
                                             {write10, SCSI_IOCTL_DATA_IN}};
    // The same through the bridge: the directory, another log, the statistics past page 7.
    using Length = SatPassThrough::Length;
    for (const auto& command : {SatPassThrough::SmartLogCommand(Length::Sixteen, 0x00, 1),
                                SatPassThrough::SmartLogCommand(Length::Sixteen, 0x03, 1),
                                SatPassThrough::SmartLogCommand(Length::Sixteen, 0x04, 9)}) {
        EXPECT_NONFATAL_FAILURE(passThrough(command, SCSI_IOCTL_DATA_IN), "READ LOG");
    }
    for (const auto& [cdb, dataIn] : refused) {
        EXPECT_NONFATAL_FAILURE(passThrough(cdb, dataIn), "ATA PASS-THROUGH of SMART READ DATA, READ THRESHOLDS or READ LOG");
    }
    // NVMe tunnels: a vendor command to a bridge of another family; JMicron's first step without
    // the mutex, and under it with a descriptor of zeros.
    FakeKernel::Drive(0).bridge = NvmeBridge::Family::ASMedia;
    EXPECT_NONFATAL_FAILURE(passThrough({0xE4, 0x00, 0x02, 0x02, 0x02}, SCSI_IOCTL_DATA_IN), "not of its family");
    FakeKernel::Drive(0).bridge = NvmeBridge::Family::JMicron;
    const Cdb jmicronOut{0xA1, 0x80, 0x00, 0x00, 0x02, 0x00};
    EXPECT_NONFATAL_FAILURE(passThrough(jmicronOut, SCSI_IOCTL_DATA_OUT, 12), "without the mutex");
    const HANDLE mutex = Kernel::CreateMutexW(nullptr, FALSE, L"Global\\Access_JMicron_SMART");
    EXPECT_EQ(Kernel::WaitForSingleObject(mutex, 1000), WAIT_OBJECT_0);
    EXPECT_NONFATAL_FAILURE(passThrough(jmicronOut, SCSI_IOCTL_DATA_OUT, 12), "one of the three JMicron descriptors");
    Kernel::ReleaseMutex(mutex);
    Kernel::CloseHandle(mutex);

    // A RAID driver's port: nothing but GET_DRIVER_INFO before the driver named itself as one
    // the program reads; then no other CSMI request, no write, no other command, no log outside
    // the list, no other size, direction or flags. The RST NVMe pass-through the same, each fault
    // at its published offset; and no miniport request to a drive.
    BehindRaid raid = OnRaidPort(FullDrive(), "MODEL X", "SERIAL 1");
    ScriptPort(raid.port);
    const HANDLE csmiPort = Kernel::CreateFileW(L"\\\\.\\Scsi0:", GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                                                OPEN_EXISTING, 0, nullptr);
    const auto csmi = [csmiPort, &returned](Csmi::Buffer buffer) {
        return Kernel::DeviceIoControl(csmiPort, IOCTL_SCSI_MINIPORT, buffer.data(), static_cast<DWORD>(buffer.size()),
                                       buffer.data(), static_cast<DWORD>(buffer.size()), &returned, nullptr);
    };
    const Csmi::Device phy0{};
    const Csmi::Buffer identify = Csmi::StpRequest(phy0, SatPassThrough::IdentifyRegisters(), 1);
    const auto changed = [](Csmi::Buffer buffer, std::size_t at, std::uint8_t value) {
        buffer[at] = value;
        return buffer;
    };
    using Rst = RstNvme::Command;
    const auto rst = [&changed](Rst command, std::size_t at, std::uint8_t value) {
        const RstNvme::Request request = RstNvme::Build(command, 0, 0, 0, 1);
        return changed(Csmi::Buffer(request.begin(), request.end()), at, value);
    };
    Csmi::Buffer rstCut = changed(changed(rst(Rst::HealthLog, 0, 28), 24, 0x88), 25, 0x02); // Length 648
    rstCut.resize(164 + 512);
    EXPECT_NONFATAL_FAILURE(csmi(Csmi::PhyInfoRequest()), "did not name itself");
    EXPECT_NONFATAL_FAILURE(csmi(identify), "did not name itself");
    EXPECT_NONFATAL_FAILURE(csmi(rst(Rst::HealthLog, 0, 28)), "did not name itself");
    EXPECT_TRUE(csmi(Csmi::DriverInfoRequest()));
    EXPECT_TRUE(csmi(identify));
    Csmi::Buffer shorter = identify;
    shorter.pop_back();
    const Csmi::Buffer smartData = Csmi::StpRequest(phy0, SatPassThrough::SmartRegisters(0xD0), 1);
    const Csmi::Buffer refusedMiniport[] = {
        changed(Csmi::DriverInfoRequest(), 16, 11),             // GET_RAID_CONFIG's code
        changed(changed(Csmi::PhyInfoRequest(), 10, 'R'), 16, 11), // "CSMIARY", GET_RAID_CONFIG
        changed(Csmi::PhyInfoRequest(), 16, 21),                // SET_PHY_INFO
        changed(identify, 0, 24),                               // HeaderLength
        shorter,                                                // Length past the buffer
        changed(identify, 46, 0xCA),                            // WRITE DMA
        changed(smartData, 47, 0xD6),                           // SMART WRITE LOG
        changed(smartData, 47, 0xD4),                           // SMART EXECUTE OFF-LINE IMMEDIATE
        changed(identify, 64, 0x12),                            // data out
        Csmi::StpRequest(phy0, SatPassThrough::SmartLogRegisters(0x00, 1), 1), // the log directory
        Csmi::StpRequest(phy0, SatPassThrough::SmartLogRegisters(0x02, 1), 1), // another log
        Csmi::StpRequest(phy0, SatPassThrough::SmartLogRegisters(0x04, 9), 9), // statistics past page 7
        Csmi::StpRequest(phy0, SatPassThrough::ReadLogExtRegisters(0x07), 1),  // READ LOG EXT
        rst(Rst::HealthLog, 32, 0x80),          // NVMe Format NVM
        rst(Rst::IdentifyController, 72, 0x00), // Identify of a namespace
        rst(Rst::ErrorLog, 72, 0x03),           // the firmware slot log
        rst(Rst::SelfTestLog, 74, 0x7F),        // the self-test log at 512 bytes
        rst(Rst::HealthLog, 96, 1),             // the I/O queue, where 02h reads the media and 01h writes
        rst(Rst::HealthLog, 164, 1),            // a byte toward the drive
        rstCut,                                 // a structure cut to the log
    };
    for (const Csmi::Buffer& request : refusedMiniport) {
        EXPECT_NONFATAL_FAILURE(csmi(request), "a miniport request the program may not send");
    }
    Kernel::CloseHandle(csmiPort);

    EXPECT_NONFATAL_FAILURE(Kernel::DeviceIoControl(device, IOCTL_SCSI_MINIPORT, nullptr, 0, nullptr, 0, &returned, nullptr),
                            "or one to a drive");
    Kernel::CloseHandle(device);
}

// Every request for a drive's own logs on each route, as one line each: what was asked, on
// which handle, with which buffer. A log is asked for only where the drive says it keeps it,
// by its exact address and length; the log directory (address 0), every other log and every
// write are never sent, which the fake kernel would fail besides. What the drive gave comes
// into the details where it counts.
TEST(Inventory, DriveLogRequestsOfEveryRoute)
{
    using Drive = DriveAnswers::Drive;
    const Bytes selfTests = DriveAnswers::AtaSelfTestLog({{2, 0x73, 100, 5000}});
    const Bytes errors = DriveAnswers::AtaErrorLog(3, {{0xC8, 0x40, 5000, 99}});
    const Bytes statistics = DriveAnswers::DeviceStatistics({{1, 0x10, 1234}, {7, 0x08, 100}});
    Bytes identify = DriveAnswers::IdentifyController("NVME", "1", "1");
    identify[256] = 0x10; // self-tests
    identify[262] = 3;    // four error log entries
    const auto ata = [&](std::uint8_t capabilities) {
        Drive drive = FullDrive();
        Bytes page = SmartPage().Attribute(0, 9, 1).Build();
        page[367] = (capabilities & 1) != 0 ? 0x10 : 0;
        page[370] = (capabilities & 2) != 0 ? 0x01 : 0;
        page[511] = static_cast<std::uint8_t>(page[511] - page[367] - page[370]);
        drive.smartPage = page;
        drive.smartLogs = {{0x06, selfTests}, {0x01, errors}, {0x04, statistics}, {0x00, Bytes(512, 1)}};
        return drive;
    };
    const auto nvme = [&](std::uint8_t oacs) {
        Drive drive;
        drive.nvmeLog = Bytes(512, 1);
        drive.nvmeIdentify = identify;
        drive.nvmeIdentify->at(256) = oacs;
        drive.nvmeSelfTests = DriveAnswers::NvmeSelfTestLog({{2, 7, 50, 77}});
        drive.nvmeErrors = Bytes(4 * 64, 0);
        drive.nvmeErrors->at(0) = 1;
        return drive;
    };
    const auto enclosed = [&](std::optional<NvmeBridge::Family> family) {
        Drive drive = nvme(0x10);
        return DriveAnswers::InNvmeEnclosure(drive, family, family == NvmeBridge::Family::JMicron
                                                                ? L"USB\\VID_152D&PID_0583\\1"
                                                                : L"USB\\VID_0BDA&PID_9210\\1",
                                             identify);
    };
    // With IDENTIFY naming General Purpose Logging, and the extended logs (07h, 03h) besides.
    const auto gpl = [&](bool logs) {
        Drive drive = ata(3);
        drive.ataIdentify = DriveAnswers::IdentifyDevice("M", "S", "F", true);
        if (logs) {
            drive.smartLogs[0x07] = DriveAnswers::AtaExtSelfTestLog({{2, 0x73, 100, 0x1'0000'5000}});
            drive.smartLogs[0x03] = DriveAnswers::AtaExtErrorLog(3, {{0x60, 0x40, 0x1'0000'5000, 99}});
        }
        return drive;
    };
    // A self-test log of more pages, its newest entry beyond the first.
    Drive morePages = gpl(true);
    morePages.smartLogs[0x07][2] += 20;
    morePages.smartLogs[0x07].back() = static_cast<std::uint8_t>(morePages.smartLogs[0x07].back() - 20);
    Drive noGpl = ata(3);
    noGpl.ataIdentify = DriveAnswers::IdentifyDevice("M", "S", "F");
    Drive refused = ata(3);
    refused.smartLogs.clear();
    Drive badChecksum = ata(3);
    badChecksum.smartLogs[0x06].back() ^= 1;
    badChecksum.smartLogs[0x01].back() ^= 1;
    BehindRaid raidGpl = OnRaidPort(gpl(true), "MODEL X", "SERIAL 1");
    raidGpl.port.devices[0].identify = DriveAnswers::IdentifyDevice("MODEL X", "SERIAL 1", "FW 1", true);
    const std::string kStatistics = "RW D5 04h 1 out 544, RW D5 04h 8 out 4128";
    const std::string kAll = "RW ATA ECh, RW D5 06h 1 out 544, RW D5 01h 1 out 544, " + kStatistics;
    const std::string kBridge =
        "RW SAT16 06h 1 out 600, RW SAT16 01h 1 out 600, RW SAT16 04h 1 out 600, RW SAT16 04h 8 out 4184";
    const std::string kNvme = "R NVMe adapter identify 4096, R NVMe log 06h 564, R NVMe log 01h 256";
    const struct {
        const char* name;
        Drive drive;
        std::string requests;
        bool selfTests, errors, statistics;
        bool extended = false;
        std::optional<DriveAnswers::Miniport> port = {};
    } cases[] = {
        {"ATA: both logs kept", ata(3), kAll, true, true, true},
        {"ATA: self-tests only", ata(1), "RW ATA ECh, RW D5 06h 1 out 544, " + kStatistics, true, false, true},
        {"ATA: no log kept: nothing asked", ata(0), "", false, false, false},
        {"ATA: every log refused", refused, "RW ATA ECh, RW D5 06h 1 out 544, RW D5 01h 1 out 544, RW D5 04h 1 out 544",
         false, false, false},
        {"ATA: IDENTIFY without General Purpose Logging", noGpl, kAll, true, true, true},
        {"ATA with General Purpose Logging: the extended logs in place of the summary ones", gpl(true),
         "RW ATA ECh, RW ATA 2Fh 07h, RW ATA 2Fh 03h, " + kStatistics, true, true, true, true},
        {"ATA with General Purpose Logging, the extended logs refused: the summary ones", gpl(false),
         "RW ATA ECh, RW ATA 2Fh 07h, RW D5 06h 1 out 544, RW ATA 2Fh 03h, RW D5 01h 1 out 544, " + kStatistics,
         true, true, true},
        {"ATA with General Purpose Logging, the extended self-test log's newest beyond its first page", morePages,
         "RW ATA ECh, RW ATA 2Fh 07h, RW D5 06h 1 out 544, RW ATA 2Fh 03h, " + kStatistics, true, true, true},
        {"USB dock with General Purpose Logging: the extended logs through the bridge",
         DriveAnswers::InUsbDock(gpl(true)),
         "RW SAT16 2Fh 07h, RW SAT16 2Fh 03h, RW SAT16 04h 1 out 600, RW SAT16 04h 8 out 4184", true, true, true, true},
        {"ATA: checksums that do not hold", badChecksum, kAll, false, false, true},
        {"USB dock: ATA PASS-THROUGH (16)", DriveAnswers::InUsbDock(ata(3)), kBridge, true, true, true},
        {"Behind iaStorAC: the summary logs through CSMI, though IDENTIFY DEVICE names General Purpose Logging",
         raidGpl.drive,
         "RW CSMI ECh 680, RW CSMI D5 06h 1 680, RW CSMI D5 01h 1 680, RW CSMI D5 04h 1 680, RW CSMI D5 04h 8 4264",
         true, true, true, false, raidGpl.port},
        {"NVMe", nvme(0x10), kNvme, true, true, false},
        {"NVMe without self-tests", nvme(0x00), "R NVMe adapter identify 4096, R NVMe log 01h 256", false, true, false},
        {"NVMe through JMicron", enclosed(NvmeBridge::Family::JMicron),
         "RW JMicron out 02h 02h, RW JMicron in 512, RW JMicron in 512, RW JMicron out 06h 01h, RW JMicron in 4096, "
         "RW JMicron in 512, RW JMicron out 02h 06h, RW JMicron in 564, RW JMicron in 512",
         true, false, false},
        {"NVMe through Realtek: the log does not fit", enclosed(NvmeBridge::Family::Realtek),
         "RW Realtek 02h 512, RW Realtek 06h 4096", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel::Reset();
        c.drive.ApplyTo(FakeKernel::Drive(2));
        if (c.port) {
            ScriptPort(*c.port);
        }
        DriveDetails details;
        ASSERT_TRUE(DiskManager::GetDriveDetails(2, details));
        std::ostringstream requests;
        for (const KernelCall& call : FakeKernel::CallsOf(Kind::Control)) {
            const Bytes& in = call.input;
            // STP_PASSTHRU (CSMI control code 25 at 16) of IDENTIFY DEVICE or SMART READ LOG: the
            // FIS's command at 46, features at 47, the log at 48, the count at 56.
            if (call.code == IOCTL_SCSI_MINIPORT && in[16] == 25 && (in[46] == 0xEC || in[47] == 0xD5)) {
                requests << (requests.tellp() > 0 ? ", " : "") << "RW CSMI " << std::hex << std::uppercase
                         << (in[46] == 0xEC ? "ECh" : "D5 ") << std::setfill('0');
                if (in[46] != 0xEC) {
                    requests << std::setw(2) << int{in[48]} << "h " << std::dec << int{in[56]};
                }
                requests << " " << std::dec << call.outSize;
                continue;
            }
            const bool smartLog = call.code == SMART_RCV_DRIVE_DATA && in.size() > 6 && in[4] == 0xD5;
            const bool satLog = call.code == IOCTL_SCSI_PASS_THROUGH && in[36] == 0x85 && in[40] == 0xD5;
            const bool satLogExt = call.code == IOCTL_SCSI_PASS_THROUGH && in[36] == 0x85 && in[50] == 0x2F;
            const bool ataPassThrough = call.code == IOCTL_ATA_PASS_THROUGH;
            const bool vendor = call.code == IOCTL_SCSI_PASS_THROUGH && in[36] != 0x85 && (in[36] != 0xA1 || in[37] != 0x08);
            const bool nvmeQuery = IsNvmeLogQuery(call) && in.size() >= 32 && in[16] != 0x02;
            if (!smartLog && !satLog && !satLogExt && !ataPassThrough && !vendor && !nvmeQuery) {
                continue;
            }
            requests << (requests.tellp() > 0 ? ", " : "")
                     << (FakeKernel::AccessOf(call.handle) == GENERIC_READ ? "R " : "RW ") << std::hex
                     << std::setfill('0') << std::uppercase;
            if (smartLog) {
                const auto command = DeviceAnswers::SmartLogCommand(2, in[6], in[5]);
                EXPECT_EQ(in, Bytes(command.begin(), command.end()));
                requests << "D5 " << std::setw(2) << int{in[6]} << "h " << std::dec << int{in[5]} << " out "
                         << call.outSize;
            } else if (satLog) {
                const auto cdb = SatPassThrough::SmartLogCommand(SatPassThrough::Length::Sixteen, in[44], in[42]);
                EXPECT_TRUE(std::equal(cdb.begin(), cdb.end(), in.begin() + 36));
                EXPECT_EQ(in[12] | in[13] << 8, in[42] * 512);
                requests << "SAT16 " << std::setw(2) << int{in[44]} << "h " << std::dec << int{in[42]} << " out "
                         << call.outSize;
            } else if (satLogExt) {
                const auto cdb = SatPassThrough::CommandOf(SatPassThrough::Length::Sixteen,
                                                           SatPassThrough::ReadLogExtRegisters(in[44]));
                EXPECT_TRUE(std::equal(cdb.begin(), cdb.end(), in.begin() + 36));
                requests << "SAT16 2Fh " << std::setw(2) << int{in[44]} << "h";
            } else if (ataPassThrough) {
                // ATA_PASS_THROUGH_EX's current task file: LBA low (the log) at 42, the command at 46.
                requests << "ATA " << std::setw(2) << int{in[46]} << "h";
                if (in[46] == 0x2F) {
                    requests << " " << std::setw(2) << int{in[42]} << "h";
                }
            } else if (vendor && in[36] == 0xE4) {
                requests << "Realtek " << std::setw(2) << int{in[39]} << "h " << std::dec << (in[37] | in[38] << 8);
            } else if (vendor && in[37] == 0x80) {
                requests << "JMicron out " << std::setw(2) << int{in[88 + 8]} << "h " << std::setw(2)
                         << int{in[88 + 48]} << "h";
            } else if (vendor) {
                requests << "JMicron in " << std::dec << (in[39] << 16 | in[40] << 8 | in[41]);
            } else {
                const auto length = static_cast<std::size_t>(in[28] | in[29] << 8);
                requests << (in[12] != 1 ? "NVMe log " : in[0] == StorageAdapterProtocolSpecificProperty ? "NVMe adapter identify "
                                                                                          : "NVMe device identify ");
                if (in[12] != 1) {
                    requests << std::setw(2) << int{in[16]} << "h ";
                }
                requests << std::dec << length;
                EXPECT_EQ(call.outSize, 48 + length);
            }
        }
        EXPECT_EQ(requests.str(), c.requests);
        EXPECT_EQ(details.selfTestLog.has_value() || !details.nvmeSelfTests.empty(), c.selfTests);
        EXPECT_EQ(details.errorLog.has_value() || !details.nvmeErrors.empty(), c.errors);
        EXPECT_EQ(!details.statistics.empty(), c.statistics);
        EXPECT_EQ(details.selfTestLogExtended && details.errorLogExtended, c.extended);
        EXPECT_EQ(FakeKernel::OpenHandles(), 0);
    }
}

// The partition tables the details read on the drive's read-only handle, each partition with a
// length as "number type [name] start+length": whatever the count says, only the entries
// returned, and asked again with a larger buffer while Windows says it was too small, up to a
// full GPT and a long chain of logical partitions. Windows lists an MBR disk's tables four
// entries each; the entries that link one logical partition's table to the next are no rows.
TEST(Inventory, PartitionTables)
{
    constexpr std::int64_t kMiB = 1 << 20, kGiB = std::int64_t{1} << 30;
    const char* const kEfi = "{C12A7328-F81F-11D2-BA4B-00A0C93EC93B}";
    const char* const kBasic = "{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}";
    using Layout = DriveAnswers::Layout;
    Layout sixParts(1);
    for (std::uint32_t n = 1; n <= 6; ++n) {
        sixParts.Gpt(n, n * kGiB, kGiB, n == 6 ? "{01234567-89AB-CDEF-0123-456789ABCDEF}" : kBasic, "");
    }
    Layout fullGpt(1);
    std::wstring fullGptText;
    for (std::uint32_t n = 1; n <= 128; ++n) {
        fullGpt.Gpt(n, n * kMiB, kMiB, kBasic, "");
        fullGptText += std::to_wstring(n) + L" Basic data [] " + std::to_wstring(n * kMiB) + L"+1048576; ";
    }
    // 40 logical partitions, each table with its partition, the link to the next and two empty entries.
    Layout chain = Layout(0).Mbr(1, kMiB, kGiB, 0x07).Mbr(0, kGiB + kMiB, 41 * kGiB, 0x0F).Mbr(0, 0, 0, 0).Mbr(0, 0, 0, 0);
    std::wstring chainText = L"1 NTFS / exFAT [] 1048576+1073741824; 0 Extended [] 1074790400+44023414784; ";
    for (std::uint32_t n = 5; n < 45; ++n) {
        const std::int64_t start = (n - 4) * kGiB + 2 * kMiB;
        chain.Mbr(n, start, kGiB - kMiB, 0x83).Mbr(0, start + kGiB - kMiB, n < 44 ? kGiB : 0, 0x05).Mbr(0, 0, 0, 0)
            .Mbr(0, 0, 0, 0);
        chainText += std::to_wstring(n) + L" Linux [] " + std::to_wstring(start) + L"+1072693248; ";
    }
    const struct {
        const char* name;
        std::optional<Layout> layout;
        std::wstring style;
        std::wstring partitions;
        std::vector<DWORD> outSizes; // of the layout requests
    } cases[] = {
        {"GPT", Layout(1).DiskId("{6A1B2C3D-1111-4222-8333-444455556666}").Gpt(1, kMiB, 100 * kMiB, kEfi, "EFI")
                    .Gpt(2, 101 * kMiB, 200 * kGiB, kBasic, "Basic data partition"),
         L"GPT, disk GUID {6A1B2C3D-1111-4222-8333-444455556666}",
         L"1 EFI System [EFI] 1048576+104857600; 2 Basic data [Basic data partition] 105906176+214748364800; ",
         {624}},
        {"MBR with an extended partition", Layout(0).Signature(0x1A2B3C4D).Mbr(1, kMiB, kGiB, 0x07)
                    .Mbr(0, kGiB + kMiB, 2 * kGiB, 0x0F).Mbr(0, 0, 0, 0).Mbr(0, 0, 0, 0)
                    .Mbr(5, kGiB + 2 * kMiB, kGiB, 0x0B).Mbr(0, 2 * kGiB + 2 * kMiB, kMiB + kMiB, 0x05).Mbr(0, 0, 0, 0)
                    .Mbr(0, 0, 0, 0).Mbr(6, 2 * kGiB + 3 * kMiB, kMiB, 0x99),
         L"MBR, disk signature 0x1A2B3C4D",
         L"1 NTFS / exFAT [] 1048576+1073741824; 0 Extended [] 1074790400+2147483648; "
         L"5 FAT32 [] 1075838976+1073741824; 6 0x99 [] 2150629376+1048576; ",
         {624, 1248, 2496}},
        {"a long chain of logical partitions", chain, L"MBR, disk signature 0x00000000", chainText,
         {624, 1248, 2496, 4992, 9984, 19968, 39936}},
        {"RAW", Layout(2), L"RAW (no partition table)", L"", {624}},
        {"a count past the bytes returned", Layout(1).Gpt(1, kMiB, kMiB, kEfi, "").Count(128),
         L"GPT, disk GUID {00000000-0000-0000-0000-000000000000}", L"1 EFI System [] 1048576+1048576; ", {624}},
        {"a buffer too small at first", sixParts, L"GPT, disk GUID {00000000-0000-0000-0000-000000000000}",
         L"1 Basic data [] 1073741824+1073741824; 2 Basic data [] 2147483648+1073741824; "
         L"3 Basic data [] 3221225472+1073741824; 4 Basic data [] 4294967296+1073741824; "
         L"5 Basic data [] 5368709120+1073741824; "
         L"6 {01234567-89AB-CDEF-0123-456789ABCDEF} [] 6442450944+1073741824; ",
         {624, 1248}},
        {"a full GPT", fullGpt, L"GPT, disk GUID {00000000-0000-0000-0000-000000000000}", fullGptText,
         {624, 1248, 2496, 4992, 9984, 19968}},
        {"not answered", std::nullopt, L"Not answered by the drive", L"", {624}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel::Reset();
        FullDrive().ApplyTo(FakeKernel::Drive(2));
        if (c.layout) {
            FakeKernel::Drive(2).Answer(IOCTL_DISK_GET_DRIVE_LAYOUT_EX, c.layout->Build());
        }
        DriveDetails details;
        ASSERT_TRUE(DiskManager::GetDriveDetails(2, details));
        EXPECT_EQ(PartitionText::StyleText(details), c.style);
        std::wstring partitions;
        for (const auto& p : details.layout ? details.layout->partitions : std::vector<DriveLayout::Partition>{}) {
            partitions += std::to_wstring(p.number) + L" " + PartitionText::TypeName(details.layout->style, p) + L" [" +
                          p.name + L"] " + std::to_wstring(p.start) + L"+" + std::to_wstring(p.length) + L"; ";
        }
        EXPECT_EQ(partitions, c.partitions);
        std::vector<DWORD> outSizes;
        for (const KernelCall& call : FakeKernel::CallsOf(Kind::Control)) {
            if (call.code == IOCTL_DISK_GET_DRIVE_LAYOUT_EX) {
                EXPECT_EQ(FakeKernel::AccessOf(call.handle), DWORD{GENERIC_READ});
                outSizes.push_back(call.outSize);
            }
        }
        EXPECT_EQ(outSizes, c.outSizes);
    }
}

// Volumes found once per refresh: two on one drive, one spanned over two drives, one mounted
// in a folder only, one that does not open and a card reader without its card (both left
// out). Every volume is opened with no access, after Windows' box for a missing disk is turned
// off (the bits already set kept); the details read the file system of their drive's volumes.
TEST(Inventory, VolumesOfEachDrive)
{
    FakeKernel::Reset();
    for (const int drive : {0, 1, 2, 3}) {
        FullDrive().ApplyTo(FakeKernel::Drive(drive));
    }
    const auto volume = [](const wchar_t* guid, std::vector<std::wstring> paths, std::optional<Bytes> extents) {
        FakeVolume& added = FakeKernel::AddVolume(std::wstring(L"\\\\?\\Volume{") + guid + L"}\\");
        added.paths = std::move(paths);
        added.extents = std::move(extents);
        return &added;
    };
    volume(L"c", {L"C:\\"}, DriveAnswers::Extents({{0, 1 << 20, 1 << 30}}));
    volume(L"d", {L"D:\\", L"C:\\Data\\"}, DriveAnswers::Extents({{0, std::int64_t{2} << 30, 1 << 30}}));
    volume(L"e", {L"E:\\"}, DriveAnswers::Extents({{1, 1 << 20, 1 << 30}, {2, 1 << 20, 1 << 30}}));
    volume(L"m", {L"C:\\Mount\\Backup\\"}, DriveAnswers::Extents({{1, std::int64_t{3} << 30, 1 << 30}}));
    volume(L"f", {L"F:\\"}, DriveAnswers::Extents({{3, 1 << 20, 1 << 30}}))->opens = false;
    volume(L"g", {L"G:\\"}, std::nullopt);
    Kernel::SetErrorMode(SEM_NOGPFAULTERRORBOX);

    const auto drives = DiskManager::EnumerateDrives();
    ASSERT_EQ(drives.size(), 4u);
    const std::wstring expected[] = {L"C: D:", L"C:\\Mount\\Backup E:", L"E:", L""};
    for (std::size_t i = 0; i < drives.size(); ++i) {
        EXPECT_EQ(drives[i].volumes, expected[i]) << i;
    }
    EXPECT_EQ(FakeKernel::ErrorMode(), UINT{SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX});
    std::vector<std::wstring> volumeOpens;
    const auto& calls = FakeKernel::Calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const KernelCall& call = calls[i];
        if (call.kind == Kind::Volume && volumeOpens.empty()) {
            EXPECT_EQ(call.function, "FindFirstVolumeW");
            EXPECT_EQ(calls[i - 1].function, "SetErrorMode");
        }
        if (call.kind == Kind::Open && call.path.rfind(L"\\\\?\\", 0) == 0) {
            EXPECT_EQ(call.access, 0u);
            EXPECT_EQ(call.share, kShare);
            volumeOpens.push_back(call.path);
        }
    }
    EXPECT_EQ(volumeOpens.size(), 6u);
    EXPECT_EQ(volumeOpens[0], L"\\\\?\\Volume{c}");
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);

    DriveDetails details;
    ASSERT_TRUE(DiskManager::GetDriveDetails(0, details));
    ASSERT_EQ(details.volumes.size(), 2u);
    EXPECT_EQ(details.info.volumes, L"C: D:");
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);

    // The fake fails what would reach a volume's data or mount its file system: access to the
    // volume, a path on it, its letter.
    const auto open = [](const wchar_t* path, DWORD access) {
        const KernelHandle handle(Kernel::CreateFileW(path, access, kShare, nullptr, OPEN_EXISTING, 0, nullptr));
    };
    EXPECT_NONFATAL_FAILURE(open(L"\\\\?\\Volume{c}", GENERIC_READ), "only 0 is allowed");
    EXPECT_NONFATAL_FAILURE(open(L"\\\\?\\Volume{c}\\", 0), "a path on a volume");
    EXPECT_NONFATAL_FAILURE(open(L"\\\\?\\Volume{c}\\Windows", 0), "a path on a volume");
    EXPECT_NONFATAL_FAILURE(open(L"C:\\", GENERIC_READ), "volume's letter");
    EXPECT_NONFATAL_FAILURE(open(L"\\\\.\\C:", GENERIC_READ), "volume's letter");
}

// Each partition's file system from its first 4 KiB, read unbuffered on the drive's read-only
// handle at the partition's start, never asked of Windows, which would mount it to answer. A
// start that is no whole sector, or a partition shorter than the read, is not read; a read that
// fails, or bytes that name nothing, leave "-". The list reads nothing.
TEST(Inventory, FileSystemsFromFirstSectors)
{
    constexpr std::int64_t kMiB = 1 << 20;
    const char* const kBasic = "{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}";
    FakeKernel::Reset();
    FakeDrive& drive = FakeKernel::Drive(1);
    FullDrive().ApplyTo(drive);
    drive.Answer(IOCTL_DISK_GET_DRIVE_LAYOUT_EX, DriveAnswers::Layout(1)
                                                     .Gpt(1, 63 * 512, kMiB, kBasic, "")
                                                     .Gpt(2, 2 * kMiB, kMiB, kBasic, "")
                                                     .Gpt(3, 3 * kMiB, 4096, kBasic, "")
                                                     .Gpt(4, 4 * kMiB, 4095, kBasic, "")
                                                     .Gpt(5, 5 * kMiB + 100, kMiB, kBasic, "")
                                                     .Gpt(6, 6 * kMiB, kMiB, kBasic, "")
                                                     .Gpt(7, 7 * kMiB, kMiB, kBasic, "")
                                                     .Build());
    const std::pair<std::int64_t, const char*> contents[] = {{63 * 512, "NTFS"},      {2 * kMiB, "ext4"},
                                                             {3 * kMiB, "BitLocker"}, {4 * kMiB, "LUKS"},
                                                             {5 * kMiB + 100, "FAT32"}, {6 * kMiB, "FAT32"}};
    for (const auto& [at, fileSystem] : contents) {
        drive.contents[static_cast<std::uint64_t>(at)] = DriveAnswers::FileSystemStart(fileSystem);
    }
    drive.reads.resize(4);
    drive.reads[3].fails = true;

    DriveInfo listed;
    ASSERT_TRUE(DiskManager::GetDriveInfo(1, listed));
    EXPECT_TRUE(FakeKernel::CallsOf(Kind::Read).empty());
    DriveDetails details;
    ASSERT_TRUE(DiskManager::GetDriveDetails(1, details));
    std::wstring fileSystems;
    for (const auto& row : PartitionText::BuildTable(details).rows) {
        fileSystems += row.back() + L" ";
    }
    EXPECT_EQ(fileSystems, L"NTFS ext4 BitLocker - - - - ");

    std::vector<std::uint64_t> offsets;
    for (const KernelCall& read : FakeKernel::CallsOf(Kind::Read)) {
        EXPECT_EQ(read.bytesToRead, 4096u);
        EXPECT_FALSE(read.overlappedNull);
        EXPECT_EQ(FakeKernel::AccessOf(read.handle), DWORD{GENERIC_READ});
        offsets.push_back(read.offset);
    }
    EXPECT_EQ(offsets, (std::vector<std::uint64_t>{63 * 512, 2 * kMiB, 3 * kMiB, 6 * kMiB, 7 * kMiB}));
    const auto opens = FakeKernel::CallsOf(Kind::Open);
    const auto detailsOpen = std::find_if(opens.begin(), opens.end(), [&](const KernelCall& call) {
        return call.handle == FakeKernel::CallsOf(Kind::Read).front().handle;
    });
    ASSERT_NE(detailsOpen, opens.end());
    EXPECT_EQ(detailsOpen->flags, DWORD{FILE_FLAG_NO_BUFFERING});
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
}

// Drive numbers 0 to 31, each tried once and in order, 32 never; records without gaps.
TEST(Inventory, EnumerateDrives)
{
    FakeKernel::Reset();
    for (const int present : {0, 2, 31, 32}) {
        FullDrive().ApplyTo(FakeKernel::Drive(present));
    }
    DriveAnswers::TypicalDrive("TWO", "S2", "F2", 1, 2, 3, 4).ApplyTo(FakeKernel::Drive(2));
    FakeKernel::Drive(3).opens = false;
    FakeKernel::Drive(5); // opens, answers nothing

    const auto drives = DiskManager::EnumerateDrives();
    ASSERT_EQ(drives.size(), 4u);
    const std::int32_t indexes[] = {0, 2, 5, 31};
    const wchar_t* models[] = {L"MODEL X", L"TWO", L"Unknown", L"MODEL X"};
    for (std::size_t i = 0; i < drives.size(); ++i) {
        EXPECT_EQ(drives[i].index, indexes[i]);
        EXPECT_EQ(drives[i].model, models[i]);
    }

    std::vector<std::wstring> readOpens;
    for (const KernelCall& open : FakeKernel::CallsOf(Kind::Open)) {
        if (open.access == GENERIC_READ) {
            readOpens.push_back(open.path);
        }
    }
    ASSERT_EQ(readOpens.size(), 32u);
    for (std::size_t n = 0; n < readOpens.size(); ++n) {
        EXPECT_EQ(readOpens[n], L"\\\\.\\PhysicalDrive" + std::to_wstring(n));
    }
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);

    DriveInfo untouched = FullRecord(9);
    EXPECT_FALSE(DiskManager::GetDriveInfo(3, untouched));
    ExpectRecord(untouched, FullRecord(9));
}

// What each answer, or its absence, leaves in the record; every other field keeps its value.
TEST(Inventory, Records)
{
    ASSERT_EQ(::GetACP(), 1252u) << "the conversion cases assume Windows-1252 (scripts/wine-run.sh sets en_US)";
    using Drive = DriveAnswers::Drive;
    const auto model = [](std::string_view text) { return Descriptor().Model(text).Serial("SERIAL 1").Firmware("FW 1"); };
    const auto modelAt = [](std::uint32_t offset) {
        return Descriptor().Serial("SERIAL 1").Firmware("FW 1").Offset(Descriptor::kProductIdField, offset);
    };
    const auto noSmart = [](DriveInfo& r) {
        r.temperature = -1;
        r.powerOnHours = -1;
        r.powerCycles = -1;
    };
    const auto temperature = [](std::int32_t value) {
        return [value](DriveInfo& r) {
            r.temperature = value;
            r.powerOnHours = -1;
            r.powerCycles = -1;
        };
    };
    const auto caution = [](DriveInfo& r) {
        r.failurePredicted = true;
        r.health = L"Caution / Bad";
    };
    const auto unknownModel = [](DriveInfo& r) { r.model = L"Unknown"; };
    const auto usb = [](std::function<void(UsbBridge&)> change) {
        return [change](Drive& d) {
            d = DriveAnswers::InUsbDock(d);
            change(*d.bridge);
        };
    };
    const auto same = [](DriveInfo&) {};
    const std::string toTheEnd(24, 'R');
    const struct {
        const char* name;
        std::function<void(Drive&)> script;
        std::function<void(DriveInfo&)> expect;
        bool opensReadWrite = true;
    } cases[] = {
        {"every request answers", [](Drive&) {}, same},
        {"no request answers", [](Drive& d) { d = Drive{}; },
         [](DriveInfo& r) { r = {5, L"Unknown", L"Unknown", L"Unknown", 0, false, L"Good", -1, -1, -1, L""}; }},
        {"capacity fails", [](Drive& d) { d.sizeBytes.reset(); }, [](DriveInfo& r) { r.sizeBytes = 0; }},
        {"identity fails", [](Drive& d) { d.descriptor.reset(); },
         [](DriveInfo& r) { r.model = r.serialNumber = r.firmware = L"Unknown"; }},
        {"prediction fails", [](Drive& d) { d.predictFailure.reset(); }, [](DriveInfo&) {}},
        {"prediction answers 1", [](Drive& d) { d.predictFailure = 1; },
         caution},
        {"prediction answers 0x10000", [](Drive& d) { d.predictFailure = 0x10000; },
         caution},
        {"the version request fails", [](Drive& d) { d.smartVersion = false; }, noSmart},
        {"the SMART data request fails", [](Drive& d) { d.smartPage.reset(); }, noSmart},
        {"the read-write open is refused", [](Drive&) {}, noSmart, false},
        {"an all-zero SMART page", [](Drive& d) { d.smartPage = Bytes(512); }, noSmart},
        {"190 in slot 3, 194 in slot 7",
         [](Drive& d) { d.smartPage = SmartPage().Attribute(3, 190, 33).Attribute(7, 194, 0x3200'2C).Build(); },
         temperature(44)},
        {"194 in slot 3, 190 in slot 7",
         [](Drive& d) { d.smartPage = SmartPage().Attribute(3, 194, 44).Attribute(7, 190, 33).Build(); },
         temperature(33)},
        {"blanks around the text", [&](Drive& d) { d.descriptor = model("  Text   "); },
         [](DriveInfo& r) { r.model = L"Text"; }},
        {"serial number offset 0", [](Drive& d) { d.descriptor = Descriptor().Model("MODEL X").Firmware("FW 1"); },
         [](DriveInfo& r) { r.serialNumber = L"Unknown"; }},
        {"an all-blank model", [&](Drive& d) { d.descriptor = model("     "); }, [](DriveInfo& r) { r.model = L""; }},
        {"only space, tab, CR and LF are trimmed", [&](Drive& d) { d.descriptor = model("\t\r\n X\v \n"); },
         [](DriveInfo& r) { r.model = L"X\v"; }},
        {"a model that runs to the end of the answer",
         [&](Drive& d) { d.descriptor = modelAt(1000).At(1000, toTheEnd); },
         [&](DriveInfo& r) { r.model = std::wstring(toTheEnd.begin(), toTheEnd.end()); }},
        {"model offset 1023", [&](Drive& d) { d.descriptor = modelAt(1023).At(1023, "Q"); },
         [](DriveInfo& r) { r.model = L"Q"; }},
        {"model offset 1024", [&](Drive& d) { d.descriptor = modelAt(1024); }, unknownModel},
        {"model offset 0xFFFFFFFF", [&](Drive& d) { d.descriptor = modelAt(0xFFFFFFFF); }, unknownModel},
        {"a model in code page 1252", [&](Drive& d) { d.descriptor = model("Caf\xE9 \x80 1"); },
         [](DriveInfo& r) { r.model = L"Caf\u00E9 \u20AC 1"; }},
        {"USB: the bridge answers", usb([](UsbBridge&) {}), same},
        {"USB: only the 12-byte command answers", usb([](UsbBridge& b) { std::swap(b.page16, b.page12); }), same},
        {"USB: GOOD with a wrong checksum", usb([](UsbBridge& b) { b.page16->back() ^= 1; }), noSmart},
        {"USB: CHECK CONDITION", usb([](UsbBridge& b) { b.scsiStatus = 2; }), noSmart},
        {"USB: 511 bytes transferred", usb([](UsbBridge& b) { b.transferred = 511; }), noSmart},
        {"USB: 513 bytes transferred", usb([](UsbBridge& b) { b.transferred = 513; }), noSmart},
        {"USB: the request fails, and no NVMe log is asked for",
         [&](Drive& d) {
             usb([](UsbBridge& b) { b.fails = true; })(d);
             d.nvmeLog = Bytes(512, 0x5A);
         },
         noSmart},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel::Reset();
        Drive drive = FullDrive();
        c.script(drive);
        drive.ApplyTo(FakeKernel::Drive(5));
        FakeKernel::Drive(5).opensReadWrite = c.opensReadWrite;
        DriveInfo expected = FullRecord(5);
        c.expect(expected);
        DriveInfo info;
        ASSERT_TRUE(DiskManager::GetDriveInfo(5, info));
        ExpectRecord(info, expected);
    }
}

TEST(Inventory, TrimStringConvertsFromTheAnsiCodePage)
{
    ASSERT_EQ(::GetACP(), 1252u) << "the cases assume Windows-1252 (scripts/wine-run.sh sets en_US)";
    const struct {
        const char* text;
        std::uint64_t length;
        std::wstring expected;
        std::size_t conversions;
    } cases[] = {
        {nullptr, 5, L"", 0},
        {"abc", 0, L"", 0},
        {" \t\r\n", 4, L"", 0},
        {"  abcd  ", 4, L"ab", 2}, // only the bytes given
        {"\x80", 1, L"\u20AC", 2},
        {" \xE9t\xE9 ", 5, L"\u00E9t\u00E9", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        FakeKernel::Reset();
        EXPECT_EQ(DiskManager::TrimString(c.text, c.length), c.expected);
        EXPECT_EQ(FakeKernel::CallsOf(Kind::Convert).size(), c.conversions);
    }
}

TEST(Inventory, RecordCopyOutlivesItsSource)
{
    FakeKernel::Reset();
    const std::string serial(40, 'S'); // longer than any string kept inside the object
    DriveAnswers::TypicalDrive("A MODEL NAME LONGER THAN SHORT", serial, "FIRMWARE", 1, 2, 3, 4).ApplyTo(FakeKernel::Drive(0));
    auto source = std::make_unique<DriveInfo>();
    ASSERT_TRUE(DiskManager::GetDriveInfo(0, *source));
    const DriveInfo copy = *source;
    source.reset();
    EXPECT_EQ(copy.model, L"A MODEL NAME LONGER THAN SHORT");
    EXPECT_EQ(copy.serialNumber, std::wstring(40, L'S'));
    EXPECT_EQ(copy.firmware, L"FIRMWARE");
    EXPECT_EQ(copy.health, L"Good");
}

// Every page in the folder of real drives and its thresholds page, as a fake drive's SMART
// answers, against its rows: once inside the machine, once in a USB dock, through the bridge.
TEST(Inventory, RealDrivePages)
{
    const auto dir = DriveAnswers::SmartPagesDir(OSTREVANE_SMART_PAGES_DIR);
    const auto real = DriveAnswers::LoadRealDrives(dir);
    for (const auto& problem : real.problems) {
        ADD_FAILURE() << problem;
    }
    ASSERT_FALSE(real.drives.empty()) << "no pages in " << dir;
    const auto wide = [](const std::string& text) { return std::wstring(text.begin(), text.end()); };
    std::int32_t number = 0;
    for (const auto& page : real.drives) {
        SCOPED_TRACE(page.name);
        DriveAnswers::Drive inside = FullDrive();
        inside.descriptor = Descriptor().Model(page.model).Serial(page.serial).Firmware(page.firmware);
        inside.smartPage = page.page;
        inside.smartThresholds = page.thresholds;
        const BehindRaid raid = OnRaidPort(inside, DriveAnswers::Unpadded(page.model), DriveAnswers::Unpadded(page.serial));
        const std::pair<DriveAnswers::Drive, SmartSource> attachments[] = {
            {inside, SmartSource::Ata}, {DriveAnswers::InUsbDock(inside), SmartSource::UsbBridge},
            {raid.drive, SmartSource::Csmi}};
        for (const auto& [drive, source] : attachments) {
            SCOPED_TRACE(source == SmartSource::Ata ? "inside" : source == SmartSource::Csmi ? "behind iaStorAC" : "in a USB dock");
            FakeKernel::Reset();
            drive.ApplyTo(FakeKernel::Drive(number));
            ScriptPort(raid.port);
            DriveDetails details;
            ASSERT_TRUE(DiskManager::GetDriveDetails(number, details));
            EXPECT_EQ(details.source, source);
            ASSERT_TRUE(details.smartData && details.smartThresholds);
            EXPECT_EQ(*details.smartData, PageOf(page.page));
            EXPECT_EQ(*details.smartThresholds, PageOf(page.thresholds));
            EXPECT_EQ(AtaSmart::ReadAttributes(*details.smartData, AtaSmart::Page(*details.smartThresholds)).size(),
                      page.attributes.size());
            const DriveInfo& info = details.info;
            EXPECT_EQ(info.temperature, page.temperature);
            EXPECT_EQ(info.powerOnHours, page.powerOnHours);
            EXPECT_EQ(info.powerCycles, page.powerCycles);
            EXPECT_EQ(info.model, wide(DriveAnswers::Unpadded(page.model)));
            EXPECT_EQ(info.serialNumber, wide(DriveAnswers::Unpadded(page.serial)));
            EXPECT_EQ(info.firmware, wide(DriveAnswers::Unpadded(page.firmware)));
        }
        number = (number + 1) % DiskManager::kMaxDrives;
    }
    std::cout << "checked " << real.drives.size() << " real drive pages from " << dir.string()
              << ", each inside the machine, through a USB bridge and behind a RAID driver\n";
}

// A RAID-0 array behind the RAID driver, beside a single drive on the same port, from real
// drives' pages: the array's members are the port's SATA devices that no single drive is, each
// with its identity from IDENTIFY DEVICE, its pages and its verdict, and the array takes its worst
// member's verdict, named; each device's SMART pages are asked once in a refresh. A driver the
// program does not read is asked its name and nothing more.
TEST(Inventory, RaidArrays)
{
    const auto real = DriveAnswers::LoadRealDrives(DriveAnswers::SmartPagesDir(OSTREVANE_SMART_PAGES_DIR));
    const auto named = [&real](std::string_view name) {
        const auto it = std::find_if(real.drives.begin(), real.drives.end(), [name](const auto& d) { return d.name == name; });
        return it == real.drives.end() ? nullptr : &*it;
    };
    const DriveAnswers::RealDrive* members[] = {named("KINGSTON_SA400S37240G_SBFK71B1"), named("Hitachi_HDS721010CLA632")};
    const DriveAnswers::RealDrive* single = named("INTEL_SSDSA2CW120G3--4PC10302");
    ASSERT_TRUE(members[0] && members[1] && single);
    // The verdict attributes.tsv gives: Caution for a row to watch.
    const auto verdictOf = [](const DriveAnswers::RealDrive& drive) {
        const bool watch = std::any_of(drive.attributes.begin(), drive.attributes.end(),
                                       [](const auto& row) { return row.back() == "watch"; });
        return watch ? Assessment::Verdict::Caution : Assessment::Verdict::Good;
    };
    ASSERT_EQ(verdictOf(*members[0]), Assessment::Verdict::Good);
    ASSERT_EQ(verdictOf(*members[1]), Assessment::Verdict::Caution);
    const auto wide = [](std::string_view text) { return std::wstring(text.begin(), text.end()); };
    const auto device = [](const DriveAnswers::RealDrive& drive) {
        return DriveAnswers::Miniport::Device{
            DriveAnswers::IdentifyDevice(DriveAnswers::Unpadded(drive.model), DriveAnswers::Unpadded(drive.serial),
                                         DriveAnswers::Unpadded(drive.firmware), false, 512, kSize / 512),
            drive.page, drive.thresholds, {}};
    };
    for (const std::string driver : {"iaStorAC", "iaStorVD", "rcraid", "megasas2"}) {
        SCOPED_TRACE(driver);
        const bool read = driver != "megasas2";
        FakeKernel::Reset();
        DriveAnswers::Miniport port;
        port.driver = driver;
        port.devices = {device(*members[0]), device(*single), device(*members[1])};
        ScriptPort(port);
        DriveAnswers::Drive array;
        array.sizeBytes = 2 * kSize;
        array.descriptor = Descriptor().Model("Volume0").BusType(DriveDetails::kBusTypeRaid);
        array.scsiAddress = DriveAnswers::ScsiAddress(0, 0);
        array.ApplyTo(FakeKernel::Drive(0));
        DriveAnswers::Drive alone;
        alone.sizeBytes = kSize;
        alone.descriptor = Descriptor().Model(single->model).Serial(single->serial).BusType(DriveDetails::kBusTypeRaid);
        alone.scsiAddress = DriveAnswers::ScsiAddress(0, 1);
        alone.ApplyTo(FakeKernel::Drive(1));

        const std::vector<DriveInfo> list = DiskManager::EnumerateDrives();
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0].health, read ? L"Caution" : L"Good");
        EXPECT_EQ(list[1].powerOnHours, read ? single->powerOnHours : -1);
        // SMART READ DATA (features D0h at 47, the FIS's at 44) by phy, over the whole refresh.
        using Counts = std::map<int, int>;
        Counts smartReads;
        for (const KernelCall& call : FakeKernel::CallsOf(Kind::Control)) {
            if (call.code == IOCTL_SCSI_MINIPORT && call.input.size() > 47 && call.input[16] == 25 && call.input[47] == 0xD0) {
                ++smartReads[call.input[28]];
            }
        }
        EXPECT_EQ(smartReads, (read ? Counts{{0, 1}, {1, 1}, {2, 1}} : Counts{}));
        // The NVMe pass-through only to Intel's drivers, once for the array.
        const auto calls = FakeKernel::CallsOf(Kind::Control);
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                                [](const KernelCall& call) {
                                    return call.code == IOCTL_SCSI_MINIPORT &&
                                           std::equal(call.input.begin() + 4, call.input.begin() + 12, "IntelNvm");
                                }),
                  driver.rfind("iaStor", 0) == 0 ? 1 : 0);

        DriveDetails details;
        ASSERT_TRUE(DiskManager::GetDriveDetails(0, details));
        EXPECT_EQ(details.raidDriver, wide(driver));
        const Assessment assessment = Assessment::Of(details);
        if (!read) {
            EXPECT_TRUE(details.members.empty());
            EXPECT_EQ(assessment.verdict, Assessment::Verdict::Unknown);
            EXPECT_EQ(assessment.reasons, std::vector<std::wstring>{L"behind the megasas2 RAID driver: not read"});
            continue;
        }
        ASSERT_EQ(details.members.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            const DriveDetails& member = details.members[i];
            EXPECT_EQ(member.info.model, wide(DriveAnswers::Unpadded(members[i]->model)));
            EXPECT_EQ(member.info.serialNumber, wide(DriveAnswers::Unpadded(members[i]->serial)));
            EXPECT_EQ(member.info.powerOnHours, members[i]->powerOnHours);
            EXPECT_EQ(member.info.sizeBytes, kSize);
            EXPECT_EQ(member.source, SmartSource::Csmi);
            ASSERT_TRUE(member.smartData && member.smartThresholds);
            EXPECT_EQ(*member.smartData, PageOf(members[i]->page));
            EXPECT_EQ(*member.smartThresholds, PageOf(members[i]->thresholds));
            EXPECT_EQ(Assessment::Of(member).verdict, verdictOf(*members[i]));
        }
        EXPECT_EQ(assessment.verdict, Assessment::Verdict::Caution);
        ASSERT_FALSE(assessment.reasons.empty());
        EXPECT_EQ(assessment.reasons[0], L"Member 2 (" + wide(DriveAnswers::Unpadded(members[1]->model)) +
                                             L", serial number " + wide(DriveAnswers::Unpadded(members[1]->serial)) +
                                             L") is the worst of 2: Caution");
        const std::wstring copy = DetailsText::CopyText(details);
        EXPECT_NE(copy.find(L"Member\t2\r\nDrive\t0\r\nModel\t" + wide(DriveAnswers::Unpadded(members[1]->model))),
                  std::wstring::npos);
        EXPECT_EQ(FakeKernel::OpenHandles(), 0);
    }
}
