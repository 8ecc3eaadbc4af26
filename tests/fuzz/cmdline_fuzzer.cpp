// Fuzzes the ANSI launch path: arbitrary command lines up to 32 KB under
// single- and double-byte code pages, on each system the launcher serves and
// one it does not. NT takes that path only where shell32 lacks ShellExecuteW,
// so it lacks it here (the wide path: wide_cmdline_fuzzer.cpp).
//
// Input: a byte picking the code page, one picking the system, one picking
// the launch call's result, then the command line (up to its first NUL).
#include <cstring>
#include <vector>

#include "fuzz_support.h"

namespace {

const UINT kCodePages[] = {1252, 932, 936, 949, 950};

const struct Machine {
    DWORD       platformId, major, minor;
    const char* architecture;
    int         code;   // what the classifier makes of it
} kMachines[] = {
    {1, 4, 10, "x86", 36},   {1, 4, 90, "x86", 38},   {2, 5, 0, "x86", 42},
    {2, 5, 1, "x86", 44},    {2, 6, 1, "x86", 50},    {2, 6, 1, "AMD64", 52},
    {2, 5, 2, "AMD64", 48},  // not served
};

const INT_PTR kResults[] = {2, 32, 33, 42};

// Where the real backslashes of the program's path are, found by walking
// whole characters with the code page's lead-byte rule; returns the program
// path and, in *folder, its part up to and with the last real backslash.
std::string ProgramPath(const std::string& line, std::vector<bool>* isBackslash, size_t* folder)
{
    bool quoted = !line.empty() && line[0] == '"';
    size_t start = quoted ? 1 : 0, end = start;
    while (end < line.size()) {
        char c = line[end];
        if (quoted ? c == '"' : c == ' ' || c == '\t')
            break;
        bool pair = IsDBCSLeadByte((BYTE)c) && end + 1 < line.size();
        isBackslash->push_back(c == '\\');
        if (pair)
            isBackslash->push_back(false);   // a trail byte, whatever its value
        end += pair ? 2 : 1;
    }
    std::string path = line.substr(start, end - start);
    *folder = 0;
    for (size_t i = 0; i < path.size(); i++)
        if ((*isBackslash)[i])
            *folder = i + 1;
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FakeReset();
    ByteReader input(data, size);
    g_fake.codePage = kCodePages[input.Byte() % 5];
    const Machine& machine = kMachines[input.Byte() % 7];
    g_fake.shellExecuteResult = kResults[input.Byte() % 4];
    g_fake.platformId = machine.platformId;
    g_fake.major = machine.major;
    g_fake.minor = machine.minor;
    g_fake.hasShellExecuteW = false;
    FakeSetArchitecture(kFakePlace1, machine.architecture);

    // Windows' command line ends at its first NUL.
    std::string rest = input.Rest();
    std::string line = rest.substr(0, rest.find('\0'));
    g_fake.commandLine = line;

    WinMain(nullptr, nullptr, (LPSTR) "", SW_SHOW);

    std::vector<bool> isBackslash;
    size_t folder;
    std::string path = ProgramPath(line, &isBackslash, &folder);
    const Served* row = FindServed(machine.code);
    bool fits = row != nullptr && folder + strlen(row->path) <= 255;
    FUZZ_CHECK(g_fake.launches.size() == (fits ? 1u : 0u),
               fits ? "a path that fits was not launched once" : "launched without a row or past 255");
    if (!g_fake.launches.empty()) {
        FUZZ_CHECK(!g_fake.launches[0].wide, "the wide call without ShellExecuteW");
        const std::string& file = g_fake.launches[0].file;
        FUZZ_CHECK(file.size() <= 255, "the launch path is longer than 255 characters");
        size_t tail = strlen(row->path);
        FUZZ_CHECK(file.size() >= tail && file.compare(file.size() - tail, tail, row->path) == 0,
                   "the launch path does not end in the system's installer");
        size_t relative = file.size() - tail;
        FUZZ_CHECK(path.compare(0, relative, file, 0, relative) == 0,
                   "the launch path does not begin with part of the program's path");
        FUZZ_CHECK(relative == 0 || isBackslash[relative - 1],
                   "the folder ends in no real backslash (a trail byte taken for one?)");
        FUZZ_CHECK(relative == folder, "the folder stops short of the last real backslash");
    }
    CheckBoxes(row, !g_fake.launches.empty(), g_fake.shellExecuteResult);
    return 0;
}
