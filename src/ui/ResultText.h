#pragma once

#include <array>
#include <cstddef>

// The texts of the read test's result box.
class ResultText {
public:
    ResultText() = delete;

    static constexpr std::size_t kResultCapacity = 64;
    static constexpr std::size_t kMessageCapacity = 256;
    using Result = std::array<wchar_t, kResultCapacity>;
    using Message = std::array<wchar_t, kMessageCapacity>;

    // "Error" for a failed run (a negative speed), otherwise the speed as "%.1f MB/s"; empty
    // when that text does not fit.
    static Result ForSpeed(double speed);

    // "Sequential Read Speed: " followed by the result text.
    static Message ForResult(const Result& result);
};
