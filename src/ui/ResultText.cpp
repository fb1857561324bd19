#include "ui/ResultText.h"

#include "text/BoundedText.h"

ResultText::Result ResultText::ForSpeed(double speed)
{
    Result result{};
    if (speed < 0) {
        BoundedText::Copy(result, L"Error");
    } else {
        BoundedText::Format(result, L"%.1f MB/s", speed);
    }
    return result;
}

ResultText::Message ResultText::ForResult(const Result& result)
{
    Message message{};
    BoundedText::Format(message, L"Sequential Read Speed: %ls", result.data());
    return message;
}
