#include "diskinfo/DiskProbe.h"

#include <winioctl.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

namespace {

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
static_assert(DeviceAnswers::kNvmeDataTypeIdentify == NVMeDataTypeIdentify);

// Up to `length` bytes of an Identify or a log page, as much as the driver returned of it;
// nothing when it refused, which its driver does for some log pages.
std::vector<std::uint8_t> Query(HANDLE device, NvmeLogProperty property, std::uint32_t dataType, std::uint32_t value,
                                std::size_t length)
{
    auto request = DeviceAnswers::NvmeRequest(property, dataType, value, static_cast<std::uint32_t>(length));
    std::vector<std::uint8_t> answer(sizeof(STORAGE_PROTOCOL_DATA_DESCRIPTOR) + length);
    if (!DiskProbe::Request(device, IOCTL_STORAGE_QUERY_PROPERTY, request.data(), request.size(), answer.data(),
                            answer.size())) {
        return {};
    }
    const auto data = DeviceAnswers::NvmeReturnedData(answer);
    if (!data) {
        return {};
    }
    const auto returned = data->first(std::min(data->size(), length));
    return {returned.begin(), returned.end()};
}

// Identify Controller: a controller's data, which Windows' documentation asks for with the
// adapter property and its inbox driver answers only there; some stacks answer it with the
// device property instead.
std::vector<std::uint8_t> IdentifyController(const Probe& probe)
{
    std::vector<std::uint8_t> identify;
    for (const NvmeLogProperty property : {NvmeLogProperty::Adapter, NvmeLogProperty::Device}) {
        identify = Query(probe.device, property, DeviceAnswers::kNvmeDataTypeIdentify,
                         DeviceAnswers::kNvmeIdentifyController, DriveLogs::kIdentifySize);
        if (identify.size() == DriveLogs::kIdentifySize) {
            break;
        }
    }
    return identify;
}

// The drive's own logs, by the property that gave its health log: the self-test log where
// Identify Controller says the drive runs self-tests, and as many error log entries as it keeps
// and Windows gives.
void QueryNvmeHistory(const Probe& probe, NvmeLogProperty property)
{
    const std::vector<std::uint8_t> identify = IdentifyController(probe);
    if (identify.size() != DriveLogs::kIdentifySize) {
        return;
    }
    const std::span<const std::uint8_t, DriveLogs::kIdentifySize> controller(identify.data(), identify.size());
    if (DriveLogs::NvmeRunsSelfTests(controller)) {
        auto log = Query(probe.device, property, DeviceAnswers::kNvmeDataTypeLogPage, DeviceAnswers::kNvmeSelfTestLogId,
                         DriveLogs::kNvmeSelfTestLogSize);
        if (log.size() == DriveLogs::kNvmeSelfTestLogSize) {
            probe.details.nvmeSelfTests = std::move(log);
        }
    }
    auto errors = Query(probe.device, property, DeviceAnswers::kNvmeDataTypeLogPage, DeviceAnswers::kNvmeErrorLogId,
                        DriveLogs::NvmeErrorEntries(controller) * DriveLogs::kNvmeErrorEntrySize);
    errors.resize(errors.size() / DriveLogs::kNvmeErrorEntrySize * DriveLogs::kNvmeErrorEntrySize);
    probe.details.nvmeErrors = std::move(errors);
}

} // namespace

// NVMe drives answer none of the ATA SMART requests; their driver hands out the SMART / Health
// Information log instead, for the namespace (device property) or, on stacks that answer only
// there, for the controller (adapter property). A request that went through ends the search,
// whatever its answer holds.
void DiskProbe::QueryNvmeHealthLog(const Probe& probe)
{
    for (const NvmeLogProperty property : {NvmeLogProperty::Device, NvmeLogProperty::Adapter}) {
        auto request = DeviceAnswers::NvmeHealthLogRequest(property);
        alignas(8) std::array<std::uint8_t, DeviceAnswers::kNvmeLogAnswerSize> answer{};
        if (Request(probe.device, IOCTL_STORAGE_QUERY_PROPERTY, request.data(), request.size(), answer.data(),
                    answer.size())) {
            if (const auto log = DeviceAnswers::NvmeHealthLog(answer)) {
                ApplySmartValues(DeviceAnswers::ParseNvmeHealthLog(*log), probe.info);
                SetSource(probe, SmartSource::Nvme);
                probe.details.nvmeLog = CopyPage(*log);
                QueryNvmeHistory(probe, property);
            }
            return;
        }
    }
}
