// Finds the program's own path in the command line Windows hands the process.
#ifndef LAUNCHER_CMDLINE_H
#define LAUNCHER_CMDLINE_H

#include <windows.h>

// The path is the quoted text up to the closing quote, or else the text up to
// the first blank. Returns its first character; *pathEnd is set one past its
// last character and *folderLength to the length of its folder, trailing
// backslash included (0 when the program was started by its bare name).
LPCSTR FindProgramPath(LPCSTR commandLine, LPCSTR* pathEnd, DWORD* folderLength);

// The same for the command line as NT keeps it, in UTF-16; lengths count
// UTF-16 code units.
LPCWSTR FindProgramPathW(LPCWSTR commandLine, LPCWSTR* pathEnd, DWORD* folderLength);

#endif
