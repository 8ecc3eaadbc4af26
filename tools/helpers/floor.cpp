// The floor of tools/dev/bench.py: a program that does nothing but open the
// program its command line names as the launcher opens an installer (by its
// UTF-16 path on NT, which the benchmark runs), so that the launcher's own
// cost shows against it. Like the launcher it carries no C runtime, which
// would load a DLL of its own.
#include <windows.h>
#include <shellapi.h>

extern "C" void WINAPI FloorStart(void)
{
    LPCWSTR line = GetCommandLineW();
    if (*line == L'"') {
        for (line++; *line && *line != L'"'; line++)
            ;
        if (*line)
            line++;
    } else {
        while (*line && *line != L' ' && *line != L'\t')
            line++;
    }
    while (*line == L' ' || *line == L'\t')
        line++;
    ShellExecuteW(NULL, L"open", line, NULL, NULL, SW_SHOW);
    ExitProcess(0);
}
