#pragma once

#include "FuzzCheck.h"

#include "diskinfo/DeviceAnswers.h"

#include <algorithm>
#include <functional>
#include <string_view>

// The blanks that trimming removes, and nothing else: other control characters stay.
inline bool IsTrimBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Trims `text` and checks the result: it lies inside `text`, neither end is a blank, and
// everything cut away on either side was blank.
inline void CheckTrimBlanks(std::string_view text)
{
    const std::string_view trimmed = DeviceAnswers::TrimBlanks(text);
    if (trimmed.empty()) {
        FUZZ_CHECK(std::all_of(text.begin(), text.end(), IsTrimBlank));
        return;
    }
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    FUZZ_CHECK(std::less_equal<const char*>()(begin, trimmed.data()));
    FUZZ_CHECK(std::less<const char*>()(trimmed.data(), end));
    FUZZ_CHECK(trimmed.size() <= static_cast<std::size_t>(end - trimmed.data()));
    FUZZ_CHECK(!IsTrimBlank(trimmed.front()) && !IsTrimBlank(trimmed.back()));

    const std::size_t cutFront = static_cast<std::size_t>(trimmed.data() - begin);
    const std::string_view front = text.substr(0, cutFront);
    const std::string_view back = text.substr(cutFront + trimmed.size());
    FUZZ_CHECK(std::all_of(front.begin(), front.end(), IsTrimBlank));
    FUZZ_CHECK(std::all_of(back.begin(), back.end(), IsTrimBlank));
}
