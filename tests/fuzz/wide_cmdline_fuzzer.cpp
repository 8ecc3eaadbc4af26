// Fuzzes the wide launch path that NT takes: arbitrary UTF-16 command lines
// up to 32 K code units (any surrogates, paired or not), on each NT the
// launcher serves and one it does not.
//
// Input: a byte picking the system, one picking the launch call's result,
// then the command line as UTF-16LE code units (up to its first 0).
#include <cstring>

#include "fuzz_support.h"

namespace {

const struct Machine {
    DWORD       major, minor;
    const char* architecture;
    int         code;   // what the classifier makes of it
} kMachines[] = {
    {5, 0, "x86", 42}, {5, 1, "x86", 44}, {6, 1, "x86", 50}, {6, 2, "AMD64", 52},
    {5, 2, "AMD64", 48},   // not served
};

const INT_PTR kResults[] = {2, 32, 33, 42};

// The program's path: quoted up to the closing quote, else up to the first
// blank; in *folder, its length up to and with its last backslash.
std::u16string ProgramPath(const std::u16string& line, size_t* folder)
{
    bool quoted = !line.empty() && line[0] == u'"';
    size_t start = quoted ? 1 : 0, end = start;
    while (end < line.size() && (quoted ? line[end] != u'"' : line[end] != u' ' && line[end] != u'\t'))
        end++;
    std::u16string path = line.substr(start, end - start);
    size_t last = path.rfind(u'\\');
    *folder = last == std::u16string::npos ? 0 : last + 1;
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FakeReset();
    ByteReader input(data, size);
    const Machine& machine = kMachines[input.Byte() % 5];
    g_fake.shellExecuteResult = kResults[input.Byte() % 4];
    g_fake.platformId = VER_PLATFORM_WIN32_NT;
    g_fake.major = machine.major;
    g_fake.minor = machine.minor;
    FakeSetArchitecture(kFakePlace1, machine.architecture);

    // Windows' command line ends at its first 0.
    std::string bytes = input.Rest();
    std::u16string line;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t unit = (char16_t)((uint8_t)bytes[i] | (uint8_t)bytes[i + 1] << 8);
        if (unit == 0)
            break;
        line += unit;
    }
    FakeSetCommandLineW(line);

    WinMain(nullptr, nullptr, (LPSTR) "", SW_SHOW);

    size_t folder;
    std::u16string path = ProgramPath(line, &folder);
    const Served* row = FindServed(machine.code);
    bool fits = row != nullptr && folder + strlen(row->path) <= 255;
    FUZZ_CHECK(g_fake.launches.size() == (fits ? 1u : 0u),
               fits ? "a path that fits was not launched once" : "launched without a row or past 255");
    if (!g_fake.launches.empty()) {
        FUZZ_CHECK(g_fake.launches[0].wide, "NT launched by the ANSI call");
        const std::u16string& file = g_fake.launches[0].fileW;
        FUZZ_CHECK(file.size() <= 255, "the launch path is longer than 255 code units");
        std::u16string installer(row->path, row->path + strlen(row->path));
        size_t relative = file.size() - installer.size();
        FUZZ_CHECK(file.size() >= installer.size() && file.compare(relative, installer.size(), installer) == 0,
                   "the launch path does not end in the system's installer");
        FUZZ_CHECK(relative == folder && path.compare(0, folder, file, 0, folder) == 0,
                   "the launch path does not begin with the program's folder, up to its last backslash");
    }
    CheckBoxes(row, !g_fake.launches.empty(), g_fake.shellExecuteResult);
    return 0;
}
