#include "diskinfo/Csmi.h"

#include "diskinfo/LittleEndian.h"

#include <algorithm>
#include <cstddef>

namespace {

constexpr std::uint32_t kSuccess = 0;         // CSMI_SAS_STATUS_SUCCESS
constexpr std::uint8_t kEndDevice = 0x10;     // CSMI_SAS_END_DEVICE
constexpr std::uint8_t kOpenAccept = 0;       // CSMI_SAS_OPEN_ACCEPT
constexpr std::uint8_t kFisRegisterH2D = 0x27;
constexpr std::uint8_t kFisCommand = 0x80;    // the C bit: the FIS carries a command
constexpr std::uint8_t kStatusError = 0x01;
constexpr std::size_t kStatusFisAt = Csmi::kStpStatusAt + 4;
constexpr std::size_t kDataBytesAt = Csmi::kStpStatusAt + 88;

// CSMI's published structures as declared for Windows (packed to 8, the header
// being SRB_IO_CONTROL; the STP buffer's parameters and status laid out flat): every offset the
// builders and readers use is held against them.
#pragma pack(push, 8)
struct PublishedHeader {
    std::uint32_t headerLength;
    std::uint8_t signature[8];
    std::uint32_t timeout, controlCode, returnCode, length;
};
struct PublishedDriverInfo {
    PublishedHeader header;
    std::uint8_t name[81], description[81];
    std::uint16_t revisions[6];
};
struct PublishedIdentify {
    std::uint8_t deviceType, restricted, initiatorProtocols, targetProtocols, restricted2[8], sasAddress[8];
    std::uint8_t phyIdentifier, signalClass, reserved[6];
};
struct PublishedPhyEntity {
    PublishedIdentify identify;
    std::uint8_t portIdentifier, linkRates[3], changeCount, autoDiscover, features, reserved;
    PublishedIdentify attached;
};
struct PublishedPhyInfo {
    PublishedHeader header;
    std::uint8_t count, reserved[3];
    PublishedPhyEntity phys[32];
};
struct PublishedStpBuffer {
    PublishedHeader header;
    std::uint8_t phyIdentifier, portIdentifier, connectionRate, reserved, destination[8], reserved2[4], commandFis[20];
    std::uint32_t flags, dataLength;
    std::uint8_t connectionStatus, reserved3[3], statusFis[20];
    std::uint32_t scr[16], dataBytes;
    std::uint8_t data[1];
};
#pragma pack(pop)

static_assert(sizeof(PublishedHeader) == SrbIoControl::kSize);
static_assert(sizeof(PublishedDriverInfo) == Csmi::kDriverInfoSize);
static_assert(offsetof(PublishedDriverInfo, name) == Csmi::kDriverNameAt);
static_assert(sizeof(PublishedPhyInfo) == Csmi::kPhyInfoSize && sizeof(PublishedPhyEntity) == Csmi::kPhyEntrySize);
static_assert(offsetof(PublishedPhyInfo, count) == Csmi::kPhyCountAt && offsetof(PublishedPhyInfo, phys) == Csmi::kPhysAt);
static_assert(offsetof(PublishedIdentify, phyIdentifier) == Csmi::kPhyIdentifierAt);
static_assert(offsetof(PublishedPhyEntity, portIdentifier) == Csmi::kPortIdentifierAt);
static_assert(offsetof(PublishedPhyEntity, attached) + offsetof(PublishedIdentify, deviceType) == Csmi::kAttachedTypeAt);
static_assert(offsetof(PublishedPhyEntity, attached) + offsetof(PublishedIdentify, targetProtocols) ==
              Csmi::kAttachedProtocolAt);
static_assert(offsetof(PublishedPhyEntity, attached) + offsetof(PublishedIdentify, sasAddress) == Csmi::kAttachedAddressAt);
static_assert(sizeof(PublishedStpBuffer) == Csmi::kStpSize);
static_assert(offsetof(PublishedStpBuffer, phyIdentifier) == Csmi::kStpParametersAt);
static_assert(offsetof(PublishedStpBuffer, portIdentifier) == Csmi::kStpParametersAt + 1);
static_assert(offsetof(PublishedStpBuffer, destination) == Csmi::kStpParametersAt + 4);
static_assert(offsetof(PublishedStpBuffer, commandFis) == Csmi::kStpParametersAt + 16);
static_assert(offsetof(PublishedStpBuffer, flags) == Csmi::kStpParametersAt + 36);
static_assert(offsetof(PublishedStpBuffer, dataLength) == Csmi::kStpParametersAt + 40);
static_assert(offsetof(PublishedStpBuffer, connectionStatus) == Csmi::kStpStatusAt);
static_assert(offsetof(PublishedStpBuffer, statusFis) == kStatusFisAt);
static_assert(offsetof(PublishedStpBuffer, dataBytes) == kDataBytesAt);
static_assert(offsetof(PublishedStpBuffer, data) == Csmi::kStpDataAt);

void Put32(Csmi::Buffer& buffer, std::size_t at, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i) {
        buffer[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

Csmi::Buffer Request(std::string_view signature, std::uint32_t code, std::size_t size)
{
    Csmi::Buffer buffer(size, 0);
    Put32(buffer, SrbIoControl::kHeaderLengthAt, Csmi::kHeaderSize);
    std::copy(signature.begin(), signature.end(), buffer.begin() + SrbIoControl::kSignatureAt);
    Put32(buffer, SrbIoControl::kTimeoutAt, Csmi::kTimeoutSeconds);
    Put32(buffer, SrbIoControl::kControlCodeAt, code);
    Put32(buffer, SrbIoControl::kLengthAt, static_cast<std::uint32_t>(size - Csmi::kHeaderSize));
    return buffer;
}

bool Succeeded(Csmi::Bytes answer, std::size_t size)
{
    return answer.size() >= size && ReadLe(answer, SrbIoControl::kReturnCodeAt, 4) == kSuccess;
}

} // namespace

Csmi::Buffer Csmi::DriverInfoRequest()
{
    return Request("CSMIALL", kGetDriverInfo, kDriverInfoSize);
}

Csmi::Buffer Csmi::PhyInfoRequest()
{
    return Request("CSMISAS", kGetPhyInfo, kPhyInfoSize);
}

Csmi::Buffer Csmi::StpRequest(const Device& device, const SatPassThrough::Registers& r, std::size_t sectors)
{
    const std::size_t length = sectors * SatPassThrough::kPageSize;
    Buffer buffer = Request("CSMISAS", kStpPassThrough, kStpSize + length);
    buffer[kStpParametersAt] = device.phy;
    buffer[kStpParametersAt + 1] = device.port;
    std::copy(device.address.begin(), device.address.end(), buffer.begin() + kStpParametersAt + 4);
    // Register host to device: command, features, LBA low, mid and high, device; the extended
    // bytes (all zero here), then the count.
    const std::array<std::uint8_t, 13> fis{kFisRegisterH2D, kFisCommand, r.command, r.features, r.lbaLow, r.lbaMid,
                                           r.lbaHigh,       r.device,    0,         0,          0,        0,
                                           r.count};
    std::copy(fis.begin(), fis.end(), buffer.begin() + kStpParametersAt + 16);
    Put32(buffer, kStpParametersAt + 36, kStpReadPio);
    Put32(buffer, kStpParametersAt + 40, static_cast<std::uint32_t>(length));
    return buffer;
}

std::optional<std::string_view> Csmi::DriverName(Bytes answer)
{
    if (!Succeeded(answer, kDriverInfoSize)) {
        return std::nullopt;
    }
    const Bytes field = answer.subspan(kDriverNameAt, kDriverNameSize);
    const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    if (end == field.end()) {
        return std::nullopt;
    }
    return std::string_view(reinterpret_cast<const char*>(field.data()), static_cast<std::size_t>(end - field.begin()));
}

std::vector<Csmi::Device> Csmi::SataDevices(Bytes answer)
{
    std::vector<Device> devices;
    if (!Succeeded(answer, kPhyInfoSize)) {
        return devices;
    }
    const std::size_t count = std::min<std::size_t>(answer[kPhyCountAt], kMaxPhys);
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes entry = answer.subspan(kPhysAt + i * kPhyEntrySize, kPhyEntrySize);
        if (entry[kAttachedTypeAt] != kEndDevice || (entry[kAttachedProtocolAt] & (kProtocolSata | kProtocolStp)) == 0) {
            continue;
        }
        Device& device = devices.emplace_back();
        device.phy = entry[kPhyIdentifierAt];
        device.port = entry[kPortIdentifierAt];
        std::copy_n(entry.begin() + kAttachedAddressAt, device.address.size(), device.address.begin());
    }
    return devices;
}

std::optional<Csmi::Bytes> Csmi::StpData(Bytes answer, std::size_t length)
{
    if (!Succeeded(answer, kStpDataAt + length) || answer[kStpStatusAt] != kOpenAccept ||
        (answer[kStatusFisAt + 2] & kStatusError) != 0 || ReadLe(answer, kDataBytesAt, 4) != length) {
        return std::nullopt;
    }
    return answer.subspan(kStpDataAt, length);
}

std::uint64_t Csmi::IdentifySectors(std::span<const std::uint8_t, SatPassThrough::kPageSize> identify)
{
    constexpr std::size_t kWord83 = 166;
    constexpr std::uint8_t kLba48 = 0x04; // bit 10: bit 2 of the word's high byte
    return (identify[kWord83 + 1] & kLba48) != 0 ? ReadLe(identify, 200, 8) : ReadLe(identify, 120, 4);
}
