#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    static_assert(sizeof(Byte) == 1);

    ExactAnswer(std::span<const std::uint8_t> input, std::size_t size)
        : m_bytes(std::make_unique<Byte[]>(size)), m_size(size)
    {
        const std::size_t count = std::min(input.size(), size);
        if (count > 0) {
            std::memcpy(m_bytes.get(), input.data(), count);
        }
    }

    std::span<const Byte> Bytes() const { return {m_bytes.get(), m_size}; }

private:
    std::unique_ptr<Byte[]> m_bytes;
    std::size_t m_size;
};

// The same for answers of a fixed size, made once and refilled for every input: an allocation
// per input costs a table target more than the reader it fuzzes, under AddressSanitizer.
template <std::size_t Size>
class FixedAnswer {
public:
    FixedAnswer() : m_bytes(std::make_unique<std::uint8_t[]>(Size)) {}

    std::span<const std::uint8_t, Size> Fill(std::span<const std::uint8_t> input)
    {
        const std::size_t count = std::min(input.size(), Size);
        if (count > 0) {
            std::memcpy(m_bytes.get(), input.data(), count);
        }
        std::memset(m_bytes.get() + count, 0, Size - count);
        return std::span<const std::uint8_t, Size>(m_bytes.get(), Size);
    }

private:
    std::unique_ptr<std::uint8_t[]> m_bytes;
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

// Whether this input also has its details view built and checked. The view makes hundreds of
// small strings, each a heap block that AddressSanitizer tracks, and costs a hundred times what
// reading the answer does: built for every input, it held a target to a few thousand executions
// a second. So one input in kViewShare is chosen, by the sum of its bytes: the same input always
// chooses the same, the fuzzer reaches the view's branches through the inputs that choose it,
// and ten million executions still check some three hundred thousand views.
inline constexpr unsigned kViewShare = 64;
inline unsigned ByteSum(std::span<const std::uint8_t> input)
{
    unsigned sum = 0;
    for (const std::uint8_t byte : input) {
        sum += byte;
    }
    return sum;
}
inline bool ChecksView(std::span<const std::uint8_t> input)
{
    return ByteSum(input) % kViewShare == 0;
}
// Which one of `count` like checks this input makes, chosen the same way: a check of one
// function on many values, made on one value per input, still meets every value the fuzzer makes.
inline std::size_t Chosen(std::span<const std::uint8_t> input, std::size_t count)
{
    return ByteSum(input) / kViewShare % count;
}
