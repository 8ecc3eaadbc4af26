// The launch sequence as the user meets it: the installer started, the boxes
// shown and the exit code, against scripted systems and command lines.
#include <gtest/gtest.h>

#include "../detect/detect.h"
#include "fake/fake_windows.h"

namespace {

typedef std::vector<std::string> Boxes;

const char kXp[] = "Autoinst\\winxp\\instxp.exe";
const char kVista64[] = "Autoinst\\winvista\\Vistax64\\instvs64.exe";

struct Machine {
    DWORD platformId, major, minor;
    const char* architecture;
};

const Machine kXpMachine = {VER_PLATFORM_WIN32_NT, 5, 1, "x86"};
const Machine kVistaX64Machine = {VER_PLATFORM_WIN32_NT, 6, 0, "AMD64"};

// Runs the launcher once and checks what every run must do, whatever it
// launched: exit code 0, and boxes captioned INSTALL with one OK button and
// no owner.
void RunLauncher(const Machine& machine, const std::string& commandLine, INT_PTR result, const std::string& row)
{
    FakeReset();
    g_fake.platformId = machine.platformId;
    g_fake.major = machine.major;
    g_fake.minor = machine.minor;
    if (machine.architecture)
        FakeSetArchitecture(kFakePlace1, machine.architecture);
    g_fake.commandLine = commandLine;
    g_fake.shellExecuteResult = result;

    EXPECT_EQ(WinMain(nullptr, nullptr, (LPSTR) "", SW_SHOW), 0) << row;
    for (const FakeBox& box : g_fake.boxes) {
        EXPECT_EQ(box.caption, "INSTALL") << row;
        EXPECT_EQ(box.type, MB_OK) << row;
        EXPECT_EQ(box.owner, nullptr) << row;
    }
    ASSERT_LE(g_fake.launches.size(), 1u) << row;
    if (!g_fake.launches.empty()) {
        const FakeLaunch& launch = g_fake.launches[0];
        EXPECT_EQ(launch.owner, nullptr) << row;
        EXPECT_EQ(launch.verb, "open") << row;
        EXPECT_FALSE(launch.hasParameters) << row;
        EXPECT_FALSE(launch.hasDirectory) << row;
        EXPECT_EQ(launch.show, SW_SHOW) << row;
    }
}

std::string Launched()
{
    return g_fake.launches.empty() ? "(nothing)" : g_fake.launches[0].file;
}

TEST(Launch, EveryCodeWithAndWithoutARow)
{
    const struct {
        const char* release;
        Machine     machine;
        const char* installer;   // nullptr: nothing is launched
        Boxes       boxes;
    } rows[] = {
        {"Win32s",        {0, 1, 30, "x86"},    nullptr, {"Unknow OS version", "Exec fail"}},
        {"Windows 3.x",   {1, 3, 95, "x86"},    nullptr, {"Unknow OS version", "Exec fail"}},
        {"Windows 95",    {1, 4,  0, "x86"},    "Autoinst\\win98SE\\inst98.exe", {}},
        {"Windows 98",    {1, 4, 10, "x86"},    "Autoinst\\win98SE\\inst98.exe", {}},
        {"Windows Me",    {1, 4, 90, "x86"},    "Autoinst\\winme\\instme.exe", {}},
        {"NT 3.51",       {2, 3, 51, "x86"},    nullptr, {"Unknow OS version", "Exec fail"}},
        {"NT 4",          {2, 4,  0, "x86"},    nullptr, {"Unknow OS version", "Exec fail"}},
        {"Windows 2000",  {2, 5,  0, "x86"},    "Autoinst\\win2k\\inst2k.exe", {}},
        {"Windows XP",    {2, 5,  1, "x86"},    kXp, {}},
        {"XP on AMD64",   {2, 5,  1, "AMD64"},  kXp, {}},
        {"2003 x86",      {2, 5,  2, "x86"},    nullptr, {"Unknow OS version", "Exec fail"}},
        {"XP x64",        {2, 5,  2, "AMD64"},  nullptr, {"Unknow OS version", "Exec fail"}},
        {"Vista x86",     {2, 6,  0, "x86"},    "Autoinst\\winvista\\Vistax86\\instvs32.exe", {"VISTA32"}},
        {"7 x64",         {2, 6,  1, "AMD64"},  kVista64, {"VISTA64"}},
        {"10 x64",        {2, 6,  2, "AMD64"},  kVista64, {"VISTA64"}},
        {"no registry",   {2, 6,  2, nullptr},  kVista64, {"VISTA64"}},
        {"NT 10 told",    {2, 10, 0, "AMD64"},  nullptr, {"Unknow OS version", "Exec fail"}},
        {"platform 3",    {3, 6,  0, "x86"},    nullptr, {"Unknow OS version", "Exec fail"}},
    };
    for (const auto& row : rows) {
        RunLauncher(row.machine, "\"E:\\kit\\launcher.exe\"", 42, row.release);
        std::string expected = row.installer ? std::string("E:\\kit\\") + row.installer : "(nothing)";
        EXPECT_EQ(Launched(), expected) << row.release;
        EXPECT_EQ(FakeBoxTexts(), row.boxes) << row.release;
    }
}

TEST(Launch, NoVersionRecordIsAnUnknownSystem)
{
    FakeReset();
    g_fake.acceptsExtendedRecord = g_fake.acceptsPlainRecord = FALSE;
    g_fake.commandLine = "\"E:\\kit\\launcher.exe\"";
    EXPECT_EQ(WinMain(nullptr, nullptr, (LPSTR) "", SW_SHOW), 0);
    EXPECT_EQ(Launched(), "(nothing)");
    EXPECT_EQ(FakeBoxTexts(), (Boxes{"Unknow OS version", "Exec fail"}));
}

TEST(Launch, ResultAbove32IsSuccess)
{
    const struct {
        Machine machine;
        INT_PTR result;
        Boxes   boxes;
    } rows[] = {
        {kXpMachine,       33, {}},
        {kXpMachine,       32, {"Exec fail"}},
        {kXpMachine,        2, {"Exec fail"}},   // SE_ERR_FNF: no installer file
        {kXpMachine,        0, {"Exec fail"}},   // out of memory
        {kXpMachine, 0x400000, {}},
        {kVistaX64Machine, 33, {"VISTA64"}},
        {kVistaX64Machine, 32, {"VISTA64", "Exec fail"}},
        {kVistaX64Machine,  5, {"VISTA64", "Exec fail"}},
        {{2, 6, 1, "x86"},  2, {"VISTA32", "Exec fail"}},
    };
    for (const auto& row : rows) {
        std::string name = "result " + std::to_string(row.result) + " on " + row.machine.architecture + " " +
                           std::to_string(row.machine.major) + "." + std::to_string(row.machine.minor);
        RunLauncher(row.machine, "\"E:\\kit\\launcher.exe\"", row.result, name);
        EXPECT_EQ(g_fake.launches.size(), 1u) << name;
        EXPECT_EQ(FakeBoxTexts(), row.boxes) << name;
    }
}

TEST(Folder, ComesFromTheProgramsPathOnly)
{
    const struct {
        UINT        codePage;
        std::string commandLine;
        std::string folder;   // what stands before the installer's relative path
    } rows[] = {
        {1252, "\"E:\\kit\\launcher.exe\"",              "E:\\kit\\"},
        {1252, "E:\\kit\\launcher.exe",                  "E:\\kit\\"},
        {1252, "\"E:\\my kit\\launcher.exe\"",           "E:\\my kit\\"},
        {1252, "\"E:\\kit\\launcher.exe\" C:\\temp\\a",  "E:\\kit\\"},
        {1252, "\"E:\\kit\\launcher.exe\"C:\\temp\\a",   "E:\\kit\\"},
        {1252, "E:\\kit\\launcher.exe C:\\temp\\a",      "E:\\kit\\"},
        {1252, "E:\\kit\\launcher.exe\tC:\\temp\\a",     "E:\\kit\\"},
        {1252, "E:\\MYKIT~1\\SETUP.EXE",                 "E:\\MYKIT~1\\"},
        {1252, "\\\\server\\share\\kit\\launcher.exe",   "\\\\server\\share\\kit\\"},
        {1252, "\"E:\\kit\\launcher.exe",                "E:\\kit\\"},      // no closing quote
        {1252, "\"E:\\kit\\\"",                          "E:\\kit\\"},
        {1252, "launcher.exe",                           ""},
        {1252, "\"launcher.exe\" C:\\temp\\a",           ""},
        {1252, "launcher.exe C:\\temp\\a",               ""},
        {1252, "",                                       ""},
        {1252, "\"",                                     ""},
        {1252, "\"\" C:\\temp\\a",                       ""},
        // 0x95 0x5C is one character in code page 932; its second byte is
        // a backslash only where the code page has no double-byte characters.
        {932,  "\"E:\\kit\\\x95\\.exe\"",                "E:\\kit\\"},
        {1252, "\"E:\\kit\\\x95\\.exe\"",                "E:\\kit\\\x95\\"},
        {932,  "\"E:\\\x95\\\\launcher.exe\"",           "E:\\\x95\\\\"},
        {932,  "E:\\kit\\\x95",                          "E:\\kit\\"},      // lead byte at the end
        {932,  "\"E:\\kit\\\x95\"",                      "E:\\kit\\"},
        {932,  "E:\\kit\\\xA0\\x.exe",                   "E:\\kit\\\xA0\\"}, // 0xA0: single byte in 932
        {936,  "E:\\kit\\\xA0\\x.exe",                   "E:\\kit\\"},      // ... a lead byte in 936
        {949,  "\"E:\\\x81\\\\\xFE\\.exe\"",             "E:\\\x81\\\\"},
        {950,  "E:\\\xA4\\\\a\\\xA4\\.exe",              "E:\\\xA4\\\\a\\"},
    };
    int i = 0;
    for (const auto& row : rows) {
        std::string name = "row " + std::to_string(i++) + " [" + row.commandLine + "] cp" +
                           std::to_string(row.codePage);
        FakeReset();
        g_fake.codePage = row.codePage;
        FakeSetArchitecture(kFakePlace1, "x86");
        g_fake.commandLine = row.commandLine;
        EXPECT_EQ(WinMain(nullptr, nullptr, (LPSTR) "", SW_SHOW), 0) << name;
        EXPECT_EQ(Launched(), row.folder + kXp) << name;
        EXPECT_EQ(FakeBoxTexts(), Boxes{}) << name;
    }
}

TEST(Folder, NeverLaunchesACutOffPath)
{
    // A folder of n characters: the quote, C:\, padding, the backslash.
    auto folderOf = [](size_t n) { return "C:\\" + std::string(n - 4, 'a') + "\\"; };
    const struct {
        Machine     machine;
        size_t      folderLength;
        std::string arguments;
        bool        launched;
        Boxes       boxes;
    } rows[] = {
        {kXpMachine,       255 - 25, "",                     true,  {}},
        {kXpMachine,       256 - 25, "",                     false, {"Exec fail"}},
        {kVistaX64Machine, 255 - 39, "",                     true,  {"VISTA64"}},
        {kVistaX64Machine, 256 - 39, "",                     false, {"VISTA64", "Exec fail"}},
        {kXpMachine,       32000,    "",                     false, {"Exec fail"}},
        {kXpMachine,       8,        std::string(40000, 'x'), true, {}},
    };
    for (const auto& row : rows) {
        std::string folder = folderOf(row.folderLength);
        std::string name = "folder of " + std::to_string(row.folderLength) + " with " +
                           std::to_string(row.arguments.size()) + " bytes of arguments";
        std::string commandLine = "\"" + folder + "launcher.exe\"";
        if (!row.arguments.empty())
            commandLine += " " + row.arguments;
        RunLauncher(row.machine, commandLine, 42, name);
        EXPECT_EQ(g_fake.launches.size(), row.launched ? 1u : 0u) << name;
        if (row.launched) {
            EXPECT_EQ(Launched().size(), folder.size() + (row.machine.major == 6 ? 39 : 25)) << name;
        }
        EXPECT_EQ(FakeBoxTexts(), row.boxes) << name;
    }
}

}  // namespace
