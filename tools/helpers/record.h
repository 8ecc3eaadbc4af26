// Appends one line to the file an environment variable names, so that the
// programs of the sample kit can tell a test harness on the host what happened.
#ifndef KIT_RECORD_H
#define KIT_RECORD_H

#include <windows.h>

// A field in UTF-8, the record's encoding, from the UTF-16 form Windows keeps:
// the ANSI form has a "?" for every character that the code page lacks, and
// the harness could not tell which path it was. "?" when it does not fit.
inline LPCSTR Utf8Field(LPCWSTR text, LPSTR buffer, int size)
{
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, size, NULL, NULL) == 0)
        lstrcpyA(buffer, "?");
    return buffer;
}

// Fields are joined with tabs: none of the paths or command lines a kit run
// produces holds one, and the harness splits on them.
inline void AppendRecord(LPCSTR variable, LPCSTR const* fields, int count)
{
    char fileName[MAX_PATH];
    DWORD length = GetEnvironmentVariableA(variable, fileName, sizeof fileName);
    if (length == 0 || length >= sizeof fileName)
        return;

    // FILE_APPEND_DATA alone: each WriteFile lands at the end even if some
    // other run appended in between.
    HANDLE file = CreateFileA(fileName, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;

    // One write for the whole line, so that the reader never sees half of it.
    char line[4096];
    int used = 0;
    for (int i = 0; i < count; i++) {
        for (LPCSTR c = fields[i]; *c && used < (int)sizeof line - 3; c++)
            line[used++] = *c;
        line[used++] = i + 1 < count ? '\t' : '\n';
    }
    DWORD written;
    WriteFile(file, line, (DWORD)used, &written, NULL);
    CloseHandle(file);
}

#endif
