#include "diskinfo/DiskProbe.h"

#include <winioctl.h>

#include <array>
#include <cstddef>

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
            }
            return;
        }
    }
}
