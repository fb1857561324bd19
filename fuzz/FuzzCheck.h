#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

// A property that must hold for every input. Aborting (rather than returning) makes libFuzzer
// keep the input as a crash, so a wrong answer is caught as surely as an out-of-bounds read.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (false)

// An answer buffer of exactly `size` bytes on the heap, holding the fuzzer's bytes and zeros
// after them: the program zero-fills its answer buffers before a request and does not look at
// the byte count a device reports. Nothing lies after the buffer, so AddressSanitizer reports
// any read at or past its end.
template <typename Byte>
class ExactAnswer {
public:
    ExactAnswer(std::span<const std::uint8_t> input, std::size_t size)
        : m_bytes(std::make_unique<Byte[]>(size)), m_size(size)
    {
        const std::size_t count = std::min(input.size(), size);
        std::transform(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(count), m_bytes.get(),
                       [](std::uint8_t b) { return static_cast<Byte>(b); });
    }

    std::span<const Byte> Bytes() const { return {m_bytes.get(), m_size}; }

private:
    std::unique_ptr<Byte[]> m_bytes;
    std::size_t m_size;
};

// Little-endian unsigned value of up to eight bytes; missing bytes count as zero.
inline std::uint64_t FuzzReadLe(std::span<const std::uint8_t> bytes, std::size_t count)
{
    std::uint64_t value = 0;
    for (std::size_t i = std::min(count, bytes.size()); i-- > 0;) {
        value = value << 8 | bytes[i];
    }
    return value;
}
