#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

// Device IDs as the device tree spells them ("USB\VID_04E8&PID_61FB", "PCI\VEN_8086&DEV_9A0B&CC_0104"):
// tags in either case, each followed by four hex digits of either case.
namespace DeviceIdText {

// The four hex digits after `tag` at the start of `rest`, which is then moved past them;
// nullopt, with `rest` as it was, when they are not there.
inline std::optional<std::uint16_t> TakeField(std::wstring_view& rest, std::wstring_view tag)
{
    const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; };
    if (rest.size() < tag.size() + 4 ||
        !std::equal(tag.begin(), tag.end(), rest.begin(), [&](wchar_t a, wchar_t b) { return upper(a) == upper(b); })) {
        return std::nullopt;
    }
    std::uint16_t value = 0;
    for (const wchar_t c : rest.substr(tag.size(), 4)) {
        const wchar_t u = upper(c);
        const int digit = u >= L'0' && u <= L'9' ? u - L'0' : u >= L'A' && u <= L'F' ? u - L'A' + 10 : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        value = static_cast<std::uint16_t>(value << 4 | digit);
    }
    rest.remove_prefix(tag.size() + 4);
    return value;
}

} // namespace DeviceIdText
