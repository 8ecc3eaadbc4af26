// Finds the program's own path in the command line Windows hands the process.
#include "cmdline.h"

LPCSTR FindProgramPath(LPCSTR commandLine, LPCSTR* pathEnd, DWORD* folderLength)
{
    BOOL quoted = commandLine[0] == '"';
    LPCSTR path = quoted ? commandLine + 1 : commandLine;
    LPCSTR folderEnd = path;
    LPCSTR c = path;
    for (; *c; c++) {
        if (quoted ? *c == '"' : (*c == ' ' || *c == '\t'))
            break;
        if (*c == '\\')
            folderEnd = c + 1;
        // In a double-byte code page 0x5C also serves as the second byte of
        // many characters (the yen-looking ones of code page 932 among them);
        // that byte is no backslash, so step over whole characters.
        else if (IsDBCSLeadByte((BYTE)*c) && c[1])
            c++;
    }
    *pathEnd = c;
    *folderLength = (DWORD)(folderEnd - path);
    return path;
}

// UTF-16 needs no such care: the halves of a surrogate pair lie in
// 0xD800-0xDFFF, and no other character has a code unit of 0x5C.
LPCWSTR FindProgramPathW(LPCWSTR commandLine, LPCWSTR* pathEnd, DWORD* folderLength)
{
    BOOL quoted = commandLine[0] == '"';
    LPCWSTR path = quoted ? commandLine + 1 : commandLine;
    LPCWSTR folderEnd = path;
    LPCWSTR c = path;
    for (; *c; c++) {
        if (quoted ? *c == '"' : (*c == ' ' || *c == '\t'))
            break;
        if (*c == '\\')
            folderEnd = c + 1;
    }
    *pathEnd = c;
    *folderLength = (DWORD)(folderEnd - path);
    return path;
}
