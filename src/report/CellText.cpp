#include "report/CellText.h"

#include "report/DetailsText.h"
#include "text/BoundedText.h"

#include <cstddef>
#include <span>

namespace {

constexpr double kBytesPerGiB = 1073741824.0;
constexpr wchar_t kNotAvailable[] = L"-";

// The SMART counters are -1 when the drive did not report them, never negative otherwise.
bool WriteCounter(std::span<wchar_t> cell, std::int64_t value)
{
    return value < 0 ? BoundedText::Copy(cell, kNotAvailable)
                     : BoundedText::Format(cell, L"%lld", static_cast<long long>(value));
}

} // namespace

bool CellText::Write(const DriveInfo& drive, int column, wchar_t* out, int capacity)
{
    if (out == nullptr || capacity <= 0) {
        return false;
    }
    const std::span<wchar_t> cell(out, static_cast<std::size_t>(capacity));
    switch (column) {
    case kDrive:
        return BoundedText::Format(cell, L"%d", static_cast<int>(drive.index));
    case kModel:
        return BoundedText::Copy(cell, drive.model);
    case kSerialNumber:
        return BoundedText::Copy(cell, drive.serialNumber);
    case kFirmware:
        return BoundedText::Copy(cell, drive.firmware);
    case kSize:
        return BoundedText::Format(cell, L"%.1f", static_cast<double>(drive.sizeBytes) / kBytesPerGiB);
    case kHealth:
        return BoundedText::Copy(cell, drive.health);
    case kTemperature:
        return drive.temperature >= 0 ? BoundedText::Format(cell, L"%d C", static_cast<int>(drive.temperature))
                                      : BoundedText::Copy(cell, kNotAvailable);
    case kPowerOnHours:
        return WriteCounter(cell, drive.powerOnHours);
    case kPowerCycles:
        return WriteCounter(cell, drive.powerCycles);
    case kSpeed:
        return BoundedText::Copy(cell, kNotAvailable);
    case kVolumes:
        return BoundedText::Copy(cell, drive.volumes.empty() ? std::wstring_view(kNotAvailable) : drive.volumes);
    default:
        return false;
    }
}
