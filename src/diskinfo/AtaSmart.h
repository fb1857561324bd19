#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// Reader of the ATA SMART attribute table as a whole, the READ DATA page against its READ
// THRESHOLDS page. Free of <windows.h>: built natively under the sanitizers and fuzzed.
class AtaSmart {
public:
    AtaSmart() = delete;

    static constexpr std::size_t kPageSize = 512;
    using Page = std::span<const std::uint8_t, kPageSize>;

    // SMART features register values of the two pages, and the SMART command's signature.
    static constexpr std::uint8_t kFeatureReadData = 0xD0;
    static constexpr std::uint8_t kFeatureReadThresholds = 0xD1;
    static constexpr std::uint8_t kCommandSmart = 0xB0;
    static constexpr std::uint8_t kSignatureLow = 0x4F;
    static constexpr std::uint8_t kSignatureHigh = 0xC2;

    enum class Status { Ok, Watch, FailedInPast, FailingNow };

    struct Attribute {
        std::uint8_t id = 0;
        std::uint8_t current = 0;
        std::uint8_t worst = 0;
        std::optional<std::uint8_t> threshold; // none when no thresholds entry has this id
        std::uint64_t raw = 0;                 // all 48 bits
        Status status = Status::Ok;
    };

    // Every used entry (id not 0) in table order. A threshold is taken from the first entry of
    // the thresholds page with the same id, whatever its slot; without a page there is none.
    // A threshold of 0 means the attribute cannot fail. Attributes whose raw value counts bad
    // sectors or errors are to watch when the low 32 bits of their raw value are not 0: some
    // drives pack other data above them.
    static std::vector<Attribute> ReadAttributes(Page data, std::optional<Page> thresholds);

    // The name technicians know an attribute by; "Vendor specific" where there is no common one.
    static std::wstring_view AttributeName(std::uint8_t id);

    // Whether the page's 512 bytes add up to 0 modulo 256, as every SMART page's checksum
    // makes them.
    static bool ChecksumHolds(Page page);
};
