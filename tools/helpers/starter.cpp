// Starts a program with exactly the command line and current folder a test
// asks for, which neither wine nor a shell would pass through unchanged, and
// records the program's exit code in full (a Unix exit status keeps 8 bits)
// and how long it ran, without Wine's own start-up. It first puts the
// registry in the state the run asks for: done here, it costs no Wine
// process of its own (regedit) per run. With STARTER_SERVE set it does so
// for one run after another, as its standard input asks.
#include <windows.h>
#include "record.h"

// Reads an environment variable into a buffer; FALSE when it is unset or
// does not fit.
static BOOL ReadVariable(LPCSTR name, LPSTR buffer, DWORD capacity)
{
    DWORD length = GetEnvironmentVariableA(name, buffer, capacity);
    return length != 0 && length < capacity;
}

static BOOL ReadVariableW(LPCWSTR name, LPWSTR buffer, DWORD capacity)
{
    DWORD length = GetEnvironmentVariableW(name, buffer, capacity);
    return length != 0 && length < capacity;
}

static HKEY RootOf(LPSTR* path)
{
    static const struct { LPCSTR name; HKEY key; } roots[] = {
        {"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER}, {"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE}};
    for (const auto& root : roots) {
        int length = lstrlenA(root.name);
        if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, *path, length, root.name, length) == CSTR_EQUAL) {
            *path += length;
            return root.key;
        }
    }
    return NULL;
}

// One change, its fields split on tabs: "set KEY NAME TEXT", "dword KEY NAME
// NUMBER", "delete KEY NAME" (a value; absent is fine) or "drop KEY" (the key
// and all below it; absent is fine). The 64-bit view throughout, as a 64-bit
// regedit writes it.
static LONG Apply(LPSTR line)
{
    LPSTR fields[4] = {};
    int count = 0;
    for (LPSTR c = line; count < 4; c++) {
        fields[count++] = c;
        while (*c && *c != '\t')
            c++;
        if (!*c)
            break;
        *c = 0;
    }
    LPSTR path = fields[1];
    HKEY root = path ? RootOf(&path) : NULL;
    if (!root)
        return ERROR_INVALID_PARAMETER;
    const REGSAM view = KEY_WOW64_64KEY;
    if (lstrcmpA(fields[0], "drop") == 0 && count == 2) {
        LONG result = RegDeleteTreeA(root, path);
        if (result == ERROR_SUCCESS)
            result = RegDeleteKeyExA(root, path, view, 0);
        return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
    }
    if (count < 3)
        return ERROR_INVALID_PARAMETER;
    HKEY key;
    LONG result = RegCreateKeyExA(root, path, 0, NULL, 0, KEY_SET_VALUE | view, NULL, &key, NULL);
    if (result != ERROR_SUCCESS)
        return result;
    if (lstrcmpA(fields[0], "delete") == 0 && count == 3) {
        result = RegDeleteValueA(key, fields[2]);
        if (result == ERROR_FILE_NOT_FOUND)
            result = ERROR_SUCCESS;
    } else if (lstrcmpA(fields[0], "set") == 0 && count == 4) {
        result = RegSetValueExA(key, fields[2], 0, REG_SZ, (const BYTE*)fields[3], lstrlenA(fields[3]) + 1);
    } else if (lstrcmpA(fields[0], "dword") == 0 && count == 4) {
        DWORD number = 0;
        for (LPCSTR c = fields[3]; *c >= '0' && *c <= '9'; c++)
            number = number * 10 + (*c - '0');
        result = RegSetValueExA(key, fields[2], 0, REG_DWORD, (const BYTE*)&number, sizeof number);
    } else {
        result = ERROR_INVALID_PARAMETER;
    }
    RegCloseKey(key);
    return result;
}

// The changes of STARTER_REGISTRY, one a line, in order; FALSE (and a record
// of the change that failed) at the first that fails, so that no run goes on
// in a state it did not ask for.
static BOOL SetRegistry()
{
    static char changes[16384];
    DWORD length = GetEnvironmentVariableA("STARTER_REGISTRY", changes, sizeof changes);
    if (length == 0)
        return TRUE;
    if (length >= sizeof changes) {
        LPCSTR fields[] = {"notset", "(too long)", "0"};
        AppendRecord("KIT_RECORD", fields, 3);
        return FALSE;
    }
    for (LPSTR line = changes; *line;) {
        LPSTR end = line;
        while (*end && *end != '\n')
            end++;
        char next = *end;
        *end = 0;
        char copy[4096];
        lstrcpynA(copy, line, sizeof copy);
        LONG result = Apply(line);
        if (result != ERROR_SUCCESS) {
            char code[16];
            wsprintfA(code, "%ld", result);
            LPCSTR fields[] = {"notset", copy, code};
            AppendRecord("KIT_RECORD", fields, 3);
            return FALSE;
        }
        line = next ? end + 1 : end;
    }
    return TRUE;
}

// One run: the registry first, then the program, its end recorded.
static int RunOnce(LPCWSTR program, LPWSTR commandLine, LPCWSTR folder)
{
    if (!SetRegistry())
        return 4;

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    char code[16];
    LARGE_INTEGER frequency, started, ended;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    if (!CreateProcessW(program, commandLine, NULL, NULL, FALSE, 0, NULL, folder, &startup, &process)) {
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

// Runs after run as standard input asks, until it ends, so that a session
// starts this Wine process once rather than once a run. A request is lines
// ended by an empty one: the program, the command line, the current folder,
// the record's path, then the registry changes, one a line; in UTF-8 (the
// harness sends only ASCII).
static int Serve()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    static char buffer[32768];
    DWORD used = 0;
    for (;;) {
        LPSTR end = NULL;
        for (DWORD i = 0; i + 1 < used && !end; i++)
            if (buffer[i] == '\n' && buffer[i + 1] == '\n')
                end = buffer + i;
        if (!end) {
            DWORD got = 0;
            if (used >= sizeof buffer - 1 || !ReadFile(input, buffer + used, sizeof buffer - 1 - used, &got, NULL) ||
                got == 0)
                return 0;
            used += got;
            continue;
        }
        *end = 0;
        LPSTR fields[4], line = buffer;
        for (int i = 0; i < 4; i++) {
            fields[i] = line;
            while (*line && *line != '\n')
                line++;
            if (*line)
                *line++ = 0;
        }
        SetEnvironmentVariableA("KIT_RECORD", fields[3]);
        SetEnvironmentVariableA("STARTER_REGISTRY", *line ? line : NULL);
        WCHAR program[1024], commandLine[4096], folder[1024];
        if (MultiByteToWideChar(CP_UTF8, 0, fields[0], -1, program, 1024) &&
            MultiByteToWideChar(CP_UTF8, 0, fields[1], -1, commandLine, 4096) &&
            MultiByteToWideChar(CP_UTF8, 0, fields[2], -1, folder, 1024)) {
            RunOnce(program, commandLine, folder);
        } else {
            LPCSTR failure[] = {"notstarted", "122"};   // ERROR_INSUFFICIENT_BUFFER: a field too long
            AppendRecord("KIT_RECORD", failure, 2);
        }
        DWORD rest = used - (DWORD)(end + 2 - buffer);
        MoveMemory(buffer, end + 2, rest);
        used = rest;
    }
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char serve[4];
    if (ReadVariable("STARTER_SERVE", serve, sizeof serve))
        return Serve();
    // The program's path and its command line come apart on purpose: the
    // command line is what the program reads to find its own folder.
    WCHAR program[1024], commandLine[4096], folder[1024];
    if (!ReadVariableW(L"STARTER_PROGRAM", program, 1024) ||
        !ReadVariableW(L"STARTER_COMMAND_LINE", commandLine, 4096) ||
        !ReadVariableW(L"STARTER_FOLDER", folder, 1024))
        return 2;
    return RunOnce(program, commandLine, folder);
}
