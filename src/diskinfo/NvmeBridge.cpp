#include "diskinfo/NvmeBridge.h"

#include "text/DeviceIdText.h"

#include <algorithm>

namespace {

using Family = NvmeBridge::Family;
using Command = NvmeBridge::Command;

// The USB IDs that smartmontools' public drive database (drivedb.h, its "USB ID entries")
// maps to -d sntrealtek, -d sntasmedia and -d sntjmicron (0x152d:0xb581 there as
// "sntjmicron/sat": NVMe through the JMicron tunnel, SATA through SAT).
constexpr std::array<NvmeBridge::KnownBridge, NvmeBridge::kKnownBridges> kBridgeTable{{
    {{0x0bda, 0x9210}, Family::Realtek}, // RTL9210
    {{0x0bda, 0x9211}, Family::Realtek}, // RTL9211
    {{0x2eb9, 0x9211}, Family::Realtek}, // RTL9211
    {{0x0bda, 0x9220}, Family::Realtek}, // RTL9220
    {{0x1de1, 0xe101}, Family::Realtek}, // rebranded RTL9210
    {{0x0411, 0x039d}, Family::ASMedia},
    {{0x04e8, 0x4001}, Family::ASMedia}, // ASM2362
    {{0x04e8, 0x61fb}, Family::ASMedia}, // ASM2362
    {{0x04e8, 0x61fd}, Family::ASMedia}, // ASM2362
    {{0x0781, 0x55ae}, Family::ASMedia}, // ASM2362
    {{0x0b05, 0x1932}, Family::ASMedia}, // ASM236x
    {{0x0bc2, 0xaa1a}, Family::ASMedia}, // ASM2364
    {{0x1058, 0x266e}, Family::ASMedia}, // ASM236x
    {{0x13fe, 0x6500}, Family::ASMedia},
    {{0x174c, 0x2362}, Family::ASMedia}, // ASM2362
    {{0x174c, 0x2364}, Family::ASMedia}, // ASM2364
    {{0x152d, 0x0583}, Family::JMicron}, // JMS583
    {{0x152d, 0xa583}, Family::JMicron}, // JMS583
    {{0x152d, 0xb581}, Family::JMicron}, // JMS581
    {{0x30de, 0x1000}, Family::JMicron},
}};

// NVMe admin opcodes and the command dwords of the two commands.
constexpr std::uint8_t kGetLogPage = 0x02;
constexpr std::uint8_t kIdentify = 0x06;
// Log 02h, NUMD 127 (512 bytes as dwords minus one) in the upper half.
constexpr std::uint32_t kLogCdw10 = 0x007F0002;
// Log 06h, NUMD 140 (564 bytes).
constexpr std::uint32_t kSelfTestLogCdw10 = 0x008C0006;
// CNS 01h: the controller.
constexpr std::uint32_t kIdentifyCdw10 = 0x00000001;
// The health log is the controller's, asked for with the broadcast namespace.
constexpr std::uint32_t kAllNamespaces = 0xFFFFFFFF;

constexpr std::uint8_t kRealtekOpcode = 0xE4;
constexpr std::uint8_t kASMediaOpcode = 0xE6;
// JMicron reuses the ATA PASS-THROUGH (12) opcode; bit 7 of byte 1 marks an admin command and
// its low bits the step.
constexpr std::uint8_t kJMicronOpcode = 0xA1;
constexpr std::uint8_t kJMicronAdmin = 0x80;
constexpr std::uint8_t kJMicronCommandOut = 0x0;
constexpr std::uint8_t kJMicronDataIn = 0x2;
constexpr std::uint8_t kJMicronReplyIn = 0xF;
constexpr std::uint8_t kJMicronCdbLength = 12;

constexpr std::array<std::uint8_t, 4> kJMicronSignature{'N', 'V', 'M', 'E'};
constexpr std::size_t kOpcodeAt = 8;
constexpr std::size_t kNamespaceAt = 12;
constexpr std::size_t kCdw10At = 48;
constexpr std::size_t kReplyStatusAt = 20;

std::uint8_t OpcodeOf(Command command)
{
    return command == Command::IdentifyController ? kIdentify : kGetLogPage;
}

std::uint32_t Cdw10Of(Command command)
{
    return command == Command::HealthLog ? kLogCdw10 : command == Command::SelfTestLog ? kSelfTestLogCdw10
                                                                                        : kIdentifyCdw10;
}

std::uint8_t ByteOf(std::uint32_t value, unsigned index)
{
    return static_cast<std::uint8_t>(value >> (8 * index));
}

void PutLe32(std::span<std::uint8_t> bytes, std::uint32_t value)
{
    for (unsigned i = 0; i < 4; ++i) {
        bytes[i] = ByteOf(value, i);
    }
}

NvmeBridge::Step JMicronStep(std::uint8_t step, std::size_t length, NvmeBridge::Direction direction)
{
    const auto size = static_cast<std::uint32_t>(length);
    NvmeBridge::Step result;
    result.cdb = {kJMicronOpcode, static_cast<std::uint8_t>(kJMicronAdmin | step), 0, ByteOf(size, 2), ByteOf(size, 1),
                  ByteOf(size, 0)};
    result.cdbLength = kJMicronCdbLength;
    result.direction = direction;
    result.length = size;
    return result;
}

std::string_view TextAt(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to)
{
    const auto field = bytes.subspan(from, to - from);
    return {reinterpret_cast<const char*>(field.data()), field.size()};
}

} // namespace

const std::array<NvmeBridge::KnownBridge, NvmeBridge::kKnownBridges>& NvmeBridge::KnownBridges()
{
    return kBridgeTable;
}

std::optional<NvmeBridge::UsbId> NvmeBridge::ParseDeviceId(std::wstring_view deviceId)
{
    const auto vendor = DeviceIdText::TakeField(deviceId, L"USB\\VID_");
    const auto product = vendor ? DeviceIdText::TakeField(deviceId, L"&PID_") : std::nullopt;
    if (!product) {
        return std::nullopt;
    }
    return UsbId{*vendor, *product};
}

std::optional<NvmeBridge::Family> NvmeBridge::FamilyOf(UsbId id)
{
    const auto it = std::find_if(kBridgeTable.begin(), kBridgeTable.end(), [id](const KnownBridge& known) {
        return known.id.vendor == id.vendor && known.id.product == id.product;
    });
    return it == kBridgeTable.end() ? std::nullopt : std::optional<Family>(it->family);
}

NvmeBridge::Steps NvmeBridge::StepsOf(Family family, Command command)
{
    const std::size_t length = LengthOf(command);
    const std::uint32_t cdw10 = Cdw10Of(command);
    Steps steps;
    if (!Fits(family, command)) {
        return steps;
    }
    Step& first = steps.steps[0];
    first.length = static_cast<std::uint32_t>(length);
    switch (family) {
    case Family::Realtek:
        // The transfer length little-endian, the opcode, the low byte of CDW10.
        first.cdb = {kRealtekOpcode, ByteOf(first.length, 0), ByteOf(first.length, 1), OpcodeOf(command),
                     ByteOf(cdw10, 0)};
        steps.count = 1;
        break;
    case Family::ASMedia:
        // The opcode, the low byte of CDW10 and, for the log, NUMD's low byte from its upper half.
        first.cdb = {kASMediaOpcode, OpcodeOf(command), 0, ByteOf(cdw10, 0), 0, 0, 0, ByteOf(cdw10, 2)};
        steps.count = 1;
        break;
    case Family::JMicron:
        steps.steps = {JMicronStep(kJMicronCommandOut, kJMicronBlockSize, Direction::Out),
                       JMicronStep(kJMicronDataIn, length, Direction::In),
                       JMicronStep(kJMicronReplyIn, kJMicronBlockSize, Direction::In)};
        steps.count = 3;
        break;
    }
    return steps;
}

NvmeBridge::JMicronBlock NvmeBridge::JMicronDescriptor(Command command)
{
    JMicronBlock block{};
    std::copy(kJMicronSignature.begin(), kJMicronSignature.end(), block.begin());
    block[kOpcodeAt] = OpcodeOf(command);
    PutLe32(std::span(block).subspan(kNamespaceAt), command == Command::IdentifyController ? 0 : kAllNamespaces);
    PutLe32(std::span(block).subspan(kCdw10At), Cdw10Of(command));
    return block;
}

bool NvmeBridge::Completed(const Answer& answer, const Step& step)
{
    return answer.requestSucceeded && answer.scsiStatus == SatPassThrough::kScsiStatusGood &&
           answer.transferred == step.length;
}

bool NvmeBridge::ReplyCounts(std::span<const std::uint8_t, kJMicronBlockSize> reply)
{
    // The status field is bits 17-31 of the little-endian dword at byte 20; bit 16 is the phase tag.
    const auto status = reply.subspan(kReplyStatusAt, 4);
    const std::uint32_t dword = static_cast<std::uint32_t>(status[0]) | static_cast<std::uint32_t>(status[1]) << 8 |
                                static_cast<std::uint32_t>(status[2]) << 16 | static_cast<std::uint32_t>(status[3]) << 24;
    return std::equal(kJMicronSignature.begin(), kJMicronSignature.end(), reply.begin()) && (dword >> 17) == 0;
}

bool NvmeBridge::LogCounts(std::span<const std::uint8_t> log)
{
    return std::any_of(log.begin(), log.end(), [](std::uint8_t b) { return b != 0; });
}

bool NvmeBridge::IdentifyCounts(std::span<const std::uint8_t, kIdentifySize> identify)
{
    return SatPassThrough::IsModelText(IdentityOf(identify).model);
}

NvmeBridge::Identity NvmeBridge::IdentityOf(std::span<const std::uint8_t, kIdentifySize> identify)
{
    return {TextAt(identify, 4, 24), TextAt(identify, 24, 64), TextAt(identify, 64, 72)};
}
