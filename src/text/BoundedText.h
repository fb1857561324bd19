#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

// Wide text into fixed buffers that other code owns (a list view's cell buffer, a message
// buffer). A formatted text that does not fit leaves the buffer empty, a copied one is cut to
// fit; nothing here ever reaches the runtime's invalid-parameter handler, whose default ends
// the process, so one odd value cannot take the whole window down.
class BoundedText {
public:
    BoundedText() = delete;

    // Formats into `out` when the whole text and its terminator fit; otherwise leaves `out`
    // holding the empty text. False when the text was not written.
    template <class... Args>
    static bool Format(std::span<wchar_t> out, const wchar_t* format, Args... args)
    {
        if (out.empty()) {
            return false;
        }
        // The standard swprintf reports a text that did not fit with a negative result and
        // some runtimes with the full length, and may leave a cut text behind: blank it.
#ifdef _WIN32
        // In C++ mingw-w64 sends swprintf to a C99 formatter of its own, a quarter of the program's
        // runtime; the system's C library, in every Windows and WinPE, writes these texts alike
        // but for "%.Nf", which it rounds from 17 digits, a half away from zero, where the
        // standard rounds the exact value, a half to even (0.25 GiB is "0.2", not "0.3"). It is
        // handed the decimal that the standard would write, which it writes unchanged.
        if constexpr ((std::is_same_v<Args, double> || ...)) {
            const wchar_t* next = format;
            ((args = ForSystemFormatter(args, next)), ...); // in order, as the conversions come
        }
        const int length = _snwprintf(out.data(), out.size(), format, args...);
#else
        const int length = std::swprintf(out.data(), out.size(), format, args...);
#endif
        if (length < 0 || static_cast<std::size_t>(length) >= out.size()) {
            out[0] = L'\0';
            return false;
        }
        return true;
    }

#ifdef _WIN32
    // `value` correctly rounded to `places` decimals (half to even on its exact binary value), as
    // the nearest double: its 17 digits then round to those decimals whichever way a formatter
    // rounds. Values past 2^53 are whole numbers already.
    static double RoundedToPlaces(double value, int places);

    // The precision of the next conversion at `next`, if it is "f" (6 when not given); -1 for any
    // other. Moves `next` past it.
    static int NextFixedPlaces(const wchar_t*& next);

    static double ForSystemFormatter(double value, const wchar_t*& next);
    template <class T>
    static T ForSystemFormatter(T value, const wchar_t*& next)
    {
        NextFixedPlaces(next);
        return value;
    }
#endif

    // The formatted text when it fits in `Capacity` characters with its terminator, else empty.
    template <std::size_t Capacity = 160, class... Args>
    static std::wstring Formatted(const wchar_t* format, Args... args)
    {
        std::array<wchar_t, Capacity> text{};
        Format(text, format, args...);
        return text.data();
    }

    // Copies as much of `text` as fits before the terminator. False only for an empty `out`.
    static bool Copy(std::span<wchar_t> out, std::wstring_view text)
    {
        if (out.empty()) {
            return false;
        }
        const std::size_t length = text.copy(out.data(), out.size() - 1);
        out[length] = L'\0';
        return true;
    }
};
