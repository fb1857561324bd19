#include "report/ResultText.h"

#include "text/BoundedText.h"

std::wstring ResultText::ForFailure(std::uint32_t error, bool driveGone)
{
    return driveGone ? BoundedText::Formatted(L"The drive stopped answering (error %u)", error) : kTestFailed;
}

std::wstring ResultText::NoCapacity(std::int32_t drive, std::uint32_t error)
{
    return BoundedText::Formatted(L"Drive %d did not report its capacity (error %u)", drive, error);
}

std::wstring ResultText::Figure(double speed)
{
    return BoundedText::Formatted<kResultCapacity>(L"%.1f", speed);
}

ResultText::Result ResultText::ForSpeed(double speed)
{
    Result result{};
    if (speed < 0) {
        BoundedText::Copy(result, L"Error");
    } else {
        BoundedText::Format(result, L"%ls MB/s", Figure(speed).c_str());
    }
    return result;
}

ResultText::Message ResultText::ForResult(const Result& result)
{
    Message message{};
    BoundedText::Format(message, L"Sequential Read Speed: %ls", result.data());
    return message;
}
