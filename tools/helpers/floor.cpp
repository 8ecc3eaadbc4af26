// The floor of tools/dev/bench.py: a program that does nothing but open the
// program its command line names with ShellExecuteA, as the launcher opens
// an installer, so that the launcher's own cost shows against it. Like the
// launcher it carries no C runtime, which would load a DLL of its own.
#include <windows.h>
#include <shellapi.h>

extern "C" void WINAPI FloorStart(void)
{
    LPCSTR line = GetCommandLineA();
    if (*line == '"') {
        for (line++; *line && *line != '"'; line++)
            ;
        if (*line)
            line++;
    } else {
        while (*line && *line != ' ' && *line != '\t')
            line++;
    }
    while (*line == ' ' || *line == '\t')
        line++;
    ShellExecuteA(NULL, "open", line, NULL, NULL, SW_SHOW);
    ExitProcess(0);
}
