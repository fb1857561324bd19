#include "diskinfo/SatPassThrough.h"

#include "diskinfo/AtaSmart.h"

namespace {

constexpr std::uint8_t kAtaPassThrough16 = 0x85;
constexpr std::uint8_t kAtaPassThrough12 = 0xA1;
// Protocol 4 (PIO data-in) in bits 1-4; no multiple count, not extended.
constexpr std::uint8_t kPioDataIn = 4 << 1;
// T_DIR from the drive, BYTE_BLOCK, T_LENGTH in the sector count: the count is in 512-byte blocks.
constexpr std::uint8_t kTransferOneBlockIn = 0x0E;
// Bits 7 and 5 of the device register are obsolete but set, as older drives expect.
constexpr std::uint8_t kDevice = 0xA0;

} // namespace

SatPassThrough::Command SatPassThrough::SmartCommand(Length length, std::uint8_t features)
{
    constexpr std::uint8_t kOneBlock = 1; // sector count
    if (length == Length::Sixteen) {
        // Each register as an extended (high) byte, unused here, and a low byte.
        return {kAtaPassThrough16, kPioDataIn, kTransferOneBlockIn,
                0, features,                 // features
                0, kOneBlock,                // sector count
                0, 0,                        // LBA low
                0, AtaSmart::kSignatureLow,  // LBA mid
                0, AtaSmart::kSignatureHigh, // LBA high
                kDevice, AtaSmart::kCommandSmart, 0};
    }
    // Features, sector count, LBA low, mid and high, device, command; then reserved and control.
    return {kAtaPassThrough12,       kPioDataIn, kTransferOneBlockIn, features, kOneBlock, 0,
            AtaSmart::kSignatureLow, AtaSmart::kSignatureHigh, kDevice, AtaSmart::kCommandSmart};
}

bool SatPassThrough::Answered(const Answer& answer)
{
    return answer.requestSucceeded && answer.scsiStatus == kScsiStatusGood && answer.transferred == kPageSize &&
           AtaSmart::ChecksumHolds(answer.page);
}
