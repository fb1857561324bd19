#include "diskinfo/SatPassThrough.h"

#include "diskinfo/AtaSmart.h"

namespace {

constexpr std::uint8_t kAtaPassThrough16 = 0x85;
constexpr std::uint8_t kAtaPassThrough12 = 0xA1;
// Protocol 4 (PIO data-in) in bits 1-4; no multiple count, not extended.
constexpr std::uint8_t kPioDataIn = 4 << 1;
// T_DIR from the drive, BYTE_BLOCK, T_LENGTH in the sector count: the count is in 512-byte blocks.
constexpr std::uint8_t kTransferBlocksIn = 0x0E;
// Bits 7 and 5 of the device register are obsolete but set, as older drives expect.
constexpr std::uint8_t kDevice = 0xA0;

} // namespace

SatPassThrough::Command SatPassThrough::SmartCommand(Length length, std::uint8_t features)
{
    Command command = SmartLogCommand(length, 0, 1);
    command[length == Length::Sixteen ? 4 : 3] = features;
    return command;
}

SatPassThrough::Command SatPassThrough::SmartLogCommand(Length length, std::uint8_t address, std::uint8_t sectors)
{
    constexpr std::uint8_t kReadLog = 0xD5;
    if (length == Length::Sixteen) {
        // Each register as an extended (high) byte, unused here, and a low byte.
        return {kAtaPassThrough16, kPioDataIn, kTransferBlocksIn,
                0, kReadLog,                 // features
                0, sectors,                  // sector count
                0, address,                  // LBA low
                0, AtaSmart::kSignatureLow,  // LBA mid
                0, AtaSmart::kSignatureHigh, // LBA high
                kDevice, AtaSmart::kCommandSmart, 0};
    }
    // Features, sector count, LBA low, mid and high, device, command; then reserved and control.
    return {kAtaPassThrough12,       kPioDataIn, kTransferBlocksIn, kReadLog, sectors, address,
            AtaSmart::kSignatureLow, AtaSmart::kSignatureHigh, kDevice, AtaSmart::kCommandSmart};
}

bool SatPassThrough::Answered(const Answer& answer)
{
    return answer.requestSucceeded && answer.scsiStatus == kScsiStatusGood && answer.transferred == kPageSize &&
           AtaSmart::ChecksumHolds(answer.page);
}

bool SatPassThrough::LogReturned(bool requestSucceeded, std::uint8_t scsiStatus, std::uint32_t transferred,
                                 std::size_t sectors)
{
    return requestSucceeded && scsiStatus == kScsiStatusGood && transferred == sectors * kPageSize;
}
