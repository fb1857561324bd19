#include "diskinfo/DeviceAnswers.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using NvmeLogProperty = DeviceAnswers::NvmeLogProperty;
constexpr std::int64_t kCap = (std::int64_t{1} << 48) - 1;

void PutLe(Bytes& bytes, std::size_t at, std::uint64_t value, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i) {
        bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::string Hex(std::span<const std::uint8_t> bytes)
{
    std::string text;
    for (const std::uint8_t b : bytes) {
        char cell[4];
        std::snprintf(cell, sizeof(cell), "%02X ", b);
        text += cell;
    }
    return text;
}

// A protocol data descriptor of `size` bytes whose protocol-specific data names the log at
// `offset` with `length`.
Bytes Descriptor(std::uint32_t offset, std::uint32_t length, std::size_t size = DeviceAnswers::kNvmeLogAnswerSize)
{
    Bytes bytes(size);
    if (size >= 32) {
        PutLe(bytes, 8 + 16, offset, 4);
        PutLe(bytes, 8 + 20, length, 4);
    }
    return bytes;
}

TEST(NvmeLog, RequestBytesFollowThePublishedLayout)
{
    const std::string protocolData = "03 00 00 00 02 00 00 00 02 00 00 00 00 00 00 00 28 00 00 00 00 02 00 00 "
                                     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ";
    EXPECT_EQ(Hex(DeviceAnswers::NvmeHealthLogRequest(NvmeLogProperty::Device)),
              "32 00 00 00 00 00 00 00 " + protocolData);
    EXPECT_EQ(Hex(DeviceAnswers::NvmeHealthLogRequest(NvmeLogProperty::Adapter)),
              "31 00 00 00 00 00 00 00 " + protocolData);
}

TEST(NvmeLog, LogIsFoundOnlyInsideTheAnswer)
{
    struct Case {
        const char* name;
        Bytes answer;
        std::ptrdiff_t logStart; // -1: no log
    };
    const Case cases[] = {
        {"as the driver answers", Descriptor(40, 512), 48},
        {"offset 0: the log starts at the protocol data", Descriptor(0, 512), 8},
        {"last byte is the answer's last", Descriptor(40, 512, 600), 48},
        {"ends exactly at the end", Descriptor(80, 512, 600), 88},
        {"one byte past the end", Descriptor(41, 512), -1},
        {"length under 512", Descriptor(40, 511), -1},
        {"length 0", Descriptor(40, 0), -1},
        {"zero-filled answer", Bytes(DeviceAnswers::kNvmeLogAnswerSize), -1},
        {"length longer than what is left", Descriptor(40, 513), -1},
        {"offset beyond the answer", Descriptor(4096, 512), -1},
        {"offset that wraps 32 bits", Descriptor(0xFFFFFDF8u, 0x200), -1},
        {"length that wraps 32 bits", Descriptor(40, 0xFFFFFFFFu), -1},
        {"answer shorter than the descriptor", Descriptor(0, 512, 47), -1},
        {"answer ending inside the data length", Descriptor(0, 0, 30), -1},
        {"empty answer", Bytes{}, -1},
    };
    for (const Case& c : cases) {
        const auto log = DeviceAnswers::NvmeHealthLog(c.answer);
        if (c.logStart < 0) {
            EXPECT_FALSE(log.has_value()) << c.name;
        } else {
            ASSERT_TRUE(log.has_value()) << c.name;
            EXPECT_EQ(log->data(), c.answer.data() + c.logStart) << c.name;
        }
    }
}

TEST(NvmeLog, TemperatureAndCountsFromTheirBytes)
{
    struct Case {
        const char* name;
        std::uint32_t kelvin;
        std::uint64_t cyclesLow, cyclesHigh; // the 128-bit count as two 64-bit halves
        std::uint64_t hoursLow, hoursHigh;
        std::int32_t temperature;
        std::int64_t cycles, hours;
    };
    constexpr std::uint64_t k48 = std::uint64_t{1} << 48;
    const Case cases[] = {
        {"300 K", 300, 4, 0, 408, 0, 27, 4, 408},
        {"0 K is not reported", 0, 0, 0, 0, 0, -1, 0, 0},
        {"250 K is held at 0", 250, 1, 0, 1, 0, 0, 1, 1},
        {"273 K", 273, 0, 0, 0, 0, 0, 0, 0},
        {"528 K is the highest", 528, 0, 0, 0, 0, 255, 0, 0},
        {"529 K is held at 255", 529, 0, 0, 0, 0, 255, 0, 0},
        {"65535 K is held at 255", 65535, 0, 0, 0, 0, 255, 0, 0},
        {"counts just below the cap", 310, k48 - 1, 0, k48 - 1, 0, 37, kCap, kCap},
        {"counts at 2^48", 310, k48, 0, k48 + 5, 0, 37, kCap, kCap},
        {"counts with bit 63", 310, std::uint64_t{1} << 63, 0, 7, 0, 37, kCap, 7},
        {"counts with bits above 64 only", 310, 12, 1, 34, std::uint64_t{1} << 63, 37, kCap, kCap},
    };
    for (const Case& c : cases) {
        Bytes log(DeviceAnswers::kNvmeLogSize, 0);
        log[0] = 0xFF;   // critical warning: not one of the values
        log[111] = 0xEE; // the bytes just outside the two counts
        log[144] = 0xEE;
        PutLe(log, 1, c.kelvin, 2);
        PutLe(log, 112, c.cyclesLow, 8);
        PutLe(log, 120, c.cyclesHigh, 8);
        PutLe(log, 128, c.hoursLow, 8);
        PutLe(log, 136, c.hoursHigh, 8);
        const auto values = DeviceAnswers::ParseNvmeHealthLog(DeviceAnswers::NvmeLog(log.data(), log.size()));
        EXPECT_EQ(values.temperature, c.temperature) << c.name;
        EXPECT_EQ(values.powerCycles, c.cycles) << c.name;
        EXPECT_EQ(values.powerOnHours, c.hours) << c.name;
    }
}

} // namespace
