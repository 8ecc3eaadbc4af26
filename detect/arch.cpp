// Decides whether the machine counts as x86 from the processor architecture
// that Windows keeps among the system environment variables.
#include <windows.h>
#include "detect.h"

int g_is64Bit;

// The live control set first, then a second control set for a system whose
// current one does not hold the value.
static const char kEnvironmentKey1[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
static const char kEnvironmentKey2[] = "SYSTEM\\ControlSet002\\Control\\Session Manager\\Environment";

// Returns TRUE when the value could be read at this place, and then tells in
// *isX86 whether it begins with "x86". A failed read says nothing: Windows
// may leave part of an oversized value in the buffer, and that is not an
// answer.
static BOOL ReadArchitectureAt(LPCSTR keyPath, BOOL* isX86)
{
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath, &key) != ERROR_SUCCESS)
        return FALSE;

    // "xx" can never be taken for x86, and neither can a value shorter than
    // three bytes that lands on it.
    BYTE value[64] = "xx";
    DWORD type;
    DWORD size = sizeof value;
    LONG result = RegQueryValueExA(key, "PROCESSOR_ARCHITECTURE", NULL, &type, value, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return FALSE;

    // The type is not checked: only bytes that spell x86 make an x86
    // machine, whatever type they were stored as.
    *isX86 = value[0] == 'x' && value[1] == '8' && value[2] == '6';
    return TRUE;
}

void DetectProcessorArchitecture(void)
{
    // Only a value that says x86 makes an x86 machine; no answer at either
    // place counts as 64-bit.
    BOOL isX86 = FALSE;
    if (!ReadArchitectureAt(kEnvironmentKey1, &isX86))
        ReadArchitectureAt(kEnvironmentKey2, &isX86);
    g_is64Bit = isX86 ? 0 : 1;
}
