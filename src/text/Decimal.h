#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Integers are written digit by digit: a details table holds hundreds of them, and swprintf
// costs more than everything else that makes the table.
inline std::wstring Decimal(std::uint64_t value)
{
    std::array<wchar_t, 20> digits{}; // 2^64 - 1 has 20
    std::size_t start = digits.size();
    do {
        digits[--start] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::wstring(digits.begin() + static_cast<std::ptrdiff_t>(start), digits.end());
}

// The same with a sign: the library's to_wstring would bring in a whole formatter for it.
inline std::wstring SignedDecimal(std::int64_t value)
{
    const auto magnitude = static_cast<std::uint64_t>(value);
    return value < 0 ? L"-" + Decimal(0 - magnitude) : Decimal(magnitude);
}

// Device strings are ASCII once read; the texts are wide.
inline std::wstring Widened(std::string_view ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}
