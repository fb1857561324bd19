#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The console program's command line and its help. Free of <windows.h>, so it is tested
// natively and fuzzed.
namespace CommandLine {

struct Command {
    enum class Kind { List, Details, Scan, ReadTest, Files, Help };
    Kind kind = Kind::List;
    std::optional<std::int32_t> drive; // absent for every drive: the list, "details all"
    bool json = false;
    bool logged = false; // scan: only the blocks holding the LBAs the drive's logs name
    bool prom = false;   // list: the Prometheus text format
    bool files = false;  // scan: what lies on the unreadable sectors, after the result
    bool standard = false; // any command: no vendor request to any drive
    // files: the drive's LBAs to name the owners of, as given.
    struct Range {
        std::uint64_t firstLba = 0;
        std::uint64_t sectors = 1;
        friend bool operator==(const Range&, const Range&) = default;
    };
    std::vector<Range> ranges{};
};

// The command, or why the command line does not parse.
struct Parsed {
    std::optional<Command> command;
    std::wstring error;
};
// The arguments after the program's name.
Parsed Parse(std::span<const std::string_view> arguments);

std::wstring UsageLine();
std::wstring Help();

} // namespace CommandLine
