// The launch sequence as the user meets it: the installer started, the boxes
// shown and the exit code, against scripted systems and command lines.
#include <gtest/gtest.h>

#include <algorithm>

#include "../detect/detect.h"
#include "fake/fake_windows.h"

namespace {

typedef std::vector<std::string> Boxes;

const char kXp[] = "Autoinst\\winxp\\instxp.exe";
const char k98[] = "Autoinst\\win98SE\\inst98.exe";
const char kVista32[] = "Autoinst\\winvista\\Vistax86\\instvs32.exe";
const char kVista64[] = "Autoinst\\winvista\\Vistax64\\instvs64.exe";

struct Machine {
    DWORD platformId, major, minor;
    const char* architecture;
};

const Machine k98Machine = {VER_PLATFORM_WIN32_WINDOWS, 4, 10, "x86"};
const Machine kXpMachine = {VER_PLATFORM_WIN32_NT, 5, 1, "x86"};
const Machine kVistaX64Machine = {VER_PLATFORM_WIN32_NT, 6, 0, "AMD64"};

// Runs the launcher once and checks what every run must do, whatever it
// launched: exit code 0, and boxes captioned INSTALL with one OK button and
// no owner. The command line is scripted as NT keeps it (see FakeSetCommandLineW).
void RunLauncher(const Machine& machine, const std::u16string& commandLine, INT_PTR result, const std::string& row,
                 bool hasShellExecuteW = true)
{
    FakeReset();
    g_fake.hasShellExecuteW = hasShellExecuteW;
    g_fake.platformId = machine.platformId;
    g_fake.major = machine.major;
    g_fake.minor = machine.minor;
    if (machine.architecture)
        FakeSetArchitecture(kFakePlace1, machine.architecture);
    FakeSetCommandLineW(commandLine);
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
        RunLauncher(row.machine, u"\"E:\\kit\\launcher.exe\"", 42, row.release);
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
        RunLauncher(row.machine, u"\"E:\\kit\\launcher.exe\"", row.result, name);
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
    // 9x has the ANSI line only, and the lead-byte rule is for it alone; NT
    // takes the wide line, and an ASCII line must give the same folder there.
    const struct {
        Machine     machine;
        const char* installer;
    } machines[] = {{k98Machine, k98}, {kXpMachine, kXp}};
    int i = 0;
    for (const auto& row : rows) {
        bool ascii = true;
        for (char c : row.commandLine)
            ascii = ascii && (BYTE)c < 0x80;
        for (const auto& machine : machines) {
            if (machine.machine.platformId == VER_PLATFORM_WIN32_NT && !ascii)
                continue;
            std::string name = "row " + std::to_string(i) + " [" + row.commandLine + "] cp" +
                               std::to_string(row.codePage) + " on " + std::to_string(machine.machine.major) + "." +
                               std::to_string(machine.machine.minor);
            FakeReset();
            g_fake.codePage = row.codePage;
            g_fake.platformId = machine.machine.platformId;
            g_fake.major = machine.machine.major;
            g_fake.minor = machine.machine.minor;
            FakeSetArchitecture(kFakePlace1, "x86");
            g_fake.commandLine = row.commandLine;
            EXPECT_EQ(WinMain(nullptr, nullptr, (LPSTR) "", SW_SHOW), 0) << name;
            EXPECT_EQ(Launched(), row.folder + machine.installer) << name;
            EXPECT_EQ(FakeBoxTexts(), Boxes{}) << name;
        }
        i++;
    }
}

// NT names the folder in UTF-16, whatever the code page: every script, a
// character beyond the Basic Multilingual Plane (a surrogate pair), a lone
// surrogate, characters whose code units hold a 0x5C byte.
TEST(Folder, AnyScriptOnNt)
{
    const Machine k10X64 = {VER_PLATFORM_WIN32_NT, 6, 2, "AMD64"};
    const struct {
        Machine        machine;
        std::u16string commandLine;
        std::u16string launched;
    } rows[] = {
        {kXpMachine, u"\"E:\\kits\\Jürgen\\launcher.exe\"", u"E:\\kits\\Jürgen\\Autoinst\\winxp\\instxp.exe"},
        {kXpMachine, u"\"C:\\Users\\Алексей\\dist\\launcher.exe\"",
         u"C:\\Users\\Алексей\\dist\\Autoinst\\winxp\\instxp.exe"},
        {{2, 6, 1, "AMD64"}, u"\"C:\\Users\\Алексей\\Downloads\\dist\\launcher.exe\"",
         u"C:\\Users\\Алексей\\Downloads\\dist\\Autoinst\\winvista\\Vistax64\\instvs64.exe"},
        {{2, 6, 2, "x86"}, u"\"D:\\kits\\安装程序\\launcher.exe\"",
         u"D:\\kits\\安装程序\\Autoinst\\winvista\\Vistax86\\instvs32.exe"},
        {kVistaX64Machine, u"\"E:\\Ελληνικά\\launcher.exe\"",
         u"E:\\Ελληνικά\\Autoinst\\winvista\\Vistax64\\instvs64.exe"},
        {k10X64, u"\"E:\\Setup 🎮\\launcher.exe\"", u"E:\\Setup 🎮\\Autoinst\\winvista\\Vistax64\\instvs64.exe"},
        {k10X64, u"\"E:\\Диск\\установка.exe\"", u"E:\\Диск\\Autoinst\\winvista\\Vistax64\\instvs64.exe"},
        {kXpMachine, u"\"E:\\🎮\\launcher.exe\"", u"E:\\🎮\\Autoinst\\winxp\\instxp.exe"},
        // A lone surrogate is a valid file name on NT; it is passed on as it is.
        {kXpMachine, u"\"E:\\\xD83C\\launcher.exe\"", u"E:\\\xD83C\\Autoinst\\winxp\\instxp.exe"},
        {kXpMachine, u"\"E:\\a\xDFFF\\launcher.exe\"", u"E:\\a\xDFFF\\Autoinst\\winxp\\instxp.exe"},
        // U+5C0F and U+015C hold a 0x5C byte, U+FF3C looks like a backslash:
        // none of them is one.
        {kXpMachine, u"\"E:\\小Ŝ\\x＼launcher.exe\"", u"E:\\小Ŝ\\Autoinst\\winxp\\instxp.exe"},
        {kXpMachine, u"\"E:\\a\\小＼Ŝ.exe\"", u"E:\\a\\Autoinst\\winxp\\instxp.exe"},
        // Unquoted, the path ends at the first blank, as in the ANSI form.
        {kXpMachine, u"E:\\Алексей\\launcher.exe", u"E:\\Алексей\\Autoinst\\winxp\\instxp.exe"},
        {kXpMachine, u"E:\\Setup 🎮\\launcher.exe", u"E:\\Autoinst\\winxp\\instxp.exe"},
        {kXpMachine, u"E:\\Алексей\\launcher.exe\tC:\\тест\\a", u"E:\\Алексей\\Autoinst\\winxp\\instxp.exe"},
        {kXpMachine, u"\"E:\\Алексей\\launcher.exe\" C:\\тест\\a", u"E:\\Алексей\\Autoinst\\winxp\\instxp.exe"},
        {kXpMachine, u"\"E:\\Алексей\\launcher.exe", u"E:\\Алексей\\Autoinst\\winxp\\instxp.exe"},
        {kXpMachine, u"установка.exe", u"Autoinst\\winxp\\instxp.exe"},
    };
    int i = 0;
    for (const auto& row : rows) {
        std::string name = "row " + std::to_string(i++) + " [" + FakeUtf8(row.commandLine) + "]";
        RunLauncher(row.machine, row.commandLine, 42, name);
        ASSERT_EQ(g_fake.launches.size(), 1u) << name;
        EXPECT_TRUE(g_fake.launches[0].wide) << name;
        EXPECT_EQ(g_fake.launches[0].fileW, row.launched) << name << ": " << FakeUtf8(g_fake.launches[0].fileW);
    }
}

TEST(Folder, NeverLaunchesACutOffPath)
{
    // A folder of n characters (UTF-16 code units on NT, bytes on 9x): C:\,
    // padding, the backslash. A padding of two units starts with an "a"
    // where the count is odd.
    auto folderOf = [](size_t n, const std::u16string& padding) {
        std::u16string folder = u"C:\\";
        if ((n - 4) % padding.size())
            folder += u"a";
        while (folder.size() < n - 1)
            folder += padding;
        return folder + u"\\";
    };
    const struct {
        Machine        machine;
        size_t         installerLength;
        std::u16string padding;
        size_t         folderLength;
        size_t         argumentsLength;
        bool           launched;
        Boxes          boxes;
    } rows[] = {
        {kXpMachine,       25, u"a",  255 - 25, 0,     true,  {}},
        {kXpMachine,       25, u"a",  256 - 25, 0,     false, {"Exec fail"}},
        {kVistaX64Machine, 39, u"a",  255 - 39, 0,     true,  {"VISTA64"}},
        {kVistaX64Machine, 39, u"a",  256 - 39, 0,     false, {"VISTA64", "Exec fail"}},
        {k98Machine,       27, u"a",  255 - 27, 0,     true,  {}},
        {k98Machine,       27, u"a",  256 - 27, 0,     false, {"Exec fail"}},
        {kXpMachine,       25, u"д",  255 - 25, 0,     true,  {}},
        {kXpMachine,       25, u"д",  256 - 25, 0,     false, {"Exec fail"}},
        // 255 units in all with the last pair, and one more: the pair is
        // never split, the path refused whole.
        {kXpMachine,       25, u"🎮", 255 - 25, 0,     true,  {}},
        {kXpMachine,       25, u"🎮", 256 - 25, 0,     false, {"Exec fail"}},
        {kXpMachine,       25, u"a",  32000,    0,     false, {"Exec fail"}},
        {kXpMachine,       25, u"a",  8,        40000, true,  {}},
        {k98Machine,       27, u"a",  8,        40000, true,  {}},
    };
    for (const auto& row : rows) {
        std::u16string folder = folderOf(row.folderLength, row.padding);
        std::string name = "folder of " + std::to_string(row.folderLength) + " padded with " +
                           FakeUtf8(row.padding) + " and " + std::to_string(row.argumentsLength) +
                           " characters of arguments on " + std::to_string(row.machine.major) + "." +
                           std::to_string(row.machine.minor);
        std::u16string commandLine = u"\"" + folder + u"launcher.exe\"";
        if (row.argumentsLength)
            commandLine += u" " + std::u16string(row.argumentsLength, u'x');
        RunLauncher(row.machine, commandLine, 42, name);
        EXPECT_EQ(g_fake.launches.size(), row.launched ? 1u : 0u) << name;
        EXPECT_EQ(folder.size(), row.folderLength) << name << ": the test's own folder";
        if (row.launched) {
            const FakeLaunch& launch = g_fake.launches[0];
            size_t length = launch.wide ? launch.fileW.size() : launch.file.size();
            EXPECT_EQ(length, row.folderLength + row.installerLength) << name;
        }
        EXPECT_EQ(FakeBoxTexts(), row.boxes) << name;
    }
}

// NT takes the command line and starts the installer in UTF-16; 9x, and an
// NT whose shell32 lacked ShellExecuteW, in ANSI, where Windows has put a "?"
// for every character its code page lacks. 95 lacks ShellExecuteW: only NT
// looks it up.
TEST(Launch, WideOnNtAnsiOn9x)
{
    typedef std::vector<std::string> Calls;
    const struct {
        const char* release;
        Machine     machine;
        bool        hasShellExecuteW;
        bool        looksUp;   // asks shell32 for ShellExecuteW
        Calls       calls;     // those that read the command line or launch, the path in UTF-8
    } rows[] = {
        {"Windows 95", {1, 4, 0, "x86"}, true, false,
         {"GetCommandLineA", "ShellExecuteA E:\\???????\\Autoinst\\win98SE\\inst98.exe"}},
        {"Windows 98", {1, 4, 10, "x86"}, true, false,
         {"GetCommandLineA", "ShellExecuteA E:\\???????\\Autoinst\\win98SE\\inst98.exe"}},
        {"Windows Me", {1, 4, 90, "x86"}, true, false,
         {"GetCommandLineA", "ShellExecuteA E:\\???????\\Autoinst\\winme\\instme.exe"}},
        {"Win32s", {0, 1, 30, "x86"}, true, false, {}},
        {"NT 4", {2, 4, 0, "x86"}, true, false, {}},
        {"Windows 2000", {2, 5, 0, "x86"}, true, true,
         {"GetCommandLineW", "ShellExecuteW E:\\Алексей\\Autoinst\\win2k\\inst2k.exe"}},
        {"Windows XP", {2, 5, 1, "x86"}, true, true,
         {"GetCommandLineW", "ShellExecuteW E:\\Алексей\\Autoinst\\winxp\\instxp.exe"}},
        {"Vista x86", {2, 6, 0, "x86"}, true, true,
         {"GetCommandLineW", "ShellExecuteW E:\\Алексей\\Autoinst\\winvista\\Vistax86\\instvs32.exe"}},
        {"10 x64", {2, 6, 2, "AMD64"}, true, true,
         {"GetCommandLineW", "ShellExecuteW E:\\Алексей\\Autoinst\\winvista\\Vistax64\\instvs64.exe"}},
        {"XP, no ShellExecuteW", {2, 5, 1, "x86"}, false, true,
         {"GetCommandLineA", "ShellExecuteA E:\\???????\\Autoinst\\winxp\\instxp.exe"}},
        {"10 x64, no ShellExecuteW", {2, 6, 2, "AMD64"}, false, true,
         {"GetCommandLineA", "ShellExecuteA E:\\???????\\Autoinst\\winvista\\Vistax64\\instvs64.exe"}},
    };
    for (const auto& row : rows) {
        RunLauncher(row.machine, u"\"E:\\Алексей\\launcher.exe\"", 42, row.release, row.hasShellExecuteW);
        Calls calls;
        for (const std::string& call : g_fake.calls)
            if (call.rfind("GetCommandLine", 0) == 0 || call.rfind("ShellExecute", 0) == 0)
                calls.push_back(call);
        EXPECT_EQ(calls, row.calls) << row.release;
        bool looksUp = std::count(g_fake.calls.begin(), g_fake.calls.end(), "GetProcAddress ShellExecuteW") == 1;
        EXPECT_EQ(looksUp, row.looksUp) << row.release;
    }
}

}  // namespace
