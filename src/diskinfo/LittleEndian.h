#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The unsigned little-endian number of `count` bytes (at most 8) at `at`, which the caller has
// checked lie inside `bytes`: every layout a drive or Windows answers with is little-endian.
inline std::uint64_t ReadLe(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t count)
{
    std::uint64_t value = 0;
    for (std::size_t i = count; i-- > 0;) {
        value = value << 8 | bytes[at + i];
    }
    return value;
}

// The unsigned little-endian number that the whole of `bytes` (at most 8) holds.
inline std::uint64_t ReadLe(std::span<const std::uint8_t> bytes)
{
    return ReadLe(bytes, 0, bytes.size());
}
