#include "main/CommandLine.h"
#include "report/DetailsText.h"
#include "report/PromText.h"
#include "report/ScriptText.h"
#include "text/Json.h"
#include "text/Utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using CommandLine::Command;
using Kind = CommandLine::Command::Kind;

TEST(JsonWriter, EscapesWhatRfc8259RequiresAndWritesNumbersOnlyByItsGrammar)
{
    const std::vector<std::pair<std::wstring, std::wstring>> strings{
        {L"plain", L"\"plain\""},
        {L"quote \" and \\ back", L"\"quote \\\" and \\\\ back\""},
        {L"\b\f\n\r\t", L"\"\\b\\f\\n\\r\\t\""},
        {std::wstring(1, L'\0') + L"\x1F\x7F", L"\"\\u0000\\u001f\x7F\""},
        {L"36 \u00B0C \u2028\u2029", L"\"36 \u00B0C \\u2028\\u2029\""},
        // A surrogate alone cannot travel as UTF-8: it is escaped; a pair goes as it is.
        {L"\xD83D\xDE00", L"\"\xD83D\xDE00\""},
        {L"a\xD83D", L"\"a\\ud83d\""},
        {L"\xDE00z", L"\"\\ude00z\""},
    };
    for (const auto& [text, quoted] : strings) {
        EXPECT_EQ(JsonWriter::Quoted(text), quoted);
    }
    for (const wchar_t* number : {L"0", L"-0", L"12", L"1863.0", L"-1.5e+10", L"2E3"}) {
        EXPECT_TRUE(JsonWriter::IsNumber(number)) << number;
    }
    for (const wchar_t* text : {L"", L"-", L"01", L"1.", L".5", L"+1", L"1e", L"0x1F", L"inf", L"nan", L"1 C", L"1,5"}) {
        EXPECT_FALSE(JsonWriter::IsNumber(text)) << text;
    }

    JsonWriter json;
    json.BeginArray();
    json.BeginObject();
    json.Key(L"Drive");
    json.Number(L"0");
    json.Key(L"Model");
    json.String(L"WDC \"Green\"");
    json.Key(L"Size (GB)");
    json.Number(L"01"); // no JSON number: kept as text
    json.Key(L"Reasons");
    json.BeginArray();
    json.EndArray();
    json.Key(L"Speed");
    json.Null();
    json.EndObject();
    json.BeginObject();
    json.EndObject();
    json.EndArray();
    EXPECT_EQ(json.Take(), L"[\r\n  {\r\n    \"Drive\": 0,\r\n    \"Model\": \"WDC \\\"Green\\\"\",\r\n"
                           L"    \"Size (GB)\": \"01\",\r\n    \"Reasons\": [],\r\n    \"Speed\": null\r\n  },\r\n"
                           L"  {}\r\n]\r\n");
}

TEST(Utf8, EncodesEveryPlaneAndReplacesWhatIsNoCharacter)
{
    EXPECT_EQ(Utf8(L"A\u00B0\u20AC"), "A\xC2\xB0\xE2\x82\xAC");
    EXPECT_EQ(Utf8(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf8(L"\xD83D!"), "\xEF\xBF\xBD!");
    EXPECT_EQ(Utf8(L"\xDE00"), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf8(std::wstring(1, L'\0')), std::string(1, '\0'));
}

CommandLine::Parsed ParseLine(std::vector<std::string_view> arguments)
{
    return CommandLine::Parse(arguments);
}

TEST(ScriptText, CommandLines)
{
    struct Good {
        std::vector<std::string_view> arguments;
        Kind kind;
        std::optional<std::int32_t> drive;
        bool json;
        bool logged = false;
        bool files = false;
        std::vector<CommandLine::Command::Range> ranges = {};
        bool standard = false;
    };
    const std::vector<Good> good{
        {{}, Kind::List, std::nullopt, false},
        {{"--json"}, Kind::List, std::nullopt, true},
        {{"list", "--json"}, Kind::List, std::nullopt, true},
        {{"details", "31"}, Kind::Details, 31, false},
        {{"--json", "details", "all"}, Kind::Details, std::nullopt, true},
        {{"scan", "0"}, Kind::Scan, 0, false},
        {{"scan", "--logged", "3"}, Kind::Scan, 3, false, true},
        {{"readtest", "7"}, Kind::ReadTest, 7, false},
        {{"scan", "99", "--help"}, Kind::Help, std::nullopt, false},
        {{"/?"}, Kind::Help, std::nullopt, false},
        {{"scan", "2", "--files", "--logged", "--json"}, Kind::Scan, 2, true, true, true},
        {{"files", "1", "61000013", "204799872+256", "18446744073709551614+1"}, Kind::Files, 1, false, false, false,
         {{61000013, 1}, {204799872, 256}, {18446744073709551614u, 1}}},
        {{"--standard", "details", "3", "--json"}, Kind::Details, 3, true, false, false, {}, true},
    };
    for (const Good& c : good) {
        const CommandLine::Parsed parsed = ParseLine(c.arguments);
        ASSERT_TRUE(parsed.command) << parsed.error.size();
        EXPECT_EQ(parsed.command->kind, c.kind);
        EXPECT_EQ(parsed.command->drive, c.drive);
        EXPECT_EQ(parsed.command->json, c.json);
        EXPECT_EQ(parsed.command->logged, c.logged);
        EXPECT_EQ(parsed.command->files, c.files);
        EXPECT_EQ(parsed.command->ranges, c.ranges);
        EXPECT_EQ(parsed.command->standard, c.standard);
    }
    const std::vector<std::pair<std::vector<std::string_view>, std::wstring>> bad{
        {{"lsit"}, L"unknown command \"lsit\""},
        {{"list", "-v"}, L"unknown option \"-v\""},
        {{"list", "2"}, L"unexpected \"2\""},
        {{"details"}, L"details needs a drive number"},
        {{"details", "0", "1"}, L"unexpected \"1\""},
        {{"scan", "all"}, L"\"all\" is no drive number (0 to 31)"},
        {{"scan", "32"}, L"\"32\" is no drive number (0 to 31)"},
        {{"readtest", "-1"}, L"unknown option \"-1\""},
        {{"readtest", "+1"}, L"\"+1\" is no drive number (0 to 31)"},
        {{"readtest", "1x"}, L"\"1x\" is no drive number (0 to 31)"},
        {{"readtest", "1", "--json"}, L"readtest takes no --json"},
        {{"list", "--files"}, L"list takes no --files"},
        {{"files"}, L"files needs a drive number"},
        {{"files", "1"}, L"files needs a drive number and at least one LBA"},
        {{"files", "1", "5+0"}, L"\"5+0\" is no LBA or LBA+COUNT"},
        {{"files", "1", "18446744073709551615+1"}, L"\"18446744073709551615+1\" is no LBA or LBA+COUNT"},
        {{"files", "1", "+5"}, L"\"+5\" is no LBA or LBA+COUNT"},
        {{"details", "1", "--logged"}, L"details takes no --logged"},
        {{"details", "1", "--prom"}, L"details takes no --prom"},
        {{"list", "--json", "--prom"}, L"--json and --prom do not go together"},
    };
    for (const auto& [arguments, error] : bad) {
        const CommandLine::Parsed parsed = ParseLine(arguments);
        EXPECT_FALSE(parsed.command);
        EXPECT_EQ(parsed.error, error);
    }
}

DriveDetails Drive(std::optional<std::uint32_t> bus, SmartSource source)
{
    DriveDetails details;
    details.busType = bus;
    details.source = source;
    return details;
}

TEST(ScriptText, ExitBitsOfHealthAndScans)
{
    constexpr std::uint32_t kAta = 0x03, kSata = 0x0B, kNvme = 0x11, kUsb = 0x07;
    // No SMART data: a request failed where an ATA, SATA or NVMe drive answers, never behind USB.
    EXPECT_EQ(ScriptText::HealthBits(Drive(kAta, SmartSource::None)), ScriptText::kRequestFailed | ScriptText::kUnknown);
    EXPECT_EQ(ScriptText::HealthBits(Drive(kSata, SmartSource::None)), ScriptText::kRequestFailed | ScriptText::kUnknown);
    EXPECT_EQ(ScriptText::HealthBits(Drive(kNvme, SmartSource::None)), ScriptText::kRequestFailed | ScriptText::kUnknown);
    EXPECT_EQ(ScriptText::HealthBits(Drive(kUsb, SmartSource::None)), ScriptText::kUnknown);
    EXPECT_EQ(ScriptText::HealthBits(Drive(std::nullopt, SmartSource::None)), ScriptText::kUnknown);
    DriveDetails predicted = Drive(kUsb, SmartSource::None);
    predicted.info.failurePredicted = true;
    EXPECT_EQ(ScriptText::HealthBits(predicted), ScriptText::kFailing);
    // An ATA drive whose data came without thresholds; all its attributes at 100.
    DriveDetails noThresholds = Drive(kSata, SmartSource::Ata);
    noThresholds.smartData.emplace();
    EXPECT_EQ(ScriptText::HealthBits(noThresholds), ScriptText::kRequestFailed);
    const std::wstring note = JsonWriter::Quoted(DetailsText::BuildTable(noThresholds).note); // null when none
    EXPECT_NE(ScriptText::DetailsJson(noThresholds).find(L"\"Note\": " + note + L",\r\n"), std::wstring::npos);
    DriveDetails worn = Drive(kNvme, SmartSource::Nvme);
    worn.nvmeLog.emplace();
    EXPECT_EQ(ScriptText::HealthBits(worn), 0);
    EXPECT_NE(ScriptText::DetailsJson(worn).find(L"\"Note\": null,\r\n"), std::wstring::npos);
    (*worn.nvmeLog)[5] = 100; // percentage used
    EXPECT_EQ(ScriptText::HealthBits(worn), ScriptText::kCaution);
    (*worn.nvmeLog)[0] = 0x04; // reliability degraded
    EXPECT_EQ(ScriptText::HealthBits(worn), ScriptText::kFailing);

    constexpr std::uint32_t kMiB = 1024 * 1024;
    ScanRecord clean(4 * kMiB, 512);
    clean.AddBlock({0, kMiB, 5, true}, {});
    ScanRecord stopped = clean;
    stopped.Stop();
    EXPECT_EQ(ScriptText::ScanBits(stopped), 0);
    ScanRecord gone = clean;
    gone.DriveGone(kMiB, 1167);
    EXPECT_EQ(ScriptText::ScanBits(gone), ScriptText::kReadFailed);
    const std::vector<ScanRecord::Read> pieces{{kMiB, kMiB, 5, false}};
    clean.AddBlock({kMiB, kMiB, 5, false}, pieces);
    clean.Stop();
    EXPECT_EQ(ScriptText::ScanBits(clean), ScriptText::kReadFailed);
}

TEST(ScriptText, ListAndReadTestLines)
{
    DriveInfo row;
    row.index = 4;
    row.model = L"Model\twith \"tab\"";
    row.serialNumber = L"007";
    row.firmware = L"-";
    row.sizeBytes = 1610612736;
    row.health = L"Good";
    row.temperature = 41;
    row.powerOnHours = -1;
    row.powerCycles = 12;
    DriveDetails details = Drive(0x07, SmartSource::None);
    const std::vector<ScriptText::ListedDrive> drives{{row, details}, {row, std::nullopt}};
    EXPECT_EQ(ScriptText::ListText(drives),
              L"Drive\tModel\tSerial Number\tFirmware\tSize (GB)\tHealth\tTemp\tPower(h)\tCycles\tSpeed\tVolumes\t"
              L"Assessment\tBus\tSource\r\n"
              L"4\tModel with \"tab\"\t007\t-\t1.5\tGood\t41 C\t-\t12\t-\t-\tUnknown\tUSB\tNone\r\n"
              L"4\tModel with \"tab\"\t007\t-\t1.5\tGood\t41 C\t-\t12\t-\t-\t-\t-\t-\r\n");
    const std::wstring json = ScriptText::ListJson(drives);
    // The serial number stays text however it looks; the temperature loses its unit.
    for (const wchar_t* member : {L"\"Drive\": 4,", L"\"Model\": \"Model\\twith \\\"tab\\\"\",",
                                  L"\"Serial Number\": \"007\",", L"\"Firmware\": null,", L"\"Size (GB)\": 1.5,",
                                  L"\"Temp\": 41,", L"\"Power(h)\": null,", L"\"Cycles\": 12,",
                                  L"\"Assessment\": \"Unknown\",", L"\"Source\": \"None\"\r\n", L"\"Source\": null\r\n"}) {
        EXPECT_NE(json.find(member), std::wstring::npos) << member;
    }

    // A label value escapes a backslash, a double quote and a line feed, and keeps a tab.
    row.model = L"Model\twith \"tab\" \\ and\nline";
    const std::vector<ScriptText::ListedDrive> odd{{row, details}};
    EXPECT_NE(PromText::List(odd, 0).find(L"ostrevane_drive_info{drive=\"4\",serial=\"007\",model=\"Model\twith "
                                          L"\\\"tab\\\" \\\\ and\\nline\",firmware=\"-\",bus=\"USB\",source=\"None\"} 1\n"),
              std::wstring::npos);

    EXPECT_EQ(ScriptText::ReadTestLine(519.96), L"Speed\t520.0\r\n");
}

} // namespace
