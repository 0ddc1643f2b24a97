#include "agent/windows/wmiinterface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

#include "common/tavostatus.h"
#include "tests/support/testutils.h"
#include "tests/support/wmifixture.h"

using tavo::test::LogTail;
using tavo::test::WmiFixture;

namespace {

using Rows = std::list<std::list<WMIValue>>;

std::vector<WMIValue> rowAt(const Rows& rows, size_t index) {
    auto row = rows.begin();
    std::advance(row, index);
    return std::vector<WMIValue>(row->begin(), row->end());
}

std::vector<std::wstring> names(const std::list<std::wstring>& columns) {
    return std::vector<std::wstring>(columns.begin(), columns.end());
}

// ---- Against Wine's own WMI ----------------------------------------------------------------

TEST(WineWmi, SerialNumberAndOperatingSystemRows) {
    WMIInterface wmi;
    std::list<std::wstring> columns;
    Rows rows;
    ASSERT_EQ(wmi.RunWMIQuery(L"SELECT SerialNumber FROM Win32_BIOS", columns, rows), TAVO_OK);
    EXPECT_EQ(names(columns), std::vector<std::wstring>{L"SerialNumber"});
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows.front().size(), 1u);
    EXPECT_EQ(rows.front().front().m_iKind, 1);

    // Several columns: each row holds one value per delivered name, in the names' order.
    columns.clear();
    rows.clear();
    ASSERT_EQ(wmi.RunWMIQuery(L"SELECT Version, OSArchitecture, BuildNumber FROM Win32_OperatingSystem", columns,
                              rows),
              TAVO_OK);
    std::vector<std::wstring> delivered = names(columns);
    std::vector<std::wstring> sorted = delivered;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::wstring>{L"BuildNumber", L"OSArchitecture", L"Version"}));
    ASSERT_EQ(rows.size(), 1u);
    std::vector<WMIValue> row = rowAt(rows, 0);
    ASSERT_EQ(row.size(), 3u);
    size_t version = std::find(delivered.begin(), delivered.end(), L"Version") - delivered.begin();
    size_t build = std::find(delivered.begin(), delivered.end(), L"BuildNumber") - delivered.begin();
    EXPECT_NE(row[version].m_strText.find(L'.'), std::wstring::npos);
    EXPECT_NE(row[version].m_strText.find(row[build].m_strText), std::wstring::npos);

    // Names given by the caller are used as they are, and nothing is added to them.
    columns = {L"BuildNumber", L"Version"};
    rows.clear();
    ASSERT_EQ(wmi.RunWMIQuery(L"SELECT Version, OSArchitecture, BuildNumber FROM Win32_OperatingSystem", columns,
                              rows),
              TAVO_OK);
    EXPECT_EQ(columns.size(), 2u);
    row = rowAt(rows, 0);
    ASSERT_EQ(row.size(), 2u);
    EXPECT_NE(row[1].m_strText.find(row[0].m_strText), std::wstring::npos);
}

// The agent connects on its main thread and queries on another one that does not initialise COM.
TEST(WineWmi, QueriesFromAnotherThread) {
    WMIInterface wmi;
    int result = TAVO_FAIL;
    Rows rows;
    std::thread([&] {
        std::list<std::wstring> columns;
        result = wmi.RunWMIQuery(L"SELECT UUID FROM Win32_ComputerSystemProduct", columns, rows);
    }).join();
    EXPECT_EQ(result, TAVO_OK);
    EXPECT_EQ(rows.size(), 1u);
}

TEST(WineWmi, NoMatchAndBadStatement) {
    WMIInterface wmi;
    std::list<std::wstring> columns;
    Rows rows;
    EXPECT_EQ(wmi.RunWMIQuery(L"SELECT DeviceID FROM Win32_Volume WHERE DriveLetter='Q:'", columns, rows), TAVO_OK);
    EXPECT_TRUE(columns.empty());
    EXPECT_TRUE(rows.empty());

    LogTail log;
    EXPECT_EQ(wmi.RunWMIQuery(L"SELEKT nothing FROM", columns, rows), TAVO_WMI_UNAVAILABLE);
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(tavo::test::FindLogLine(log.lines(),
                                      "WMIInterface::RunWMIQuery S: error :: Query failed to retrieve objects. "
                                      "Error code = 0x8004"),
              0)
        << log.text();
}

// ---- Through the test provider ----------------------------------------------------------------

TEST(WmiValues, EveryVariantTypeConverts) {
    WmiFixture fixture(
        "query SELECT * FROM Values\n"
        "object\n"
        "Null = null\n"
        "Text = bstr:  caf\xc3\xa9 \\t\n"
        "True = bool:1\n"
        "False = bool:0\n"
        "I2 = i2:-32768\n"
        "I4 = i4:-5\n"
        "Int = int:0\n"
        "UI2 = ui2:65535\n"
        "UI4 = ui4:4294967295\n"
        "UInt = uint:7\n"
        "I8 = i8:-9223372036854775807\n"
        "UI8 = ui8:18446744073709551615\n"
        "R4 = r4:1.5\n"
        "R8 = r8:-0.25\n"
        "Strings = bstrarray:a|b c|\n"
        "NoStrings = bstrarray:\n"
        "Byte = ui1:200\n"
        "Date = date:1.0\n"
        "Empty = empty\n"
        "Broken = getfail\n"
        "Gaps = bstrarray:\\0|x|\\0\n"
        "Unreadable = lockedbstrarray:x|y\n"
        "object\n"
        "Byte = ui1:1\n");
    WMIInterface wmi;
    std::list<std::wstring> columns;
    Rows rows;
    LogTail log;
    ASSERT_EQ(wmi.RunWMIQuery(L"SELECT * FROM Values", columns, rows), TAVO_OK);
    ASSERT_EQ(rows.size(), 2u);

    const struct {
        const wchar_t* column;
        const wchar_t* text;
        int kind;
    } expected[] = {
        {L"Null", L"", 1},
        {L"Text", L"  caf\u00e9 \t", 1},
        {L"True", L"1", 2},
        {L"False", L"0", 2},
        {L"I2", L"-32768", 3},
        {L"I4", L"-5", 3},
        {L"Int", L"0", 3},
        {L"UI2", L"65535", 3},
        {L"UI4", L"4294967295", 3},
        {L"UInt", L"7", 3},
        {L"I8", L"-9223372036854775807", 3},
        {L"UI8", L"18446744073709551615", 3},
        {L"R4", L"1.500000", 4},
        {L"R8", L"-0.250000", 4},
        {L"Strings", L"", 5},
        {L"NoStrings", L"", 5},
        {L"Byte", L"", 0},
        {L"Date", L"", 0},
        {L"Empty", L"", 0},
        {L"Broken", L"", 0},
        {L"Gaps", L"", 5},
        {L"Unreadable", L"", 5},
    };
    std::vector<std::wstring> delivered = names(columns);
    std::vector<WMIValue> row = rowAt(rows, 0);
    ASSERT_EQ(delivered.size(), std::size(expected));
    ASSERT_EQ(row.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(delivered[i], expected[i].column);
        EXPECT_EQ(row[i].m_strText, expected[i].text) << i;
        EXPECT_EQ(row[i].m_iKind, expected[i].kind) << i;
        if (expected[i].kind != 5) {
            EXPECT_TRUE(row[i].m_lstItems.empty()) << i;
        }
    }
    EXPECT_EQ(row[14].m_lstItems, (std::list<std::wstring>{L"a", L"b c", L""}));
    EXPECT_TRUE(row[15].m_lstItems.empty());
    // Every element keeps its place: a null element and one that cannot be read are empty texts.
    EXPECT_EQ(row[20].m_lstItems, (std::list<std::wstring>{L"", L"x", L""}));
    EXPECT_EQ(row[21].m_lstItems, (std::list<std::wstring>{L"", L""}));

    // One line per unhandled value, per row; a failed Get reads as the empty type 0.
    EXPECT_EQ(log.count("WMIInterface::RunWMIQuery S: error :: Unhandled variant type 17 for Byte"), 2u) << log.text();
    EXPECT_EQ(log.count("WMIInterface::RunWMIQuery S: error :: Unhandled variant type 7 for Date"), 1u);
    EXPECT_EQ(log.count("WMIInterface::RunWMIQuery S: error :: Unhandled variant type 0 for Broken"), 2u);
    EXPECT_EQ(log.count("WMIInterface::RunWMIQuery S: error :: Unhandled variant type 0 for Null"), 1u)
        << "a property missing from the second object is an empty value";
}

TEST(WmiQueries, ColumnsComeFromTheFirstObjectOnly) {
    WmiFixture fixture(
        "query SELECT A, B FROM Pairs\n"
        "object\n"
        "B = bstr:b1\n"
        "A = bstr:a1\n"
        "object\n"
        "C = bstr:c2\n"
        "B = bstr:b2\n"
        "query SELECT A FROM Nothing\n");
    WMIInterface wmi;
    std::list<std::wstring> columns;
    Rows rows;
    ASSERT_EQ(wmi.RunWMIQuery(L"SELECT A, B FROM Pairs", columns, rows), TAVO_OK);
    EXPECT_EQ(names(columns), (std::vector<std::wstring>{L"B", L"A"}));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rowAt(rows, 0)[0].m_strText, L"b1");
    EXPECT_EQ(rowAt(rows, 0)[1].m_strText, L"a1");
    EXPECT_EQ(rowAt(rows, 1)[0].m_strText, L"b2");
    EXPECT_EQ(rowAt(rows, 1)[1].m_iKind, 0);

    // Rows already in the list stay; a query without objects leaves both lists as they were.
    ASSERT_EQ(wmi.RunWMIQuery(L"SELECT A FROM Nothing", columns, rows), TAVO_OK);
    EXPECT_EQ(columns.size(), 2u);
    EXPECT_EQ(rows.size(), 2u);
}

TEST(WmiQueries, EveryFailureIsWmiUnavailable) {
    WmiFixture fixture(
        "query SELECT A FROM Refused\n"
        "fail 0x80041017\n"
        "query SELECT A FROM Nameless\n"
        "namesfail 0x80041001\n"
        "object\n"
        "A = bstr:a\n"
        "query SELECT A FROM Stuck\n"
        "object\n"
        "A = bstr:first\n"
        "hang\n");
    WMIInterface wmi(200);
    const struct {
        const wchar_t* wql;
        const char* line;
        size_t rows;
    } cases[] = {
        {L"SELECT A FROM Refused", "Query failed to retrieve objects. Error code = 0x80041017", 0},
        {L"SELECT A FROM Nameless",
         "Failed to retrieves the names of the properties in the object. Error code = 0x80041001", 0},
        {L"SELECT A FROM Stuck", "Query timed out waiting for the next object. Error code = 0x40004", 1},
    };
    for (const auto& c : cases) {
        LogTail log;
        std::list<std::wstring> columns;
        Rows rows;
        EXPECT_EQ(wmi.RunWMIQuery(c.wql, columns, rows), TAVO_WMI_UNAVAILABLE);
        EXPECT_EQ(rows.size(), c.rows);
        EXPECT_EQ(log.count(std::string("WMIInterface::RunWMIQuery S: error :: ") + c.line), 1u) << log.text();
    }
}

// Next takes a signed wait: a bound past the signed range must not reach it as a negative number,
// which the provider refuses (the query would end early with no rows and no error).
TEST(WmiQueries, WaitsPastTheSignedRangeStayPositive) {
    WmiFixture fixture("query SELECT A FROM B\nobject\nA = bstr:a\nobject\nA = bstr:b\n");
    for (ULONG timeout : {0x7FFFFFFFul, 0x80000000ul, 0xFFFFFFFEul, static_cast<ULONG>(WBEM_INFINITE)}) {
        WMIInterface wmi(timeout);
        std::list<std::wstring> columns;
        Rows rows;
        EXPECT_EQ(wmi.RunWMIQuery(L"SELECT A FROM B", columns, rows), TAVO_OK) << std::hex << timeout;
        EXPECT_EQ(rows.size(), 2u) << std::hex << timeout;
    }
}

TEST(WmiConnection, FailedConnectionMakesEveryQueryUnavailable) {
    WmiFixture fixture(
        "connect 0x80041003\n"
        "query SELECT A FROM B\n"
        "object\n"
        "A = bstr:a\n");
    LogTail log;
    WMIInterface wmi;
    EXPECT_EQ(log.count("WMIInterface::WMIInterface S: error :: Failed to create a connection through DCOM to a WMI "
                        "namespace. Error code = 0x80041003"),
              1u)
        << log.text();
    for (int i = 0; i < 2; ++i) {
        std::list<std::wstring> columns;
        Rows rows;
        EXPECT_EQ(wmi.RunWMIQuery(L"SELECT A FROM B", columns, rows), TAVO_WMI_UNAVAILABLE);
        EXPECT_TRUE(rows.empty());
    }
    EXPECT_EQ(log.count("WMIInterface::RunWMIQuery S: error :: Failed to construct object "), 2u) << log.text();
}

// The apartments a connection is tried in: none, or the thread's own before the connection. The
// probe after the connection is gone answers S_OK for a thread left uninitialised and S_FALSE for
// one whose outer initialisation is still in force (an extra CoUninitialize would have undone it).
struct ApartmentCase {
    const char* what;
    DWORD outer;  // the thread's own apartment before the connection, or kNoApartment
    HRESULT probe;
};
constexpr DWORD kNoApartment = static_cast<DWORD>(-1);

// Runs `use` on a thread of its own in the case's apartment and checks COM's balance after it.
void ExpectComBalancedAround(const ApartmentCase& c, const std::function<void()>& use) {
    std::thread([&] {
        if (c.outer != kNoApartment) {
            ASSERT_EQ(CoInitializeEx(nullptr, c.outer), S_OK) << c.what;
        }
        use();
        const DWORD apartment = c.outer == kNoApartment ? static_cast<DWORD>(COINIT_MULTITHREADED) : c.outer;
        EXPECT_EQ(CoInitializeEx(nullptr, apartment), c.probe) << c.what;
        CoUninitialize();
        if (c.outer != kNoApartment) {
            CoUninitialize();
        }
    }).join();
}

// COM is uninitialised at clean-up exactly when the object's own initialisation took hold.
TEST(WmiConnection, ComInitialisationIsBalanced) {
    WmiFixture fixture("query SELECT A FROM B\nobject\nA = bstr:a\n");
    const ApartmentCase cases[] = {
        {"no apartment", kNoApartment, S_OK},
        {"single-threaded apartment", COINIT_APARTMENTTHREADED, S_FALSE},
    };
    for (const auto& c : cases) {
        ExpectComBalancedAround(c, [&] {
            WMIInterface wmi;
            std::list<std::wstring> columns;
            Rows rows;
            EXPECT_EQ(wmi.RunWMIQuery(L"SELECT A FROM B", columns, rows), TAVO_OK) << c.what;
            EXPECT_EQ(rows.size(), 1u) << c.what;
        });
    }
}

// A connection that fails after COM was initialised cleans up at once and again when destroyed:
// COM is uninitialised once, and only when the object's own initialisation took hold.
TEST(WmiConnection, FailedConnectionUninitialisesComAtMostOnce) {
    WmiFixture fixture("connect 0x80041003\n");
    const ApartmentCase cases[] = {
        {"no apartment", kNoApartment, S_OK},
        {"multithreaded apartment", COINIT_MULTITHREADED, S_FALSE},
        {"single-threaded apartment", COINIT_APARTMENTTHREADED, S_FALSE},
    };
    for (const auto& c : cases) {
        ExpectComBalancedAround(c, [&] {
            LogTail log;
            WMIInterface wmi;
            EXPECT_EQ(log.count("WMIInterface::WMIInterface S: error :: Failed to create a connection through "
                                "DCOM to a WMI namespace. Error code = 0x80041003"),
                      1u)
                << c.what << "\n"
                << log.text();
        });
    }
}

}  // namespace
