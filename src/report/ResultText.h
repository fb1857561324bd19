#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The texts of the read test's result box, and of the failures that end a command on a drive.
class ResultText {
public:
    ResultText() = delete;

    static constexpr std::size_t kResultCapacity = 64;
    static constexpr std::size_t kMessageCapacity = 256;
    using Result = std::array<wchar_t, kResultCapacity>;
    using Message = std::array<wchar_t, kMessageCapacity>;

    static constexpr wchar_t kTestFailed[] =
        L"Test failed. Please ensure the app is running with administrator privileges in WinPE.";
    static constexpr wchar_t kDriveNotOpened[] =
        L"The drive could not be opened. Please ensure the app is running with administrator privileges in WinPE.";

    // Why a read test failed: that the drive stopped answering, with the error, when it has
    // gone; otherwise kTestFailed.
    static std::wstring ForFailure(std::uint32_t error, bool driveGone);
    // That the drive opened and told no capacity (a card reader without a card).
    static std::wstring NoCapacity(std::int32_t drive, std::uint32_t error);

    // The speed in MB/s with one decimal ("%.1f").
    static std::wstring Figure(double speed);

    // "Error" for a failed run (a negative speed), otherwise the figure and " MB/s"; empty when
    // that text does not fit.
    static Result ForSpeed(double speed);

    // "Sequential Read Speed: " followed by the result text.
    static Message ForResult(const Result& result);
};
