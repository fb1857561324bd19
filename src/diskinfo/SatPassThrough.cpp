#include "diskinfo/SatPassThrough.h"

#include "diskinfo/AtaSmart.h"
#include "diskinfo/DriveLogs.h"

#include <algorithm>

namespace {

constexpr std::uint8_t kAtaPassThrough16 = 0x85;
constexpr std::uint8_t kAtaPassThrough12 = 0xA1;
// Protocol 4 (PIO data-in) in bits 1-4; no multiple count, not extended.
constexpr std::uint8_t kPioDataIn = 4 << 1;
// T_DIR from the drive, BYTE_BLOCK, T_LENGTH in the sector count: the count is in 512-byte blocks.
constexpr std::uint8_t kTransferBlocksIn = 0x0E;
// Bits 7 and 5 of the device register are obsolete but set, as older drives expect.
constexpr std::uint8_t kDevice = 0xA0;

constexpr std::uint8_t kIdentifyDevice = 0xEC;
// IDENTIFY DEVICE data: where the identity strings start, and the signature byte that says
// word 255 holds a checksum.
constexpr std::size_t kSerialAt = 20;
constexpr std::size_t kFirmwareAt = 46;
constexpr std::size_t kModelAt = 54;
constexpr std::size_t kChecksumSignatureAt = 510;
constexpr std::uint8_t kChecksumSignature = 0xA5;

// A 48-bit command: the EXTEND bit beside the protocol.
constexpr std::uint8_t kExtend = 0x01;

template <std::size_t Length>
SatPassThrough::Text<Length> Swapped(std::span<const std::uint8_t, SatPassThrough::kPageSize> page, std::size_t at)
{
    SatPassThrough::Text<Length> text;
    for (std::size_t i = 0; i < Length; ++i) {
        text.bytes[i] = static_cast<char>(page[at + (i ^ 1)]);
    }
    return text;
}

} // namespace

SatPassThrough::Registers SatPassThrough::IdentifyRegisters()
{
    return {0, 1, 0, 0, 0, kDevice, kIdentifyDevice, false};
}

SatPassThrough::Registers SatPassThrough::ReadLogExtRegisters(std::uint8_t address)
{
    return {0, 1, address, 0, 0, kDevice, DriveLogs::kReadLogExt, true};
}

SatPassThrough::Command SatPassThrough::CommandOf(Length length, const Registers& r)
{
    if (length == Length::Sixteen) {
        // Each register as an extended (high) byte, all zero here, and a low byte.
        return {kAtaPassThrough16,
                static_cast<std::uint8_t>(kPioDataIn | (r.extended ? kExtend : 0)),
                kTransferBlocksIn,
                0, r.features, // features
                0, r.count,    // sector count
                0, r.lbaLow,   // LBA low
                0, r.lbaMid,   // LBA mid
                0, r.lbaHigh,  // LBA high
                r.device, r.command, 0};
    }
    // Features, sector count, LBA low, mid and high, device, command; then reserved and control.
    // No EXTEND bit: a 48-bit command goes with its high bytes zero, which is all they hold here.
    return {kAtaPassThrough12, kPioDataIn, kTransferBlocksIn, r.features, r.count, r.lbaLow, r.lbaMid, r.lbaHigh,
            r.device, r.command};
}

SatPassThrough::Registers SatPassThrough::SmartRegisters(std::uint8_t features)
{
    Registers registers = SmartLogRegisters(0, 1);
    registers.features = features;
    return registers;
}

SatPassThrough::Registers SatPassThrough::SmartLogRegisters(std::uint8_t address, std::uint8_t sectors)
{
    return {DriveLogs::kFeatureReadLog, sectors, address, AtaSmart::kSignatureLow, AtaSmart::kSignatureHigh, kDevice,
            AtaSmart::kCommandSmart, false};
}

SatPassThrough::Command SatPassThrough::SmartCommand(Length length, std::uint8_t features)
{
    return CommandOf(length, SmartRegisters(features));
}

SatPassThrough::Command SatPassThrough::SmartLogCommand(Length length, std::uint8_t address, std::uint8_t sectors)
{
    return CommandOf(length, SmartLogRegisters(address, sectors));
}

SatPassThrough::Command SatPassThrough::IdentifyCommand(Length length)
{
    return CommandOf(length, IdentifyRegisters());
}

bool SatPassThrough::Answered(const Answer& answer)
{
    return answer.requestSucceeded && answer.scsiStatus == kScsiStatusGood && answer.transferred == kPageSize &&
           AtaSmart::ChecksumHolds(answer.page) &&
           std::any_of(answer.page.begin(), answer.page.end(), [](std::uint8_t b) { return b != 0; });
}

bool SatPassThrough::LogReturned(bool requestSucceeded, std::uint8_t scsiStatus, std::uint32_t transferred,
                                 std::size_t sectors)
{
    return requestSucceeded && scsiStatus == kScsiStatusGood && transferred == sectors * kPageSize;
}

bool SatPassThrough::IdentifyAnswered(const Answer& answer)
{
    if (!answer.requestSucceeded || answer.scsiStatus != kScsiStatusGood || answer.transferred != kPageSize ||
        (answer.page[kChecksumSignatureAt] == kChecksumSignature && !AtaSmart::ChecksumHolds(answer.page))) {
        return false;
    }
    return IsModelText(IdentityOf(answer.page).model.View());
}

SatPassThrough::Identity SatPassThrough::IdentityOf(std::span<const std::uint8_t, kPageSize> page)
{
    return {Swapped<20>(page, kSerialAt), Swapped<8>(page, kFirmwareAt), Swapped<40>(page, kModelAt)};
}

bool SatPassThrough::IsModelText(std::string_view model)
{
    return std::all_of(model.begin(), model.end(), [](char c) { return c >= 0x20 && c <= 0x7E; }) &&
           model.find_first_not_of(' ') != std::string_view::npos;
}
