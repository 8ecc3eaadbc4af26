// The Windows version classification against scripted version records.
#include <gtest/gtest.h>

#include <algorithm>

#include "../detect/detect.h"
#include "fake/fake_windows.h"

namespace {

void ScriptMachine(DWORD platformId, DWORD major, DWORD minor, bool x64)
{
    FakeReset();
    g_fake.platformId = platformId;
    g_fake.major = major;
    g_fake.minor = minor;
    FakeSetArchitecture(kFakePlace1, x64 ? "AMD64" : "x86");
}

const DWORD Win32s = VER_PLATFORM_WIN32s;
const DWORD Win9x = VER_PLATFORM_WIN32_WINDOWS;
const DWORD Nt = VER_PLATFORM_WIN32_NT;

struct VersionRow {
    DWORD platformId, major, minor;
    bool  x64;
    int   code;
};

const VersionRow kVersionRows[] = {
    {Win32s, 3, 10, false, OsWin32s},
    {Win32s, 3, 10, true,  OsWin32s},
    {Win9x,  3, 95, false, OsWin9xPre4},
    {Win9x,  4,  0, false, OsWin98},       // 95
    {Win9x,  4,  0, true,  OsWin98},
    {Win9x,  4, 10, false, OsWin98},       // 98 and 98 SE
    {Win9x,  4, 89, false, OsWin98},
    {Win9x,  4, 90, false, OsWinMe},
    {Win9x,  4, 90, true,  OsWinMe},
    {Win9x,  5,  0, false, OsWin98},       // minor below 90 whatever the major
    {Nt,     3, 51, false, OsWinNt4},
    {Nt,     4,  0, false, OsWinNt4},
    {Nt,     4,  0, true,  OsWinNt4},
    {Nt,     5,  0, false, OsWin2000},
    {Nt,     5,  0, true,  OsWin2000},
    {Nt,     5,  1, false, OsWinXp},
    {Nt,     5,  1, true,  OsWinXp},
    {Nt,     5,  2, false, OsWinNt52},
    {Nt,     5,  2, true,  OsWinNt52X64},
    {Nt,     5,  3, true,  OsWinNt52X64},
    {Nt,     6,  0, false, OsWinVista},
    {Nt,     6,  0, true,  OsWinVistaX64},
    {Nt,     6,  1, false, OsWinVista},
    {Nt,     6,  1, true,  OsWinVistaX64},
    {Nt,     6,  2, false, OsWinVista},    // what 8.1, 10 and 11 tell us
    {Nt,     6,  2, true,  OsWinVistaX64},
    {Nt,     6,  3, true,  OsWinVistaX64},
    {Nt,     7,  0, false, OsUnknown},
    {Nt,    10,  0, true,  OsUnknown},
    {Nt, 0xFFFFFFFF, 0, true, OsUnknown},  // unsigned: not "4 or below"
    {3,      6,  0, true,  OsUnknown},
    {0xFFFFFFFF, 5, 1, false, OsUnknown},
};

TEST(Classification, EveryRowAndBoundary)
{
    for (const VersionRow& row : kVersionRows) {
        ScriptMachine(row.platformId, row.major, row.minor, row.x64);
        EXPECT_EQ(GetOsVersionCode(), row.code)
            << "platform " << row.platformId << ", version " << row.major << "." << row.minor
            << (row.x64 ? ", 64-bit" : ", x86");
    }
}

TEST(Classification, RetriesWithThePlainRecord)
{
    const struct {
        const char*              name;
        BOOL                     extended, plain;
        std::vector<std::string> queries;
        int                      code;
    } rows[] = {
        {"extended accepted", TRUE,  TRUE,  {"GetVersionExA 156"},                      OsWinXp},
        {"only plain",        FALSE, TRUE,  {"GetVersionExA 156", "GetVersionExA 148"}, OsWinXp},
        {"both refused",      FALSE, FALSE, {"GetVersionExA 156", "GetVersionExA 148"}, OsNoVersion},
        {"only extended",     TRUE,  FALSE, {"GetVersionExA 156"},                      OsWinXp},
    };
    for (const auto& row : rows) {
        ScriptMachine(Nt, 5, 1, false);
        g_fake.acceptsExtendedRecord = row.extended;
        g_fake.acceptsPlainRecord = row.plain;

        EXPECT_EQ(GetOsVersionCode(), row.code) << row.name;

        std::vector<std::string> queries;
        for (const std::string& call : g_fake.calls)
            if (call.rfind("GetVersionExA", 0) == 0)
                queries.push_back(call);
        EXPECT_EQ(queries, row.queries) << row.name;
        EXPECT_EQ(g_fake.recordWasZeroed, std::vector<bool>(row.queries.size(), true))
            << row.name << ": the record was not zero-filled";

        // The probe runs exactly once, and before the first version query.
        auto firstQuery = std::find(g_fake.calls.begin(), g_fake.calls.end(), row.queries[0]);
        std::string open1 = std::string("RegOpenKeyA ") + kFakePlace1;
        EXPECT_EQ(std::count(g_fake.calls.begin(), g_fake.calls.end(), open1), 1) << row.name;
        EXPECT_LT(std::find(g_fake.calls.begin(), g_fake.calls.end(), open1), firstQuery)
            << row.name << ": the probe ran after the version query";
    }
}

TEST(Classification, RefreshesTheFlagOnEveryCall)
{
    // One process, the registry changing between two classifications.
    ScriptMachine(Nt, 6, 1, true);
    EXPECT_EQ(GetOsVersionCode(), OsWinVistaX64);
    FakeSetArchitecture(kFakePlace1, "x86");
    EXPECT_EQ(GetOsVersionCode(), OsWinVista);
    EXPECT_EQ(g_is64Bit, 0);
}

}  // namespace
