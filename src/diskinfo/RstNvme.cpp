#include "diskinfo/RstNvme.h"

#include "diskinfo/DriveLogs.h"
#include "diskinfo/LittleEndian.h"
#include "diskinfo/NvmeHealth.h"

#include <algorithm>
#include <cstddef>

namespace {

using Command = RstNvme::Command;

// NVME_IOCTL_PASS_THROUGH as Intel's RST headers declare it, with the C compiler's own
// alignment: the offsets the builder writes are held against it. Its data follows at the
// DWORD-aligned end.
struct PublishedPassThrough {
    std::uint32_t headerLength;
    std::uint8_t signature[8];
    std::uint32_t timeout;
    std::uint32_t controlCode;
    std::uint32_t returnCode;
    std::uint32_t length;
    std::uint8_t version;
    std::uint8_t pathId;
    std::uint8_t targetId;
    std::uint8_t lun;
    std::uint32_t command[16];
    std::uint8_t isIoCommandSet;
    std::uint32_t completion[4];
    std::uint32_t dataBufferOffset;
    std::uint32_t dataBufferLength;
    std::uint32_t reserved[10];
};
static_assert(offsetof(PublishedPassThrough, signature) == RstNvme::kSignatureAt);
static_assert(offsetof(PublishedPassThrough, timeout) == RstNvme::kTimeoutAt);
static_assert(offsetof(PublishedPassThrough, controlCode) == RstNvme::kControlCodeAt);
static_assert(offsetof(PublishedPassThrough, returnCode) == RstNvme::kReturnCodeAt);
static_assert(offsetof(PublishedPassThrough, length) == RstNvme::kLengthAt);
static_assert(offsetof(PublishedPassThrough, version) == RstNvme::kHeaderLength);
static_assert(offsetof(PublishedPassThrough, version) == RstNvme::kVersionAt);
static_assert(offsetof(PublishedPassThrough, pathId) == RstNvme::kPathAt);
static_assert(offsetof(PublishedPassThrough, targetId) == RstNvme::kTargetAt);
static_assert(offsetof(PublishedPassThrough, lun) == RstNvme::kLunAt);
static_assert(offsetof(PublishedPassThrough, command) == RstNvme::kCommandAt);
static_assert(offsetof(PublishedPassThrough, command) + 4 * 1 == RstNvme::kNamespaceAt);
static_assert(offsetof(PublishedPassThrough, command) + 4 * 10 == RstNvme::kCdw10At);
static_assert(offsetof(PublishedPassThrough, dataBufferOffset) == RstNvme::kDataOffsetAt);
static_assert(offsetof(PublishedPassThrough, dataBufferLength) == RstNvme::kDataLengthAt);
static_assert(sizeof(PublishedPassThrough) == RstNvme::kDataAt);
static_assert(RstNvme::kDataAt % 4 == 0, "the driver wants the data DWORD-aligned");
static_assert(DriveLogs::kMaxNvmeErrors * DriveLogs::kNvmeErrorEntrySize <= RstNvme::kDataCapacity);
static_assert(DriveLogs::kIdentifySize == RstNvme::kDataCapacity);

constexpr std::uint8_t kGetLogPage = 0x02;
constexpr std::uint8_t kIdentify = 0x06;
constexpr std::uint32_t kCnsController = 0x01;
// The logs are the controller's, asked for with the broadcast namespace; Identify Controller
// names none.
constexpr std::uint32_t kAllNamespaces = 0xFFFFFFFF;
constexpr std::uint8_t kLogIds[] = {0x02, 0, 0x06, 0x01}; // by Command

void PutLe32(std::span<std::uint8_t> bytes, std::size_t at, std::uint64_t value)
{
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

} // namespace

std::size_t RstNvme::LengthOf(Command command, std::size_t errorEntries)
{
    switch (command) {
    case Command::HealthLog:
        return NvmeHealth::kLogSize;
    case Command::SelfTestLog:
        return DriveLogs::kNvmeSelfTestLogSize;
    case Command::ErrorLog:
        return std::clamp<std::size_t>(errorEntries, 1, DriveLogs::kMaxNvmeErrors) * DriveLogs::kNvmeErrorEntrySize;
    case Command::IdentifyController:
        break;
    }
    return DriveLogs::kIdentifySize;
}

RstNvme::Request RstNvme::Build(Command command, std::uint8_t path, std::uint8_t target, std::uint8_t lun,
                                std::size_t errorEntries)
{
    Request request{};
    PutLe32(request, 0, kHeaderLength);
    std::copy_n("IntelNvm", 8, request.begin() + kSignatureAt);
    PutLe32(request, kTimeoutAt, kTimeOutSeconds);
    PutLe32(request, kControlCodeAt, kControlCode);
    PutLe32(request, kLengthAt, kRequestSize - kHeaderLength);
    request[kVersionAt] = kVersion;
    request[kPathAt] = path;
    request[kTargetAt] = target;
    request[kLunAt] = lun;
    const std::size_t length = LengthOf(command, errorEntries);
    if (command == Command::IdentifyController) {
        request[kCommandAt] = kIdentify;
        PutLe32(request, kCdw10At, kCnsController);
    } else {
        // CDW10: the log identifier, and NUMD, the length in dwords less one, in the upper half.
        request[kCommandAt] = kGetLogPage;
        PutLe32(request, kNamespaceAt, kAllNamespaces);
        PutLe32(request, kCdw10At, (length / 4 - 1) << 16 | kLogIds[static_cast<std::size_t>(command)]);
    }
    PutLe32(request, kDataOffsetAt, kDataAt);
    PutLe32(request, kDataLengthAt, length);
    return request;
}

std::optional<std::span<const std::uint8_t>> RstNvme::DataOf(std::span<const std::uint8_t, kRequestSize> answer,
                                                             std::size_t length)
{
    if (ReadLe(answer, kReturnCodeAt, 4) != kSrbStatusSuccess || length > kDataCapacity) {
        return std::nullopt;
    }
    return answer.subspan(kDataAt, length);
}
