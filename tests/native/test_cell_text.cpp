#include "report/CellText.h"
#include "report/ResultText.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

DriveInfo Real()
{
    return {7, L"WDC WD20EARS-00MVWB0", L"WD-WMAZA0075739", L"50.0AB50", 3 * (std::int64_t{1} << 29), false,
            L"Good", 0, 235'939'733'439'020, 22, L"C: D:\\Mount\\Data"};
}

DriveInfo Sentinels()
{
    return {31, L"Unknown", L"Unknown", L"Unknown", 0, false, L"Good", -1, -1, -1, L""};
}

DriveInfo Extremes()
{
    return {std::numeric_limits<std::int32_t>::min(), L"", L"", L"", kInt64Max, true, L"Caution / Bad", 255,
            kInt64Max, 0, std::wstring(300, L'V')};
}

struct Cell {
    const char* name;
    DriveInfo drive;
    int column;
    int capacity;
    bool written;
    std::wstring text;
};

TEST(CellText, WritesEachColumnCutsCopiesAndEmptiesNumbersThatDoNotFit)
{
    DriveInfo negativeSize = Sentinels();
    negativeSize.sizeBytes = kInt64Min;
    DriveInfo longModel = Real();
    longModel.model = std::wstring(300, L'M') + L"END";

    const std::vector<Cell> cells{
        {"drive", Real(), 0, 260, true, L"7"},
        {"model", Real(), 1, 260, true, L"WDC WD20EARS-00MVWB0"},
        {"serial", Real(), 2, 260, true, L"WD-WMAZA0075739"},
        {"firmware", Real(), 3, 260, true, L"50.0AB50"},
        {"size 3 x 2^29", Real(), 4, 260, true, L"1.5"},
        {"health", Real(), 5, 260, true, L"Good"},
        {"temperature 0 is real", Real(), 6, 260, true, L"0 C"},
        {"hours, all 48 bits", Real(), 7, 260, true, L"235939733439020"},
        {"cycles", Real(), 8, 260, true, L"22"},
        {"speed", Real(), 9, 260, true, L"-"},
        {"volumes", Real(), 10, 260, true, L"C: D:\\Mount\\Data"},
        {"no volume", Sentinels(), 10, 260, true, L"-"},
        {"volumes cut", Extremes(), 10, 8, true, L"VVVVVVV"},
        {"sentinel drive", Sentinels(), 0, 260, true, L"31"},
        {"sentinel model", Sentinels(), 1, 260, true, L"Unknown"},
        {"sentinel serial", Sentinels(), 2, 260, true, L"Unknown"},
        {"sentinel firmware", Sentinels(), 3, 260, true, L"Unknown"},
        {"sentinel size", Sentinels(), 4, 260, true, L"0.0"},
        {"sentinel health", Sentinels(), 5, 260, true, L"Good"},
        {"sentinel temperature", Sentinels(), 6, 260, true, L"-"},
        {"sentinel hours", Sentinels(), 7, 260, true, L"-"},
        {"sentinel cycles", Sentinels(), 8, 260, true, L"-"},
        {"sentinel speed", Sentinels(), 9, 260, true, L"-"},
        {"lowest drive number", Extremes(), 0, 260, true, L"-2147483648"},
        {"empty model", Extremes(), 1, 260, true, L""},
        {"largest size", Extremes(), 4, 260, true, L"8589934592.0"},
        {"negative size", negativeSize, 4, 260, true, L"-8589934592.0"},
        {"failure predicted", Extremes(), 5, 260, true, L"Caution / Bad"},
        {"temperature 255", Extremes(), 6, 260, true, L"255 C"},
        {"largest hours", Extremes(), 7, 260, true, L"9223372036854775807"},
        {"cycles 0 is real", Extremes(), 8, 260, true, L"0"},
        // A copied text longer than the buffer is cut, never blanked.
        {"long model, cell buffer", longModel, 1, 260, true, std::wstring(259, L'M')},
        {"model cut to 7", Real(), 1, 8, true, L"WDC WD2"},
        {"health cut", Extremes(), 5, 8, true, L"Caution"},
        {"dash into one character", Sentinels(), 9, 1, true, L""},
        {"dash just fits", Sentinels(), 7, 2, true, L"-"},
        // A number that does not fit, with its terminator, leaves the cell empty.
        {"cycles just fit", Real(), 8, 3, true, L"22"},
        {"cycles one short", Real(), 8, 2, false, L""},
        {"hours one short", Real(), 7, 15, false, L""},
        {"size one short", Real(), 4, 3, false, L""},
        {"temperature one short", Extremes(), 6, 5, false, L""},
        {"drive number into one character", Real(), 0, 1, false, L""},
    };
    for (const Cell& cell : cells) {
        SCOPED_TRACE(cell.name);
        // One guard character past the capacity shows that nothing is written beyond it.
        std::vector<wchar_t> buffer(static_cast<std::size_t>(cell.capacity) + 1, L'#');
        EXPECT_EQ(CellText::Write(cell.drive, cell.column, buffer.data(), cell.capacity), cell.written);
        EXPECT_EQ(std::wstring(buffer.data()), cell.text);
        EXPECT_EQ(buffer.back(), L'#');
    }
}

TEST(CellText, WritesNothingWithoutABufferOrForAColumnOutsideTheList)
{
    struct Case {
        const char* name;
        int column;
        int capacity;
        bool nullBuffer;
    };
    const std::array<Case, 7> cases{{
        {"capacity 0", 1, 0, false},
        {"negative capacity", 0, -1, false},
        {"most negative capacity", 7, std::numeric_limits<int>::min(), false},
        {"null buffer", 1, 16, true},
        {"column -1", -1, 16, false},
        {"column 11", 11, 16, false},
        {"far column", std::numeric_limits<int>::max(), 16, false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<wchar_t, 16> buffer{};
        buffer.fill(L'#');
        EXPECT_FALSE(CellText::Write(Real(), c.column, c.nullBuffer ? nullptr : buffer.data(), c.capacity));
        EXPECT_EQ(std::wstring(buffer.begin(), buffer.end()), std::wstring(buffer.size(), L'#'));
    }
}

TEST(ResultText, ShowsTheSpeedWithOneDecimalOrError)
{
    struct Case {
        double speed;
        std::wstring result;
    };
    const std::array<Case, 12> cases{{
        {250.04, L"250.0 MB/s"},
        {250.05001, L"250.1 MB/s"},
        // A tie in the exact binary value goes to the even digit, on every C library.
        {0.25, L"0.2 MB/s"},
        {2.25, L"2.2 MB/s"},
        {0.75, L"0.8 MB/s"},
        {0.0, L"0.0 MB/s"},
        {1e9, L"1000000000.0 MB/s"},
        {-1.0, L"Error"},
        {-0.001, L"Error"},
        {-std::numeric_limits<double>::infinity(), L"Error"},
        // The result holds 63 characters and its terminator; a longer one leaves it empty.
        {1e55, L"10000000000000000102350670204085511496304388135324745728.0 MB/s"},
        {1e56, L""},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.speed);
        const ResultText::Result result = ResultText::ForSpeed(c.speed);
        EXPECT_EQ(std::wstring(result.data()), c.result);
        EXPECT_EQ(std::wstring(ResultText::ForResult(result).data()), L"Sequential Read Speed: " + c.result);
    }
    EXPECT_EQ(ResultText::ForFailure(1167, true), L"The drive stopped answering (error 1167)");
    EXPECT_EQ(ResultText::ForFailure(5, false), ResultText::kTestFailed);
    EXPECT_EQ(ResultText::NoCapacity(3, 21), L"Drive 3 did not report its capacity (error 21)");
}

} // namespace
