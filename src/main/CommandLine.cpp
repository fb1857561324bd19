#include "main/CommandLine.h"

#include "diskinfo/DiskInfo.h"
#include "text/Decimal.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace {

constexpr std::wstring_view kNewLine = L"\r\n";

std::optional<std::int32_t> DriveNumber(std::string_view text)
{
    std::int32_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || number < 0 ||
        number >= DiskManager::kMaxDrives || text[0] == '+') {
        return std::nullopt;
    }
    return number;
}

std::optional<std::uint64_t> Number(std::string_view text)
{
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return number;
}

// "LBA" or "LBA+COUNT", a count of at least one sector that stays below 2^64.
std::optional<CommandLine::Command::Range> LbaRange(std::string_view text)
{
    const std::size_t plus = text.find('+');
    const std::optional<std::uint64_t> first = Number(text.substr(0, plus));
    const std::optional<std::uint64_t> count =
        plus == std::string_view::npos ? std::optional<std::uint64_t>(1) : Number(text.substr(plus + 1));
    if (!first || !count || *count == 0 || *count > ~*first) {
        return std::nullopt;
    }
    return CommandLine::Command::Range{*first, *count};
}

std::wstring Quoted(std::string_view argument)
{
    return L"\"" + Widened(argument) + L"\"";
}

struct Verb {
    std::string_view name;
    CommandLine::Command::Kind kind;
    bool takesDrive;
    bool takesAll;
    bool takesJson;
};
constexpr std::array<Verb, 5> kVerbs{{
    {"list", CommandLine::Command::Kind::List, false, false, true},
    {"details", CommandLine::Command::Kind::Details, true, true, true},
    {"scan", CommandLine::Command::Kind::Scan, true, false, true},
    {"readtest", CommandLine::Command::Kind::ReadTest, true, false, false},
    {"files", CommandLine::Command::Kind::Files, true, false, true},
}};

} // namespace

namespace CommandLine {

Parsed Parse(std::span<const std::string_view> arguments)
{
    const auto help = std::find_if(arguments.begin(), arguments.end(), [](std::string_view argument) {
        return argument == "--help" || argument == "-h" || argument == "/?";
    });
    if (help != arguments.end()) {
        return {Command{Command::Kind::Help, std::nullopt, false}, {}};
    }
    bool json = false;
    bool logged = false;
    bool prom = false;
    bool files = false;
    bool standard = false;
    std::vector<std::string_view> words;
    for (const std::string_view argument : arguments) {
        if (argument == "--json") {
            json = true;
        } else if (argument == "--logged") {
            logged = true;
        } else if (argument == "--prom") {
            prom = true;
        } else if (argument == "--files") {
            files = true;
        } else if (argument == "--standard") {
            standard = true;
        } else if (argument.starts_with("-") && argument.size() > 1) {
            return {std::nullopt, L"unknown option " + Quoted(argument)};
        } else {
            words.push_back(argument);
        }
    }
    const Verb* verb = &kVerbs[0];
    if (!words.empty()) {
        const auto it = std::find_if(kVerbs.begin(), kVerbs.end(), [&](const Verb& v) { return v.name == words[0]; });
        if (it == kVerbs.end()) {
            return {std::nullopt, L"unknown command " + Quoted(words[0])};
        }
        verb = &*it;
    }
    const std::wstring name = Widened(verb->name);
    Command command{verb->kind, std::nullopt, json, logged, prom, files, standard};
    if (json && !verb->takesJson) {
        return {std::nullopt, name + L" takes no --json"};
    }
    if (logged && verb->kind != Command::Kind::Scan) {
        return {std::nullopt, name + L" takes no --logged"};
    }
    if (prom && verb->kind != Command::Kind::List) {
        return {std::nullopt, name + L" takes no --prom"};
    }
    if (prom && json) {
        return {std::nullopt, L"--json and --prom do not go together"};
    }
    if (files && verb->kind != Command::Kind::Scan) {
        return {std::nullopt, name + L" takes no --files"};
    }
    const std::size_t wanted = verb->takesDrive ? 2 : 1;
    if (verb->kind == Command::Kind::Files) {
        for (std::size_t index = wanted; index < words.size(); ++index) {
            const std::optional<Command::Range> range = LbaRange(words[index]);
            if (!range) {
                return {std::nullopt, Quoted(words[index]) + L" is no LBA or LBA+COUNT"};
            }
            command.ranges.push_back(*range);
        }
        if (words.size() == wanted) {
            return {std::nullopt, L"files needs a drive number and at least one LBA"};
        }
    } else if (words.size() > wanted) {
        return {std::nullopt, L"unexpected " + Quoted(words[wanted])};
    }
    if (verb->takesDrive) {
        if (words.size() < 2) {
            return {std::nullopt, name + L" needs a drive number"};
        }
        if (!(verb->takesAll && words[1] == "all")) {
            command.drive = DriveNumber(words[1]);
            if (!command.drive) {
                return {std::nullopt, Quoted(words[1]) + L" is no drive number (0 to " +
                                          Decimal(DiskManager::kMaxDrives - 1) + L")"};
            }
        }
    }
    return {command, {}};
}

std::wstring UsageLine()
{
    return L"Usage: ostrevane-cli [--standard] [list [--json|--prom] | details N|all [--json] | scan N [--logged] [--files] [--json] | "
           L"files N LBA[+COUNT]... [--json] | readtest N | --help]";
}

std::wstring Help()
{
    constexpr std::array<std::wstring_view, 29> kLines{
        L"Ostrevane for scripts: every physical drive's identity and health, and its read tests.",
        L"It only reads from drives, and writes nothing anywhere but its own output.",
        L"",
        L"ostrevane-cli [list] [--json]         one line per drive, tab-separated, with a header line",
        L"ostrevane-cli list --prom             every drive's health in the Prometheus text format",
        L"ostrevane-cli details N|all [--json]  the details of drive N, or of every drive",
        L"ostrevane-cli scan N                  read every sector of drive N once: progress on standard",
        L"                                      error, the result at the end; Ctrl+C stops the scan",
        L"ostrevane-cli scan N --logged         read again only the LBAs that the drive's logs name",
        L"ostrevane-cli scan N --files          after the result, the files on the unreadable sectors",
        L"ostrevane-cli files N LBA[+COUNT]...  the files, free space or file system areas on those",
        L"                                      LBAs of drive N (COUNT sectors, 1 unless given),",
        L"                                      read from the file tables raw: nothing is mounted",
        L"ostrevane-cli readtest N              the sequential read speed of drive N in MB/s",
        L"ostrevane-cli --help                  this text",
        L"ostrevane-cli --standard ...          any command with standard requests only (no vendor request)",
        L"",
        L"--json gives the same as JSON: numbers as numbers, \"-\" as null.",
        L"Output is UTF-8 with CR LF line ends; --prom's has LF ones, as that format wants.",
        L"",
        L"Exit status, the sum of:",
        L"   1  the command line did not parse",
        L"   2  a drive that was named could not be opened",
        L"   4  a health request failed where the drive should answer",
        L"   8  a drive is Failing (its failure prediction or the assessment)",
        L"  16  a drive is Caution",
        L"  32  a scan found unreadable blocks or stopped by itself, or the read test failed",
        L"  64  a drive could not be assessed (Unknown)",
        L"   0  every drive looked at is Good",
    };
    std::wstring text;
    for (const std::wstring_view line : kLines) {
        text.append(line).append(kNewLine);
    }
    return text;
}

} // namespace CommandLine
