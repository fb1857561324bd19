#pragma once

#include "report/ScriptText.h"

#include <span>
#include <string>
#include <string_view>

// The drive list in the Prometheus text exposition format (0.0.4), the format that monitoring
// engines scrape and that exporters' textfile collectors publish from a file: every metric under
// its HELP and TYPE lines, LF line ends, no timestamps, each series once. Free of <windows.h>,
// so it is tested natively and fuzzed.
namespace PromText {

// Every drive's series, labelled with its drive number and serial number, and how long reading
// the drives took, `seconds`, as ostrevane_scrape_duration_seconds.
std::wstring List(std::span<const ScriptText::ListedDrive> drives, double seconds);

// A label value as the format quotes it: backslash, double quote and line feed escaped.
std::wstring LabelValue(std::wstring_view text);

} // namespace PromText
