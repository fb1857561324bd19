#include "DriveAnswers.h"
#include "FakeKernel.h"
#include "diskinfo/DiskInfo.h"

#include <gtest/gtest.h>

#include <winioctl.h>
#include <ntddscsi.h>

#include <cstring>
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
        if (call.code != IOCTL_STORAGE_QUERY_PROPERTY || PropertyOf(call.input) == StorageDeviceProperty) {
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
    const Case cases[] = {
        {"device answers", at30, at40, 30, {StorageDeviceProperty, dev}},
        {"device fails, adapter answers", std::nullopt, at40, 40, {StorageDeviceProperty, dev, ada}},
        {"both fail", std::nullopt, std::nullopt, -1, {StorageDeviceProperty, dev, ada}},
        {"device answers unusably: no second try", badOffset, at40, -1, {StorageDeviceProperty, dev}},
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
        EXPECT_EQ(codes, ataRequests) << page.size() << " attributes";
        EXPECT_EQ(QueriedProperties(), std::vector<DWORD>{StorageDeviceProperty});
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

} // namespace
