#pragma once

#include "diskinfo/AtaSmart.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// SMART pages of a SATA drive behind a USB bridge, asked for with the SCSI command ATA
// PASS-THROUGH, which most bridges translate into the ATA command for the drive. Only SMART
// READ DATA, SMART READ THRESHOLDS, SMART READ LOG, READ LOG EXT and IDENTIFY DEVICE, each
// reading whole 512-byte pages from the drive. Free of <windows.h>: built natively under the sanitizers and
// fuzzed.
class SatPassThrough {
public:
    SatPassThrough() = delete;

    // STORAGE_BUS_TYPE of a drive attached through USB.
    static constexpr std::uint32_t kBusTypeUsb = 7;

    static constexpr std::size_t kPageSize = AtaSmart::kPageSize;
    static constexpr std::size_t kSenseSize = 32;
    static constexpr std::uint32_t kTimeOutSeconds = 10;
    static constexpr std::uint8_t kScsiStatusGood = 0;

    // The command's length in bytes. The 16-byte one goes first; bridges that know only the
    // 12-byte one refuse it.
    enum class Length : std::uint8_t { Sixteen = 16, Twelve = 12 };
    static constexpr std::array<Length, 2> kLengths{Length::Sixteen, Length::Twelve};
    using Command = std::array<std::uint8_t, 16>;

    // The registers of one ATA command that reads 512-byte pages in PIO, as the disk driver's
    // ATA pass-through and a bridge's ATA PASS-THROUGH both carry them; `extended` for a 48-bit
    // command, whose high bytes here are all zero.
    struct Registers {
        std::uint8_t features = 0;
        std::uint8_t count = 1;
        std::uint8_t lbaLow = 0;
        std::uint8_t lbaMid = 0;
        std::uint8_t lbaHigh = 0;
        std::uint8_t device = 0;
        std::uint8_t command = 0;
        bool extended = false;
    };
    // IDENTIFY DEVICE (ECh); READ LOG EXT (2Fh) of the first page of the log at `address`; the
    // SMART command with `features` (READ DATA D0h, READ THRESHOLDS D1h), its signature in the LBA
    // registers; SMART READ LOG (D5h) of `sectors` sectors of the log at `address`.
    static Registers IdentifyRegisters();
    static Registers ReadLogExtRegisters(std::uint8_t address);
    static Registers SmartRegisters(std::uint8_t features);
    static Registers SmartLogRegisters(std::uint8_t address, std::uint8_t sectors);
    static Command CommandOf(Length length, const Registers& registers);

    // ATA PASS-THROUGH (16 or 12) of the SMART command with `features` (READ DATA 0xD0 or READ
    // THRESHOLDS 0xD1): PIO data-in, one 512-byte block from the drive, the SMART signature in
    // the LBA registers. A 12-byte command is followed by zeros.
    static Command SmartCommand(Length length, std::uint8_t features);
    // ATA PASS-THROUGH of SMART READ LOG (0xD5) of `sectors` sectors of the log at `address`,
    // the same way: the count in the sector count register, the address in LBA low.
    static Command SmartLogCommand(Length length, std::uint8_t address, std::uint8_t sectors);
    // ATA PASS-THROUGH of IDENTIFY DEVICE (ECh), the same way: the drive's own identity strings.
    static Command IdentifyCommand(Length length);

    // What came back for one command.
    struct Answer {
        bool requestSucceeded = false;
        std::uint8_t scsiStatus = 0;
        std::uint32_t transferred = 0; // DataTransferLength as returned
        std::span<const std::uint8_t, kPageSize> page;
    };

    // The page counts as answered only when the request went through, the command ended GOOD,
    // the whole page came back, its checksum holds and it is not all zeros: a bridge that did
    // not pass the command on may still end it GOOD, with the buffer as it was (zeros, whose
    // checksum holds too) or only partly filled.
    static bool Answered(const Answer& answer);
    // A log counts as returned when the request went through, the command ended GOOD and all
    // its sectors came back; what it holds its reader checks.
    static bool LogReturned(bool requestSucceeded, std::uint8_t scsiStatus, std::uint32_t transferred,
                            std::size_t sectors);

    // IDENTIFY DEVICE data counts when the command went through as above (its checksum holding
    // where its signature byte says it has one) and its model is printable and not blank.
    static bool IdentifyAnswered(const Answer& answer);
    // The serial number (words 10-19), firmware (23-26) and model (27-46), each word's two
    // bytes swapped into reading order, blanks and all.
    template <std::size_t Length>
    struct Text {
        std::array<char, Length> bytes{};
        std::string_view View() const { return {bytes.data(), bytes.size()}; }
    };
    struct Identity {
        Text<20> serial;
        Text<8> firmware;
        Text<40> model;
    };
    static Identity IdentityOf(std::span<const std::uint8_t, kPageSize> page);
    // Whether an identity's model is printable ASCII and not all blanks: a bridge that did not
    // pass the command on may still end it GOOD, with the buffer as it was.
    static bool IsModelText(std::string_view model);
};
