// The DLL search hardening at the launcher's start, against scripted kernel32
// exports, versions and system folders: which call narrows the search, what
// is preloaded from where, and that the launch itself does not change.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "fake/fake_windows.h"

namespace {

typedef std::vector<std::string> Calls;

const DWORD Win9x = VER_PLATFORM_WIN32_WINDOWS;
const DWORD Nt = VER_PLATFORM_WIN32_NT;

// Which of the later exports kernel32 has.
enum Exports { None, DllDirectoryOnly, DefaultOnly, Both };

const char kSystem32[] = "C:\\WINDOWS\\system32";
const std::string kRestrict = "SetDefaultDllDirectories 0x800";
const std::string kNoCurrentFolder = "SetDllDirectoryA \"\"";

// The DLLs the boxes and ShellExecuteA load by bare name somewhere from 95 to 7.
const std::set<std::string> kMustPreload = {
    "uxtheme", "dwmapi", "userenv", "setupapi", "apphelp", "propsys", "cryptbase",
    "oleacc", "clbcatq", "version", "ntmarta", "profapi", "comres"};

// What follows the hardening, the same on every row of a machine.
const std::string kProbe = std::string("RegOpenKeyA ") + kFakePlace1;
const Calls kProbeAndVersion = {kProbe, "RegQueryValueExA PROCESSOR_ARCHITECTURE", "RegCloseKey",
                                "GetVersionExA 156"};
const Calls kXpLaunch = {"GetVersion", "GetModuleHandleA SHELL32", "GetProcAddress ShellExecuteW",
                         "GetCommandLineW", "ShellExecuteW E:\\kit\\Autoinst\\winxp\\instxp.exe"};
const Calls k9xLaunch = {"GetVersion", "GetCommandLineA", "ShellExecuteA E:\\kit\\Autoinst\\win98SE\\inst98.exe"};
const Calls kNt6Launch = {"GetVersion", "GetModuleHandleA SHELL32", "GetProcAddress ShellExecuteW",
                          "GetCommandLineW", "ShellExecuteW E:\\kit\\Autoinst\\winvista\\Vistax86\\instvs32.exe",
                          "MessageBoxA VISTA32"};
const Calls kUnknown = {"MessageBoxA Unknow OS version", "MessageBoxA Exec fail"};

// A system folder whose path is n characters long.
std::string FolderOf(size_t n) { return "C:\\" + std::string(n - 3, 's'); }

struct HardenRow {
    const char* name;
    DWORD       platformId, major, minor;
    Exports     exports;
    BOOL        restrictResult;   // what SetDefaultDllDirectories answers
    std::string systemFolder;     // empty: GetSystemDirectoryA fails
    Calls       narrowing;        // the search-narrowing calls made, in order
    size_t      preloads;         // DLLs loaded from the system folder
    Calls       launch;           // what the launch does after the version query
};

const HardenRow kHardenRows[] = {
    {"10",                     Nt, 6, 2, Both, TRUE,  kSystem32, {kRestrict}, 0, kNt6Launch},
    {"7 with the update",      Nt, 6, 1, Both, TRUE,  kSystem32, {kRestrict}, 0, kNt6Launch},
    {"restriction refused",    Nt, 6, 2, Both, FALSE, kSystem32, {kRestrict, kNoCurrentFolder}, 13, kNt6Launch},
    {"refused, no SetDllDirectoryA", Nt, 6, 2, DefaultOnly, FALSE, kSystem32, {kRestrict}, 13, kNt6Launch},
    // The restriction would break the shell's COM objects on Vista.
    {"Vista with the update",  Nt, 6, 0, Both, TRUE,  kSystem32, {kNoCurrentFolder}, 13, kNt6Launch},
    {"Vista",                  Nt, 6, 0, DllDirectoryOnly, TRUE, kSystem32, {kNoCurrentFolder}, 13, kNt6Launch},
    {"7 without the update",   Nt, 6, 1, DllDirectoryOnly, TRUE, kSystem32, {kNoCurrentFolder}, 13, kNt6Launch},
    {"XP SP2",                 Nt, 5, 1, DllDirectoryOnly, TRUE, kSystem32, {kNoCurrentFolder}, 13, kXpLaunch},
    {"XP RTM",                 Nt, 5, 1, None, TRUE,  kSystem32, {}, 13, kXpLaunch},
    {"NT 4",                   Nt, 4, 0, None, TRUE,  "C:\\WINNT\\system32", {}, 13, kUnknown},
    {"95",                     Win9x, 4, 0, None, TRUE, "C:\\WINDOWS\\SYSTEM", {}, 13, k9xLaunch},
    // folder + \ + name + .dll + terminator must fit MAX_PATH: 247 leaves
    // room for the names of 7 characters, not for setupapi and cryptbase.
    {"folder of 247",          Nt, 5, 1, None, TRUE,  FolderOf(247), {}, 11, kXpLaunch},
    {"folder of 259",          Nt, 5, 1, None, TRUE,  FolderOf(259), {}, 0, kXpLaunch},
    {"folder of 260",          Nt, 5, 1, None, TRUE,  FolderOf(260), {}, 0, kXpLaunch},
    {"folder of 400",          Nt, 5, 1, None, TRUE,  FolderOf(400), {}, 0, kXpLaunch},
    {"no system folder",       Nt, 5, 1, DllDirectoryOnly, TRUE, "", {kNoCurrentFolder}, 0, kXpLaunch},
};

bool StartsWith(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

TEST(Harden, NarrowsTheSearchBeforeAnythingLoadsADll)
{
    for (const HardenRow& row : kHardenRows) {
        FakeReset();
        g_fake.platformId = row.platformId;
        g_fake.major = row.major;
        g_fake.minor = row.minor;
        FakeSetArchitecture(kFakePlace1, "x86");
        g_fake.commandLine = "\"E:\\kit\\launcher.exe\"";
        if (row.exports == Both || row.exports == DefaultOnly)
            g_fake.kernelExports.insert(kFakeSetDefaultDllDirectories);
        if (row.exports == Both || row.exports == DllDirectoryOnly)
            g_fake.kernelExports.insert(kFakeSetDllDirectoryA);
        g_fake.setDefaultDllDirectoriesResult = row.restrictResult;
        g_fake.systemFolder = row.systemFolder;

        EXPECT_EQ(WinMain(nullptr, nullptr, (LPSTR) "", SW_SHOW), 0) << row.name;

        // Everything up to the registry probe is the hardening; the launch
        // after it is what it always was: the probe, the query, the launch.
        auto start = std::find(g_fake.calls.begin(), g_fake.calls.end(), kProbe);
        Calls hardening(g_fake.calls.begin(), start), launch(start, g_fake.calls.end());
        Calls expected = kProbeAndVersion;
        expected.insert(expected.end(), row.launch.begin(), row.launch.end());
        EXPECT_EQ(launch, expected) << row.name;

        Calls narrowing;
        size_t firstLoad = hardening.size(), lastNarrowing = 0;
        for (size_t i = 0; i < hardening.size(); i++) {
            if (StartsWith(hardening[i], "SetDefaultDllDirectories") || StartsWith(hardening[i], "SetDllDirectoryA")) {
                narrowing.push_back(hardening[i]);
                lastNarrowing = i;
            } else if (StartsWith(hardening[i], "LoadLibraryExA") && firstLoad == hardening.size()) {
                firstLoad = i;
            }
        }
        EXPECT_EQ(narrowing, row.narrowing) << row.name;
        if (!narrowing.empty() && firstLoad < hardening.size()) {
            EXPECT_LT(lastNarrowing, firstLoad) << row.name << ": a DLL was preloaded before the search was narrowed";
        }

        // Each preload by its full path in the system folder, its own
        // dependencies from there too.
        EXPECT_EQ(g_fake.loaded.size(), row.preloads) << row.name;
        std::set<std::string> names;
        std::string folder = row.systemFolder + "\\";
        for (const std::string& path : g_fake.loaded) {
            EXPECT_TRUE(StartsWith(path, folder)) << row.name << ": " << path;
            EXPECT_LT(path.size(), (size_t)MAX_PATH) << row.name << ": " << path;
            std::string file = path.substr(std::min(folder.size(), path.size()));
            EXPECT_EQ(file.find('\\'), std::string::npos) << row.name << ": " << path;
            ASSERT_GT(file.size(), 4u) << row.name << ": " << path;
            EXPECT_EQ(file.substr(file.size() - 4), ".dll") << row.name << ": " << path;
            EXPECT_TRUE(names.insert(file.substr(0, file.size() - 4)).second) << row.name << ": twice " << path;
        }
        for (const std::string& call : hardening) {
            if (StartsWith(call, "LoadLibraryExA")) {
                EXPECT_EQ(call.substr(call.rfind(' ')), " 0x8") << row.name << ": " << call;
            }
        }
        if (row.preloads == kMustPreload.size()) {
            EXPECT_EQ(names, kMustPreload) << row.name;
        }
        for (const std::string& name : names) {
            EXPECT_TRUE(kMustPreload.count(name)) << row.name << ": " << name;
        }
    }
}

}  // namespace
