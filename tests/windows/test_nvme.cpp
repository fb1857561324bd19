#include "DriveAnswers.h"
#include "FakeKernel.h"
#include "diskinfo/Assessment.h"
#include "diskinfo/DiskInfo.h"

#include <gtest/gtest.h>

#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kLogSize = 512;
constexpr std::int64_t kCap = (std::int64_t{1} << 48) - 1;
constexpr DWORD kNoProperty = 0xFFFFFFFF;

void PutLe(FakeBytes& bytes, std::size_t at, std::uint64_t value, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i) {
        bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A health log with the composite temperature and the two 128-bit counts, each given as its
// low and high 64 bits.
FakeBytes HealthLog(std::uint16_t kelvin, std::uint64_t cyclesLow, std::uint64_t hoursLow, std::uint64_t cyclesHigh = 0,
                    std::uint64_t hoursHigh = 0)
{
    FakeBytes log(kLogSize, 0);
    PutLe(log, 1, kelvin, 2);
    PutLe(log, 112, cyclesLow, 8);
    PutLe(log, 120, cyclesHigh, 8);
    PutLe(log, 128, hoursLow, 8);
    PutLe(log, 136, hoursHigh, 8);
    return log;
}

DWORD PropertyOf(const FakeBytes& input)
{
    if (input.size() < sizeof(DWORD)) {
        return kNoProperty;
    }
    DWORD id = 0;
    std::memcpy(&id, input.data(), sizeof(id));
    return id;
}

// An NVMe drive: no ATA SMART requests, and the two protocol-specific properties answered
// (or failed, for nullopt) independently.
void AddNvmeDrive(int number, std::optional<FakeBytes> device, std::optional<FakeBytes> adapter)
{
    FakeKernel::Drive(number).answers[IOCTL_STORAGE_QUERY_PROPERTY] =
        [device = std::move(device), adapter = std::move(adapter)](const FakeBytes& input) -> std::optional<FakeBytes> {
        switch (PropertyOf(input)) {
        case StorageDeviceProtocolSpecificProperty:
            return device;
        case StorageAdapterProtocolSpecificProperty:
            return adapter;
        default:
            return std::nullopt;
        }
    };
}

// An ATA drive whose SMART page holds the given attributes (id, raw value).
void AddAtaDrive(int number, const std::vector<std::pair<std::uint8_t, std::uint64_t>>& attributes)
{
    FakeBytes answer(offsetof(SENDCMDOUTPARAMS, bBuffer) + kLogSize, 0);
    std::size_t entry = offsetof(SENDCMDOUTPARAMS, bBuffer) + 2;
    for (const auto& [id, raw] : attributes) {
        answer[entry] = id;
        PutLe(answer, entry + 5, raw, 6);
        entry += 12;
    }
    FakeKernel::Drive(number)
        .Answer(SMART_GET_VERSION, FakeBytes(sizeof(GETVERSIONINPARAMS), 0))
        .Answer(SMART_RCV_DRIVE_DATA, answer);
}

std::vector<KernelCall> Requests()
{
    return FakeKernel::CallsOf(KernelCall::Kind::Control);
}

// The property id of every IOCTL_STORAGE_QUERY_PROPERTY, in order.
std::vector<DWORD> QueriedProperties()
{
    std::vector<DWORD> ids;
    for (const KernelCall& call : Requests()) {
        if (call.code == IOCTL_STORAGE_QUERY_PROPERTY) {
            ids.push_back(PropertyOf(call.input));
        }
    }
    return ids;
}

DriveInfo Probe(int number)
{
    DriveInfo info;
    EXPECT_TRUE(DiskManager::GetDriveInfo(number, info));
    EXPECT_EQ(FakeKernel::OpenHandles(), 0);
    return info;
}

TEST(Nvme, RequestIsTheHealthLogQueryOnTheReadOnlyHandle)
{
    FakeKernel::Reset();
    AddNvmeDrive(0, std::nullopt, std::nullopt);
    Probe(0);

    // NVMe, log page, log 0x02 from its byte 0, returned 40 bytes on (behind this structure), 512 bytes.
    const FakeBytes protocolData{0x03, 0, 0, 0, 0x02, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0x28, 0, 0, 0,
                                 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    FakeBytes device{0x32, 0, 0, 0, 0, 0, 0, 0}; // StorageDeviceProtocolSpecificProperty, standard query
    FakeBytes adapter{0x31, 0, 0, 0, 0, 0, 0, 0}; // StorageAdapterProtocolSpecificProperty, standard query
    device.insert(device.end(), protocolData.begin(), protocolData.end());
    adapter.insert(adapter.end(), protocolData.begin(), protocolData.end());

    std::vector<FakeBytes> sent;
    for (const KernelCall& call : Requests()) {
        const DWORD property = PropertyOf(call.input);
        if (call.code != IOCTL_STORAGE_QUERY_PROPERTY || property == StorageDeviceProperty ||
            property == StorageDeviceTemperatureProperty) {
            continue;
        }
        sent.push_back(call.input);
        EXPECT_EQ(call.outSize, sizeof(STORAGE_PROTOCOL_DATA_DESCRIPTOR) + kLogSize);
        EXPECT_TRUE(call.outZeroed);
        EXPECT_TRUE(call.overlappedNull);
        EXPECT_EQ(FakeKernel::AccessOf(call.handle), DWORD{GENERIC_READ});
    }
    EXPECT_EQ(sent, (std::vector<FakeBytes>{device, adapter}));
}

TEST(Nvme, DeviceFirstThenAdapter)
{
    struct Case {
        const char* name;
        std::optional<FakeBytes> device, adapter;
        std::int32_t temperature;
        std::vector<DWORD> properties;
    };
    const FakeBytes at30 = DriveAnswers::NvmeLogAnswer(HealthLog(303, 1, 1));
    const FakeBytes at40 = DriveAnswers::NvmeLogAnswer(HealthLog(313, 1, 1));
    const FakeBytes badOffset = DriveAnswers::NvmeLogAnswer(HealthLog(303, 1, 1), 41);
    const DWORD dev = StorageDeviceProtocolSpecificProperty;
    const DWORD ada = StorageAdapterProtocolSpecificProperty;
    const DWORD tmp = StorageDeviceTemperatureProperty; // asked where the log gave no temperature
    const Case cases[] = {
        // Then Identify Controller, by the adapter property and then the device property: these
        // drives answer it with the health log, too short to count, so no other log is asked for.
        {"device answers", at30, at40, 30, {StorageDeviceProperty, dev, ada, dev}},
        {"device fails, adapter answers", std::nullopt, at40, 40, {StorageDeviceProperty, dev, ada, ada, dev}},
        {"both fail", std::nullopt, std::nullopt, -1, {StorageDeviceProperty, dev, ada, tmp}},
        {"device answers unusably: no second try", badOffset, at40, -1, {StorageDeviceProperty, dev, tmp}},
    };
    for (const Case& c : cases) {
        FakeKernel::Reset();
        AddNvmeDrive(0, c.device, c.adapter);
        EXPECT_EQ(Probe(0).temperature, c.temperature) << c.name;
        EXPECT_EQ(QueriedProperties(), c.properties) << c.name;
    }
}

TEST(Nvme, ValuesFromTheLog)
{
    struct Case {
        const char* name;
        FakeBytes answer;
        std::int32_t temperature;
        std::int64_t hours, cycles;
    };
    constexpr std::uint64_t k64 = 1;
    constexpr std::uint64_t k48 = k64 << 48;
    const FakeBytes typical = HealthLog(300, 4, 408);
    const Case cases[] = {
        {"300 K", DriveAnswers::NvmeLogAnswer(typical), 27, 408, 4},
        {"0 K: no temperature", DriveAnswers::NvmeLogAnswer(HealthLog(0, 4, 408)), -1, 408, 4},
        {"250 K", DriveAnswers::NvmeLogAnswer(HealthLog(250, 4, 408)), 0, 408, 4},
        {"counts 2^48 - 1", DriveAnswers::NvmeLogAnswer(HealthLog(300, k48 - 1, k48 - 1)), 27, kCap, kCap},
        {"counts 2^48", DriveAnswers::NvmeLogAnswer(HealthLog(300, k48, k48)), 27, kCap, kCap},
        {"bits above 64", DriveAnswers::NvmeLogAnswer(HealthLog(300, 5, 6, 1, k64 << 63)), 27, kCap, kCap},
        {"offset one byte too far", DriveAnswers::NvmeLogAnswer(typical, 41), -1, -1, -1},
        {"offset far outside", DriveAnswers::NvmeLogAnswer(typical, 0x7FFFFFFF), -1, -1, -1},
        {"offset wrapping 32 bits", DriveAnswers::NvmeLogAnswer(typical, 0xFFFFFDF8, 0x200), -1, -1, -1},
        {"length 511", DriveAnswers::NvmeLogAnswer(typical, 40, 511), -1, -1, -1},
        {"length past the end", DriveAnswers::NvmeLogAnswer(typical, 40, 513), -1, -1, -1},
        {"nothing filled in", FakeBytes{}, -1, -1, -1},
    };
    for (const Case& c : cases) {
        FakeKernel::Reset();
        AddNvmeDrive(0, c.answer, std::nullopt);
        const DriveInfo info = Probe(0);
        EXPECT_EQ(info.temperature, c.temperature) << c.name;
        EXPECT_EQ(info.powerOnHours, c.hours) << c.name;
        EXPECT_EQ(info.powerCycles, c.cycles) << c.name;
    }
}

TEST(Nvme, AtaDrivesMakeTheirRequestsOnly)
{
    const std::vector<DWORD> ataRequests{IOCTL_DISK_GET_LENGTH_INFO, IOCTL_STORAGE_QUERY_PROPERTY,
                                         IOCTL_STORAGE_PREDICT_FAILURE, SMART_GET_VERSION, SMART_RCV_DRIVE_DATA,
                                         SMART_RCV_DRIVE_DATA};
    const std::vector<std::vector<std::pair<std::uint8_t, std::uint64_t>>> pages{
        {{9, 100}, {12, 7}, {194, 45}},
        {{194, 45}},
        {{9, 100}},
        {{12, 7}},
        {},                   // an all-zero table: the drive answered, with nothing the list shows
        {{5, 0}, {197, 3}},   // only attributes the list does not show
    };
    for (const auto& page : pages) {
        FakeKernel::Reset();
        AddAtaDrive(0, page);
        // Were the NVMe query sent, this drive would answer it with a log that shows.
        const FakeBytes hot = DriveAnswers::NvmeLogAnswer(HealthLog(400, 1, 1));
        AddNvmeDrive(0, hot, hot);
        const DriveInfo info = Probe(0);
        std::vector<DWORD> codes;
        for (const KernelCall& call : Requests()) {
            codes.push_back(call.code);
        }
        // The temperature property last, only where the page gave no temperature.
        const bool measured = std::any_of(page.begin(), page.end(), [](const auto& a) { return a.first == 194; });
        EXPECT_EQ(codes.size(), ataRequests.size() + (measured ? 0 : 1)) << page.size() << " attributes";
        EXPECT_TRUE(std::equal(ataRequests.begin(), ataRequests.end(), codes.begin()));
        EXPECT_EQ(QueriedProperties(), (measured ? std::vector<DWORD>{0} : std::vector<DWORD>{0, StorageDeviceTemperatureProperty}));
        EXPECT_NE(info.temperature, 127);
    }
}

// failurePredicted is the storage stack's prediction alone; the Health text is the details'
// verdict of the log too, so a critical warning shows whatever the prediction says.
TEST(Nvme, HealthIsTheVerdictFailurePredictedThePredictionAlone)
{
    struct Case {
        const char* name;
        std::optional<DWORD> predictFailure;
        std::uint8_t warning;
        std::uint8_t percentageUsed;
        bool failurePredicted;
        const wchar_t* health;
    };
    const Case cases[] = {
        {"prediction fails, critical warning", std::nullopt, 0xFF, 255, false, L"Caution / Bad"},
        {"prediction says 0, critical warning", 0, 0x01, 0, false, L"Caution / Bad"},
        {"prediction says 1, clean log", 1, 0, 0, true, L"Caution / Bad"},
        {"prediction says 0, worn out", 0, 0, 100, false, L"Caution"},
        {"prediction says 0, clean log", 0, 0, 99, false, L"Good"},
    };
    for (const Case& c : cases) {
        FakeBytes log = HealthLog(300, 4, 408);
        log[0] = c.warning;
        log[5] = c.percentageUsed;
        FakeKernel::Reset();
        AddNvmeDrive(0, DriveAnswers::NvmeLogAnswer(log), std::nullopt);
        if (c.predictFailure) {
            FakeBytes prediction(sizeof(STORAGE_PREDICT_FAILURE), 0);
            PutLe(prediction, 0, *c.predictFailure, 4);
            FakeKernel::Drive(0).Answer(IOCTL_STORAGE_PREDICT_FAILURE, prediction);
        }
        const DriveInfo info = Probe(0);
        EXPECT_EQ(info.temperature, 27) << c.name;
        EXPECT_EQ(info.failurePredicted, c.failurePredicted) << c.name;
        EXPECT_EQ(info.health, c.health) << c.name;
    }
}

// The health logs of real drives and what the inventory must make of them (expected.tsv).
TEST(Nvme, RealDriveLogs)
{
    const auto dir = DriveAnswers::NvmePagesDir(OSTREVANE_NVME_PAGES_DIR);
    const auto real = DriveAnswers::LoadRealNvmeLogs(dir, "expected.tsv");
    for (const auto& problem : real.problems) {
        ADD_FAILURE() << problem;
    }
    ASSERT_FALSE(real.logs.empty()) << "no logs in " << dir;
    for (const auto& log : real.logs) {
        SCOPED_TRACE(log.name);
        FakeKernel::Reset();
        DriveAnswers::Drive drive;
        drive.nvmeLog = log.log;
        drive.ApplyTo(FakeKernel::Drive(0));
        const DriveInfo info = Probe(0);
        EXPECT_EQ(std::to_string(info.temperature), log.fields.at("temperature"));
        EXPECT_EQ(std::to_string(info.powerOnHours), log.fields.at("power_on_hours"));
        EXPECT_EQ(std::to_string(info.powerCycles), log.fields.at("power_cycles"));
    }
    std::cout << "checked " << real.logs.size() << " real NVMe health logs from " << dir.string() << "\n";
    RecordProperty("pages", static_cast<int>(real.logs.size()));
}

// NVMe drives in USB enclosures: one bridge of each family, with a USB ID that the table
// knows, and the drive's own identity in its Identify Controller data.
using Family = NvmeBridge::Family;
struct Enclosure {
    Family family;
    const wchar_t* usbDeviceId;
};
const Enclosure kEnclosures[] = {
    {Family::Realtek, L"USB\\VID_0BDA&PID_9210\\012345678906"},
    {Family::ASMedia, L"USB\\VID_174C&PID_2362\\MSFT30ABCDEF0123"},
    {Family::JMicron, L"USB\\VID_152D&PID_0583\\DD564198838D2"},
};

DriveAnswers::Drive InEnclosure(std::optional<Family> family, const wchar_t* usbDeviceId, FakeBytes log)
{
    DriveAnswers::Drive drive;
    drive.sizeBytes = 1'000'204'886'016;
    drive.descriptor = DriveAnswers::Descriptor().Model("USB NVME BRIDGE").Serial("012345678906").Firmware("1.00");
    drive.nvmeLog = std::move(log);
    return DriveAnswers::InNvmeEnclosure(std::move(drive), family, usbDeviceId,
                                         DriveAnswers::IdentifyController("NVME DRIVE 1TB", "S4EWNX0R123456", "2B2QEXM7"));
}

// The vendor commands among the pass-throughs: all but ATA PASS-THROUGH of the SAT route.
std::vector<KernelCall> VendorCommands()
{
    std::vector<KernelCall> vendor;
    for (const KernelCall& call : Requests()) {
        const std::uint8_t opcode = call.input.size() > 36 ? call.input[36] : 0;
        const bool sat = opcode == 0x85 || (opcode == 0xA1 && call.input[37] == 0x08);
        if (call.code == IOCTL_SCSI_PASS_THROUGH && !sat) {
            vendor.push_back(call);
        }
    }
    return vendor;
}

// The six real logs through each family give what the NVMe driver gives, and the list the
// drive's own identity, the bridge's kept for the details. Answers that do not count, and a
// bridge that is not identified, leave "-".
TEST(NvmeBridge, ThroughEveryFamily)
{
    const auto real = DriveAnswers::LoadRealNvmeLogs(DriveAnswers::NvmePagesDir(OSTREVANE_NVME_PAGES_DIR), "expected.tsv");
    ASSERT_TRUE(real.problems.empty() && !real.logs.empty());
    for (const Enclosure& enclosure : kEnclosures) {
        const std::size_t stepsPerCommand = enclosure.family == Family::JMicron ? 3 : 1;
        for (const auto& log : real.logs) {
            SCOPED_TRACE(log.name);
            FakeKernel::Reset();
            InEnclosure(enclosure.family, enclosure.usbDeviceId, log.log).ApplyTo(FakeKernel::Drive(2));
            const DriveInfo info = Probe(2);
            EXPECT_EQ(std::to_string(info.temperature), log.fields.at("temperature"));
            EXPECT_EQ(std::to_string(info.powerOnHours), log.fields.at("power_on_hours"));
            EXPECT_EQ(std::to_string(info.powerCycles), log.fields.at("power_cycles"));
            EXPECT_EQ(info.model + L" " + info.serialNumber + L" " + info.firmware,
                      L"NVME DRIVE 1TB S4EWNX0R123456 2B2QEXM7");
            EXPECT_EQ(VendorCommands().size(), 2 * stepsPerCommand);

            FakeKernel::Reset();
            InEnclosure(enclosure.family, enclosure.usbDeviceId, log.log).ApplyTo(FakeKernel::Drive(2));
            DriveDetails details;
            ASSERT_TRUE(DiskManager::GetDriveDetails(2, details));
            EXPECT_EQ(details.source, SmartSource::NvmeUsbBridge);
            EXPECT_TRUE(details.nvmeLog && std::equal(log.log.begin(), log.log.end(), details.nvmeLog->begin()));
            EXPECT_EQ(details.info.model, L"NVME DRIVE 1TB");
            ASSERT_TRUE(details.bridgeIdentity);
            EXPECT_EQ(details.bridgeIdentity->model, L"USB NVME BRIDGE");
            EXPECT_EQ(details.bridgeIdentity->serialNumber, L"012345678906");
            EXPECT_EQ(details.bridgeIdentity->firmware, L"1.00");
            EXPECT_EQ(VendorCommands().size(), 2 * stepsPerCommand);
        }
    }

    using Change = std::function<void(DriveAnswers::NvmeEnclosure&)>;
    const struct {
        const char* name;
        Change change;
    } cases[] = {
        {"an answer of zeros", [](auto& e) { e.log = FakeBytes(kLogSize, 0); }},
        {"a short answer", [](auto& e) { e.transferred = 511; }},
        {"CHECK CONDITION", [](auto& e) { e.scsiStatus = 2; }},
        {"a JMicron reply without its signature", [](auto& e) { e.replySignature = false; }},
    };
    for (const Enclosure& enclosure : kEnclosures) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            FakeKernel::Reset();
            auto drive = InEnclosure(enclosure.family, enclosure.usbDeviceId, HealthLog(310, 5, 900));
            c.change(*drive.enclosure);
            drive.ApplyTo(FakeKernel::Drive(2));
            const DriveInfo info = Probe(2);
            // Only JMicron's reply carries a signature: the others' logs still count.
            const bool counts = c.name == cases[3].name && enclosure.family != Family::JMicron;
            EXPECT_EQ(info.temperature, counts ? 37 : -1) << static_cast<int>(enclosure.family);
            EXPECT_EQ(info.powerOnHours, counts ? 900 : -1);
        }
    }

    // A SATA bridge of the same maker, and a drive with no USB device above it: nothing is sent.
    for (const wchar_t* usbDeviceId : {L"USB\\VID_0BDA&PID_9201\\0123", L"SCSI\\DISK&VEN_NVME&PROD_DRIVE\\1"}) {
        FakeKernel::Reset();
        InEnclosure(std::nullopt, usbDeviceId, HealthLog(310, 5, 900)).ApplyTo(FakeKernel::Drive(2));
        EXPECT_EQ(Probe(2).temperature, -1);
        EXPECT_TRUE(VendorCommands().empty());
        EXPECT_EQ(FakeKernel::CallsOf(KernelCall::Kind::Open).back().access, 0u); // the interface's, no read-write one
    }
}

// The bridge is the nearest USB device above the disk interface whose device number is the
// drive's, not another drive's nor a hub further up.
TEST(NvmeBridge, TheBridgeAboveThisDrive)
{
    FakeKernel::Reset();
    InEnclosure(Family::JMicron, kEnclosures[2].usbDeviceId, HealthLog(300, 1, 11)).ApplyTo(FakeKernel::Drive(1));
    InEnclosure(Family::Realtek, kEnclosures[0].usbDeviceId, HealthLog(320, 3, 33)).ApplyTo(FakeKernel::Drive(3));
    auto& parents = FakeKernel::Drive(3).parents;
    parents.insert(parents.begin() + 1, L"USB\\VID_174C&PID_2362\\HUB");
    EXPECT_EQ(Probe(3).powerOnHours, 33);
    ASSERT_EQ(VendorCommands().size(), 2u); // the log and Identify Controller
    EXPECT_EQ(VendorCommands()[0].input[36], 0xE4);
    FakeKernel::Reset();
    InEnclosure(Family::JMicron, kEnclosures[2].usbDeviceId, HealthLog(300, 1, 11)).ApplyTo(FakeKernel::Drive(1));
    InEnclosure(Family::Realtek, kEnclosures[0].usbDeviceId, HealthLog(320, 3, 33)).ApplyTo(FakeKernel::Drive(3));
    EXPECT_EQ(Probe(1).powerOnHours, 11);
    EXPECT_EQ(VendorCommands().size(), 6u);
}

// The first vendor command of each family byte for byte: SCSI_PASS_THROUGH (64-bit layout)
// with 32 bytes of sense at 56 and the data at 88, 10 s, on the route's own read-write handle;
// JMicron's descriptor goes out under the mutex, which is let go after the reply, for the log
// and again for Identify Controller.
TEST(NvmeBridge, ExactCallOfEachFamily)
{
    const struct {
        Family family;
        std::vector<std::uint8_t> cdb;
        std::uint8_t cdbLength, dataIn;
    } cases[] = {
        {Family::Realtek, {0xE4, 0x00, 0x02, 0x02, 0x02}, 16, 1},
        {Family::ASMedia, {0xE6, 0x02, 0x00, 0x02, 0x00, 0x00, 0x00, 0x7F}, 16, 1},
        {Family::JMicron, {0xA1, 0x80, 0x00, 0x00, 0x02, 0x00}, 12, 0},
    };
    for (const auto& c : cases) {
        FakeKernel::Reset();
        const Enclosure& enclosure = kEnclosures[static_cast<int>(c.family)];
        InEnclosure(enclosure.family, enclosure.usbDeviceId, HealthLog(300, 1, 1)).ApplyTo(FakeKernel::Drive(6));
        Probe(6);
        FakeBytes expected(56 + 32 + 4096, 0);
        expected[0] = 56;
        expected[6] = c.cdbLength;
        expected[7] = 32;
        expected[8] = c.dataIn;
        PutLe(expected, 12, 512, 4);
        PutLe(expected, 16, 10, 4);
        PutLe(expected, 24, 88, 8);
        PutLe(expected, 32, 56, 4);
        std::copy(c.cdb.begin(), c.cdb.end(), expected.begin() + 36);
        if (c.family == Family::JMicron) {
            std::copy_n("NVME", 4, expected.begin() + 88);
            expected[88 + 8] = 0x02;
            PutLe(expected, 88 + 12, 0xFFFFFFFF, 4);
            PutLe(expected, 88 + 48, 0x007F0002, 4);
        }
        const auto vendor = VendorCommands();
        ASSERT_FALSE(vendor.empty());
        EXPECT_EQ(vendor[0].input, expected);
        EXPECT_EQ(vendor[0].outSize, expected.size());
        EXPECT_EQ(FakeKernel::AccessOf(vendor[0].handle), DWORD{GENERIC_READ | GENERIC_WRITE});
        std::vector<std::wstring> mutexCalls;
        for (const KernelCall& call : FakeKernel::CallsOf(KernelCall::Kind::Mutex)) {
            mutexCalls.push_back(call.path);
        }
        const std::vector<std::wstring> jmicronMutex{L"CreateMutexW", L"WaitForSingleObject", L"ReleaseMutex",
                                                     L"CreateMutexW", L"WaitForSingleObject", L"ReleaseMutex"};
        EXPECT_EQ(mutexCalls, c.family == Family::JMicron ? jmicronMutex : std::vector<std::wstring>{});
    }
}

// An NVMe drive behind the Intel VMD driver iaStorVD, through the whole inventory: drive 0 says
// bus type RAID and path 0, target 1 of port 2, whose driver names itself and answers the NVMe
// pass-through as it does. The drive runs self-tests (OACS bit 4) and keeps 4 error entries (ELPE 3).
using RstDrive = DriveAnswers::RstNvmeDrive;
RstDrive RstNvmeDrive(FakeBytes log)
{
    RstDrive drive{0, 1, 0, std::move(log), DriveAnswers::IdentifyController("INTEL SSDPEKNW010T8", "BTNH93710FS91P0B", "002C"),
                   DriveAnswers::NvmeSelfTestLog({{2, 0, 2400, std::nullopt}}), FakeBytes(4096, 7)};
    (*drive.identify)[256] = 0x10;
    (*drive.identify)[262] = 3;
    return drive;
}

bool QueryThroughPort(const RstDrive& drive, DriveDetails& details)
{
    DriveAnswers::Drive raid;
    raid.descriptor = DriveAnswers::Descriptor().Model("INTEL RAID MEMBER").BusType(DriveDetails::kBusTypeRaid);
    raid.scsiAddress = DriveAnswers::ScsiAddress(2, 1);
    raid.ApplyTo(FakeKernel::Drive(0));
    DriveAnswers::Miniport port;
    port.driver = "iaStorVD";
    port.nvme = drive;
    FakeKernel::Port(2).answers[IOCTL_SCSI_MINIPORT] = [port](const FakeBytes& in) { return port.Answer(in); };
    return DiskManager::GetDriveDetails(0, details) && FakeKernel::OpenHandles() == 0;
}

std::vector<KernelCall> MiniportRequests()
{
    auto calls = Requests();
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [](const KernelCall& c) { return c.code != IOCTL_SCSI_MINIPORT || c.input[4] != 'I'; }),
                calls.end());
    return calls;
}

// Each command byte for byte as Intel's published structure lays it out (see RstNvmeRequest),
// 4,260 bytes both ways, in this order: the health log (LID 02h, NUMD 127), Identify Controller
// (CNS 1), the self-test log (06h, NUMD 140), 4 error entries (01h, NUMD 63). The real health
// logs give what the NVMe driver gives, Identify the drive's own identity.
TEST(RstNvme, ExactRequestsAndRealLogs)
{
    const std::array<FakeBytes, 4> commands{DriveAnswers::RstNvmeRequest(0x02, 0xFFFFFFFF, 0x007F0002, 512, 0, 1, 0),
                                            DriveAnswers::RstNvmeRequest(0x06, 0, 0x00000001, 4096, 0, 1, 0),
                                            DriveAnswers::RstNvmeRequest(0x02, 0xFFFFFFFF, 0x008C0006, 564, 0, 1, 0),
                                            DriveAnswers::RstNvmeRequest(0x02, 0xFFFFFFFF, 0x003F0001, 256, 0, 1, 0)};
    const auto real = DriveAnswers::LoadRealNvmeLogs(DriveAnswers::NvmePagesDir(OSTREVANE_NVME_PAGES_DIR), "expected.tsv");
    ASSERT_TRUE(real.problems.empty() && !real.logs.empty());
    for (const auto& log : real.logs) {
        SCOPED_TRACE(log.name);
        FakeKernel::Reset();
        const RstDrive drive = RstNvmeDrive(log.log);
        DriveDetails details;
        ASSERT_TRUE(QueryThroughPort(drive, details));
        const auto sent = MiniportRequests();
        ASSERT_EQ(sent.size(), commands.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].input, commands[i]) << i;
            EXPECT_EQ(sent[i].outSize, 4260u);
        }
        EXPECT_EQ(std::to_string(details.info.temperature), log.fields.at("temperature"));
        EXPECT_EQ(std::to_string(details.info.powerOnHours), log.fields.at("power_on_hours"));
        EXPECT_EQ(std::to_string(details.info.powerCycles), log.fields.at("power_cycles"));
        EXPECT_EQ(details.source, SmartSource::NvmeRst);
        EXPECT_EQ(details.info.model + L" " + details.info.serialNumber + L" " + details.info.firmware,
                  L"INTEL SSDPEKNW010T8 BTNH93710FS91P0B 002C");
        EXPECT_EQ(details.nvmeSelfTests, *drive.selfTests);
        EXPECT_EQ(details.nvmeErrors, FakeBytes(256, 7));
    }
}

// A driver that refuses the first command (older or newer RST: the request fails, or ends with
// another SRB status, or gives zeros) is sent nothing more, and the drive says why; under
// standard requests only nothing goes to the port at all.
TEST(RstNvme, Refusals)
{
    const struct {
        const char* name;
        std::function<void(RstDrive&)> change;
        std::size_t sent;
    } cases[] = {
        {"the request fails", [](RstDrive& d) { d.fails = true; }, 1},
        {"SRB_STATUS_INVALID_REQUEST", [](RstDrive& d) { d.log.reset(); }, 1},
        {"SRB_STATUS_ERROR after the data", [](RstDrive& d) { d.status = 4; }, 1},
        {"another address", [](RstDrive& d) { d.target = 0; }, 1},
        {"a log of zeros", [](RstDrive& d) { d.log = FakeBytes(kLogSize, 0); }, 1},
        {"standard requests only", [](RstDrive&) { DiskManager::SetStandardRequestsOnly(true); }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel::Reset();
        RstDrive drive = RstNvmeDrive(HealthLog(318, 266, 2401));
        c.change(drive);
        DriveDetails details;
        EXPECT_TRUE(QueryThroughPort(drive, details));
        DiskManager::SetStandardRequestsOnly(false);
        EXPECT_EQ(MiniportRequests().size(), c.sent);
        EXPECT_EQ(details.source, SmartSource::None);
        EXPECT_EQ(details.info.temperature, -1);
        EXPECT_EQ(Assessment::Of(details).reasons,
                  std::vector<std::wstring>{c.sent != 0 ? Assessment::kRstRefused : Assessment::kBehindRaid});
    }
}

} // namespace
