// What a test scripts into the fake Windows before a run, and what it finds
// recorded there afterwards.
#ifndef FAKE_FAKE_WINDOWS_H
#define FAKE_FAKE_WINDOWS_H

#include <map>
#include <set>
#include <string>
#include <vector>
#include <windows.h>

struct FakeKey {
    bool        hasValue = false;
    std::string value;                      // the stored bytes, terminator included if any
    LONG        queryResult = ERROR_SUCCESS; // a refusal other than "missing" or "too long"
    LONG        openResult = ERROR_SUCCESS;  // a refusal of the key itself other than "missing"
    DWORD       valueType = REG_SZ;          // the type the value was stored with
};

struct FakeLaunch {
    HWND        owner;
    bool        wide;                       // ShellExecuteW rather than ShellExecuteA
    std::string verb, file;                 // a wide call's in UTF-8 (see FakeUtf8)
    std::u16string fileW;                   // a wide call's file as passed
    bool        hasParameters, hasDirectory;
    INT         show;
};

struct FakeBox {
    HWND        owner;
    std::string text, caption;
    UINT        type;
};

struct FakeWindows {
    // Scripted before a run.
    std::string commandLine;                // what GetCommandLineA returns
    // What GetCommandLineW returns; when empty, commandLine widened byte for
    // byte, which is right for the ASCII lines most tests use.
    std::u16string commandLineW;
    UINT        codePage = 1252;            // decides IsDBCSLeadByte
    BOOL        acceptsExtendedRecord = TRUE;
    BOOL        acceptsPlainRecord = TRUE;
    DWORD       platformId = VER_PLATFORM_WIN32_NT, major = 5, minor = 1;
    // When not empty, an accepted record of that size gets these bytes after
    // its size field (zeros past their end) instead of the three numbers.
    std::string extendedRecordBytes, plainRecordBytes;
    std::map<std::string, FakeKey> keys;    // below HKEY_LOCAL_MACHINE
    INT_PTR     shellExecuteResult = 42;    // of either form
    bool        hasShellExecuteW = true;    // shell32 exports it, as on every NT
    // Kernel32's exports of later releases that this one has (none: 95).
    std::set<std::string> kernelExports;
    BOOL        setDefaultDllDirectoriesResult = TRUE;
    BOOL        setDllDirectoryResult = TRUE;
    std::string systemFolder = "C:\\WINDOWS\\system32";   // empty: the call fails

    // Recorded during a run.
    std::vector<std::string> calls;         // "RegOpenKeyA <path>", "GetVersionExA <size>", ...
    std::vector<DWORD>       capacities;    // offered to each RegQueryValueExA
    std::vector<bool>        recordWasZeroed;
    int                      openKeys = 0;
    int                      badCloses = 0;
    std::vector<FakeLaunch>  launches;
    std::vector<FakeBox>     boxes;
    std::vector<std::string> loaded;        // paths given to LoadLibraryExA
};

extern FakeWindows g_fake;

// Forgets everything scripted and recorded.
void FakeReset();

// The two places the launcher is known to look for the architecture.
extern const char kFakePlace1[];
extern const char kFakePlace2[];

// Puts value (with its terminator) at a place, creating the key.
void FakeSetArchitecture(const char* place, const char* value);

// The kernel32 exports that later releases added and the launcher looks up.
extern const char kFakeSetDefaultDllDirectories[];
extern const char kFakeSetDllDirectoryA[];

// Scripts the command line as NT keeps it, in UTF-16, and its ANSI form as
// Windows derives it in code page 1252: a "?" for each character that the
// code page lacks.
void FakeSetCommandLineW(const std::u16string& line);

// UTF-8 of a UTF-16 string, a lone surrogate as its own three bytes, so that
// a test can print and compare it.
std::string FakeUtf8(const std::u16string& text);

// The boxes' texts, in the order shown.
std::vector<std::string> FakeBoxTexts();

#endif
