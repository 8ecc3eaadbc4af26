// The slice of the Windows API the launcher uses, for the host build. Types
// keep their Windows sizes (DWORD and LONG are 32 bits) so the code under
// test does the same arithmetic as on Windows; fake_windows.cpp runs them.
#ifndef FAKE_WINDOWS_H
#define FAKE_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#define WINAPI

typedef int           BOOL;
typedef int           INT;
typedef unsigned int  UINT;
typedef int32_t       LONG;
typedef uint32_t      DWORD;
typedef uint16_t      WORD;
typedef uint8_t       BYTE;
typedef char          CHAR;
// A UTF-16 code unit, as on Windows: wchar_t has 32 bits here.
typedef char16_t      WCHAR;
typedef intptr_t      INT_PTR;
typedef BYTE*         LPBYTE;
typedef DWORD*        LPDWORD;
typedef char*         LPSTR;
typedef const char*   LPCSTR;
typedef WCHAR*        LPWSTR;
typedef const WCHAR*  LPCWSTR;
typedef void*         HANDLE;

typedef struct HINSTANCE__* HINSTANCE;
typedef struct HWND__*      HWND;
typedef struct HKEY__*      HKEY;
typedef struct HINSTANCE__* HMODULE;
typedef INT_PTR (WINAPI* FARPROC)(void);
typedef HKEY*               PHKEY;

#define TRUE  1
#define FALSE 0

#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define ERROR_SUCCESS         0
#define ERROR_FILE_NOT_FOUND  2
#define ERROR_ACCESS_DENIED   5
#define ERROR_INVALID_HANDLE  6
#define ERROR_MORE_DATA       234
#define REG_SZ                1

#define MAX_PATH 260
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008u
#define LOAD_LIBRARY_SEARCH_SYSTEM32  0x00000800u

#define LOBYTE(w) ((BYTE)((w) & 0xFF))
#define HIBYTE(w) ((BYTE)(((w) >> 8) & 0xFF))
#define LOWORD(l) ((WORD)((l) & 0xFFFF))

#define MB_OK          0x00000000u
#define SW_SHOW        5
#define SW_SHOWDEFAULT 10

#define VER_PLATFORM_WIN32s        0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT      2

typedef struct {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR  szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

// Windows spells the common fields out twice; one base serves here.
typedef struct OSVERSIONINFOEXA_ : OSVERSIONINFOA {
    WORD  wServicePackMajor;
    WORD  wServicePackMinor;
    WORD  wSuiteMask;
    BYTE  wProductType;
    BYTE  wReserved;
} OSVERSIONINFOEXA;

static_assert(sizeof(OSVERSIONINFOA) == 148, "Windows' plain version record");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "Windows' extended version record");

extern "C" {
LPSTR     WINAPI GetCommandLineA(void);
LPWSTR    WINAPI GetCommandLineW(void);
BOOL      WINAPI GetVersionExA(LPOSVERSIONINFOA info);
BOOL      WINAPI IsDBCSLeadByte(BYTE testChar);
DWORD     WINAPI GetVersion(void);
HMODULE   WINAPI GetModuleHandleA(LPCSTR moduleName);
FARPROC   WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
UINT      WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);
HMODULE   WINAPI LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags);
LONG      WINAPI RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG      WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                                  LPBYTE data, LPDWORD size);
LONG      WINAPI RegCloseKey(HKEY key);
HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                               LPCSTR directory, INT show);
int       WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandTail, int show);

#endif
