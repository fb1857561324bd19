#include "text/BoundedText.h"

#ifdef _WIN32
#include <cmath>
#include <cstdint>
#include <cwchar>

double BoundedText::RoundedToPlaces(double value, int places)
{
#ifdef __clang__
#pragma clang fp contract(off) // the exact product below needs each step rounded on its own
#endif
    double scale = 1;
    for (int i = 0; i < places; ++i) {
        scale *= 10;
    }
    const double magnitude = value < 0 ? -value : value;
    const double scaled = magnitude * scale;
    if (!(scaled < 4503599627370496.0)) {
        return value; // NaN, infinite, or whole at that many places (2^52 and past)
    }
    // The product's rounding error, exactly (Dekker): magnitude * scale == scaled + error.
    const auto split = [](double a, double& high, double& low) {
        const double c = 134217729.0 * a; // 2^27 + 1
        high = c - (c - a);
        low = a - high;
    };
    double mh = 0, ml = 0, sh = 0, sl = 0;
    split(magnitude, mh, ml);
    split(scale, sh, sl);
    const double error = ((mh * sh - scaled) + mh * sl + ml * sh) + ml * sl;
    // k + 0.5 is a double here, so the rounded product lies on the exact one's side of it, or on it.
    double whole = std::floor(scaled);
    const double fraction = scaled - whole;
    const bool odd = (static_cast<std::uint64_t>(whole) & 1) != 0;
    if (fraction > 0.5 || (fraction == 0.5 && (error > 0 || (error == 0 && odd)))) {
        whole += 1;
    }
    const double result = whole / scale;
    return value < 0 ? -result : result;
}

int BoundedText::NextFixedPlaces(const wchar_t*& next)
{
    while (*next != L'\0') {
        if (*next++ != L'%') {
            continue;
        }
        if (*next == L'%') {
            ++next;
            continue;
        }
        int places = -1;
        while (*next != L'\0' && std::wcschr(L"diouxXeEfgGaAcspn", *next) == nullptr) {
            if (*next == L'.') {
                places = 0;
            } else if (places >= 0 && *next >= L'0' && *next <= L'9') {
                places = places * 10 + (*next - L'0');
            }
            ++next;
        }
        const wchar_t conversion = *next;
        if (conversion != L'\0') {
            ++next;
        }
        return conversion == L'f' ? (places < 0 ? 6 : places) : -1;
    }
    return -1;
}

double BoundedText::ForSystemFormatter(double value, const wchar_t*& next)
{
    const int places = NextFixedPlaces(next);
    return places < 0 ? value : RoundedToPlaces(value, places);
}
#endif
