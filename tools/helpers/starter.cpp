// Starts a program with exactly the command line and current folder a test
// asks for, which neither wine nor a shell would pass through unchanged, and
// records the program's exit code in full (a Unix exit status keeps 8 bits)
// and how long it ran, without Wine's own start-up.
#include <windows.h>
#include "record.h"

// Reads an environment variable into a buffer; FALSE when it is unset or
// does not fit.
static BOOL ReadVariable(LPCSTR name, LPSTR buffer, DWORD capacity)
{
    DWORD length = GetEnvironmentVariableA(name, buffer, capacity);
    return length != 0 && length < capacity;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // The program's path and its command line come apart on purpose: the
    // command line is what the program reads to find its own folder.
    char program[1024], commandLine[4096], folder[1024];
    if (!ReadVariable("STARTER_PROGRAM", program, sizeof program) ||
        !ReadVariable("STARTER_COMMAND_LINE", commandLine, sizeof commandLine) ||
        !ReadVariable("STARTER_FOLDER", folder, sizeof folder))
        return 2;

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    char code[16];
    LARGE_INTEGER frequency, started, ended;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    if (!CreateProcessA(program, commandLine, NULL, NULL, FALSE, 0, NULL, folder, &startup, &process)) {
        wsprintfA(code, "%lu", GetLastError());
        LPCSTR fields[] = {"notstarted", code};
        AppendRecord("KIT_RECORD", fields, 2);
        return 3;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    QueryPerformanceCounter(&ended);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    wsprintfA(code, "%lu", exitCode);
    char microseconds[16];
    wsprintfA(microseconds, "%lu", (DWORD)((ended.QuadPart - started.QuadPart) * 1000000 / frequency.QuadPart));
    LPCSTR fields[] = {"exit", code, microseconds};
    AppendRecord("KIT_RECORD", fields, 3);
    return 0;
}
