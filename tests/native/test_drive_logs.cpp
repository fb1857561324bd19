// Every log in the shared folder of drives' own logs (or LOG_PAGES_DIR) against every column of
// what it must decode to.
#include "DriveAnswers.h"
#include "diskinfo/DriveLogs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

using Row = std::map<std::string, std::string>;
using Bytes = DriveAnswers::Bytes;

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Hex(unsigned value, int digits = 2)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*x", digits, value);
    return text;
}

template <class T>
std::string OrDash(const std::optional<T>& value)
{
    return value ? std::to_string(*value) : "-";
}

// Each folder's rows grouped by file, in order, with the file's bytes; a problem with the
// folder fails the test.
struct Folder {
    std::map<std::string, std::vector<Row>> rows;
    std::map<std::string, Bytes> files;
};

Folder Load(const char* name)
{
    const auto dir = DriveAnswers::LogPagesDir(OSTREVANE_LOG_PAGES_DIR) / name;
    auto table = DriveAnswers::LoadLogTable(dir);
    for (const auto& problem : table.problems) {
        ADD_FAILURE() << name << ": " << problem;
    }
    Folder folder;
    for (auto& row : table.rows) {
        const std::string file = row.at("file");
        row.erase("file");
        folder.rows[file].push_back(std::move(row));
    }
    folder.files = std::move(table.files);
    EXPECT_FALSE(folder.files.empty()) << "no logs in " << dir;
    std::cout << name << ": " << folder.files.size() << " logs, " << table.rows.size() << " rows\n";
    return folder;
}

DriveLogs::Sector SectorOf(const Bytes& bytes)
{
    EXPECT_EQ(bytes.size(), DriveLogs::kSectorSize);
    static Bytes padded;
    padded = bytes;
    padded.resize(DriveLogs::kSectorSize);
    return DriveLogs::Sector(padded.data(), padded.size());
}

// The program's words for the ATA self-test status, bits 7:4 of the status byte, as its
// documentation publishes them (../shared/logs/README.md).
const std::map<unsigned, std::string> kAtaStatusWords{
    {0, "Completed without error"},       {1, "Aborted by host"},
    {2, "Interrupted (host reset)"},      {3, "Fatal or unknown error"},
    {4, "Completed: unknown failure"},    {5, "Completed: electrical failure"},
    {6, "Completed: servo/seek failure"}, {7, "Completed: read failure"},
    {8, "Completed: handling damage"},    {15, "In progress"}};

} // namespace

TEST(DriveLogs, AtaSelfTestLogs)
{
    const Folder folder = Load("ata-selftest");
    for (const auto& [file, bytes] : folder.files) {
        SCOPED_TRACE(file);
        const auto tests = DriveLogs::AtaSelfTests(SectorOf(bytes), 0);
        const auto& rows = folder.rows.at(file);
        ASSERT_EQ(tests.size(), rows.size());
        for (std::size_t i = 0; i < tests.size(); ++i) {
            const DriveLogs::SelfTest& t = tests[i];
            Row expected = rows[i];
            // The program's type words begin the tool's ("Short" of "Short offline"); the tool's
            // status words are its own, so the status byte's meaning is compared with the
            // program's published words instead.
            const std::string type = Narrow(DriveLogs::AtaTestType(t.type));
            if (Lower(expected.at("type")).rfind(Lower(type), 0) == 0) {
                expected["type"] = type;
            }
            const unsigned statusByte = static_cast<unsigned>(std::stoul(expected.at("status_byte"), nullptr, 16));
            expected["status"] = kAtaStatusWords.count(statusByte >> 4) != 0 ? kAtaStatusWords.at(statusByte >> 4)
                                                                             : "Reserved (" + std::to_string(statusByte >> 4) + ")";
            const Row actual{{"num", "#" + std::to_string(i + 1)},
                             {"type", type},
                             {"status", Narrow(DriveLogs::AtaTestStatus(t.status))},
                             {"remaining_pct", OrDash(t.remainingPercent)},
                             {"lifetime_hours", std::to_string(t.hours)},
                             {"lba_of_first_error", OrDash(t.failingLba)},
                             {"type_byte", Hex(t.type)},
                             {"status_byte", Hex(static_cast<unsigned>(t.status << 4 | *t.remainingPercent / 10))}};
            EXPECT_EQ(actual, expected) << "#" << i + 1;
        }
    }
}

TEST(DriveLogs, AtaErrorLogs)
{
    const Folder folder = Load("ata-error");
    const std::map<int, std::string> states{{0, "in an unknown state"}, {1, "sleeping"}, {2, "in standby mode"},
                                            {3, "active or idle"}, {4, "doing SMART Offline or Self-test"}};
    for (const auto& [file, bytes] : folder.files) {
        SCOPED_TRACE(file);
        const auto log = DriveLogs::AtaErrors(SectorOf(bytes), 0);
        const auto& rows = folder.rows.at(file);
        if (rows.size() == 1 && rows[0].at("error") == "-") {
            EXPECT_TRUE(log.entries.empty()) << "a log that says it has no entries";
            EXPECT_EQ(std::to_string(log.count), rows[0].at("ata_error_count") == "-" ? "0" : rows[0].at("ata_error_count"));
            continue;
        }
        ASSERT_EQ(log.entries.size(), rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const DriveLogs::AtaError& e = log.entries[i];
            const Row actual{{"ata_error_count", std::to_string(log.count)},
                             {"error", "Error " + std::to_string(e.number)},
                             {"lifetime_hours", std::to_string(e.hours)},
                             {"error_reg", Hex(e.error)},
                             {"status_reg", Hex(e.status)},
                             {"lba28", std::to_string(e.lba)},
                             {"failing_cmd", Hex(e.command)},
                             {"commands_logged", std::to_string(e.commandsLogged)},
                             {"device_state", states.count(e.state & 0x0F) != 0 ? states.at(e.state & 0x0F) : "?"},
                             {"failing_cmd_powerup_ms", std::to_string(e.commandMilliseconds)}};
            EXPECT_EQ(actual, rows[i]) << i;
        }
    }
}

TEST(DriveLogs, AtaDeviceStatistics)
{
    const Folder folder = Load("ata-devstat");
    for (const auto& [file, bytes] : folder.files) {
        SCOPED_TRACE(file);
        ASSERT_EQ(bytes.size() % DriveLogs::kSectorSize, 0u);
        const auto sectors = DriveLogs::StatisticsSectors(DriveLogs::Sector(bytes.data(), DriveLogs::kSectorSize));
        // Every listed page up to 7 lies in the one read.
        EXPECT_GE(bytes.size(), sectors * DriveLogs::kSectorSize);
        for (const Row& expected : folder.rows.at(file)) {
            const auto page = static_cast<std::uint8_t>(std::stoul(expected.at("page"), nullptr, 16));
            const auto offset = static_cast<std::size_t>(std::stoul(expected.at("offset"), nullptr, 16));
            const std::string& name = expected.at("statistic");
            SCOPED_TRACE(name);
            // The name is the row's label; the value and flags are the program's.
            Row actual{{"page", expected.at("page")}, {"offset", expected.at("offset")}, {"statistic", name},
                       {"flags", "-"}};
            if (offset == 0) {
                EXPECT_LE(page + 1u, sectors);
                actual["value"] = OrDash(DriveLogs::PageRevision(bytes, page));
            } else if (page == 0) {
                std::string list;
                for (const std::uint8_t listed : DriveLogs::ListedPages(bytes)) {
                    char cell[4];
                    std::snprintf(cell, sizeof(cell), "%02x", listed);
                    list += (list.empty() ? "" : " ") + std::string(cell);
                }
                actual["value"] = list;
            } else {
                const auto word = DriveLogs::StatisticWord(bytes, page, offset);
                ASSERT_TRUE(word.has_value());
                const unsigned flags = static_cast<unsigned>(*word >> 56);
                actual["flags"] = std::string((flags & 0x20) != 0 ? "N" : "-") + ((flags & 0x10) != 0 ? "D" : "-") +
                                  ((flags & 0x08) != 0 ? "C" : "-") + ((flags & 0x07) != 0 ? "+" : "");
                const auto value = DriveLogs::Statistic(bytes, page, offset);
                // Temperatures are signed bytes; the times spent over and under them are not.
                const bool signedByte = page == DriveLogs::kTemperaturePage && offset != 0x50 && offset != 0x60;
                actual["value"] = !value       ? "-"
                                  : signedByte ? std::to_string(static_cast<std::int8_t>(*value & 0xFF))
                                               : std::to_string(*value);
            }
            EXPECT_EQ(actual, expected);
        }
    }
}

TEST(DriveLogs, NvmeSelfTestLogs)
{
    const Folder folder = Load("nvme-selftest");
    for (const auto& [file, bytes] : folder.files) {
        SCOPED_TRACE(file);
        ASSERT_EQ(bytes.size(), DriveLogs::kNvmeSelfTestLogSize);
        const auto log = DriveLogs::NvmeSelfTests(std::span<const std::uint8_t, DriveLogs::kNvmeSelfTestLogSize>(
            bytes.data(), DriveLogs::kNvmeSelfTestLogSize));
        const auto& rows = folder.rows.at(file);
        ASSERT_EQ(log.results.size() + 1, rows.size());
        // The completion in whatever words the file gives it: its number, or "-" for none.
        Row expected = rows[0];
        const std::string& done = expected.at("status");
        const auto digit = done.find_first_of("0123456789");
        const std::string completion = digit == std::string::npos ? "-" : std::to_string(std::stoul(done.substr(digit)));
        expected["status"] = completion;
        const Row status{{"num", "status"}, {"test", Narrow(DriveLogs::NvmeOperation(log.operation))},
                         {"status", log.operation != 0 ? std::to_string(log.completion) : "-"},
                         {"power_on_hours", "-"}, {"failing_lba", "-"}, {"nsid", "-"},
                         {"seg", "-"}, {"sct", "-"}, {"code", "-"}, {"status_byte", Hex(bytes[0])}};
        EXPECT_EQ(status, expected);
        for (std::size_t i = 0; i < log.results.size(); ++i) {
            const DriveLogs::SelfTest& t = log.results[i];
            const Row actual{{"num", std::to_string(i)},
                             {"test", Narrow(DriveLogs::NvmeTestType(t.type))},
                             {"status", Narrow(DriveLogs::NvmeTestResult(t.status))},
                             {"power_on_hours", std::to_string(t.hours)},
                             {"failing_lba", OrDash(t.failingLba)},
                             {"nsid", OrDash(t.nsid)},
                             {"seg", OrDash(t.segment)},
                             {"sct", OrDash(t.sct)},
                             {"code", OrDash(t.sc)},
                             {"status_byte", Hex(static_cast<unsigned>(t.type << 4 | t.status))}};
            EXPECT_EQ(actual, rows[i + 1]) << i;
        }
    }
}

TEST(DriveLogs, NvmeErrorLogs)
{
    const Folder folder = Load("nvme-error");
    for (const auto& [file, bytes] : folder.files) {
        SCOPED_TRACE(file);
        const auto errors = DriveLogs::NvmeErrors(bytes);
        const auto& rows = folder.rows.at(file);
        ASSERT_EQ(errors.size(), rows.size());
        for (std::size_t i = 0; i < errors.size(); ++i) {
            const DriveLogs::NvmeError& e = errors[i];
            const Row actual{{"num", std::to_string(i)},
                             {"error_count", std::to_string(e.count)},
                             {"sqid", std::to_string(e.sqid)},
                             {"cmdid", Hex(e.cid, 4)},
                             {"status_raw", Hex(e.status, 4)},
                             {"sct", Hex(e.sct(), 1)},
                             {"sc", Hex(e.sc())},
                             {"dnr", std::to_string(e.status >> 15)},
                             {"phase", std::to_string(e.status & 1u)},
                             {"peloc", e.location == 0xFFFF ? "-" : Hex(e.location, 3)},
                             {"lba", e.lba == ~std::uint64_t{0} ? "-" : std::to_string(e.lba)},
                             {"nsid", e.nsid == 0xFFFFFFFF ? "-" : std::to_string(e.nsid)},
                             {"vs", e.vendor == 0 ? "-" : std::to_string(e.vendor)},
                             {"message", Narrow(DriveLogs::NvmeStatusWords(e.sct(), e.sc()))}};
            EXPECT_EQ(actual, rows[i]) << i;
        }
    }
}
