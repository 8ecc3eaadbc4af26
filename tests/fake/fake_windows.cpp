// A fake of the Windows calls the launcher makes, linked in place of the real
// ones: it answers as Windows documents and writes down what was asked.
#include "fake_windows.h"

#include <cstdio>
#include <cstring>
#include <strings.h>
#include <memory>

FakeWindows g_fake;

const char kFakePlace1[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const char kFakePlace2[] = "SYSTEM\\ControlSet002\\Control\\Session Manager\\Environment";

const char kFakeSetDefaultDllDirectories[] = "SetDefaultDllDirectories";
const char kFakeSetDllDirectoryA[] = "SetDllDirectoryA";

// Stand in for the modules' images: a handle is the address of an image.
static char g_kernel32Image, g_shell32Image, g_loadedImage;

void FakeReset()
{
    g_fake = FakeWindows();
}

void FakeSetArchitecture(const char* place, const char* value)
{
    FakeKey& key = g_fake.keys[place];
    key.hasValue = true;
    key.value.assign(value, strlen(value) + 1);
}

void FakeSetCommandLineW(const std::u16string& line)
{
    g_fake.commandLineW = line;
    g_fake.commandLine.clear();
    for (size_t i = 0; i < line.size(); i++) {
        char16_t c = line[i];
        bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < line.size() && line[i + 1] >= 0xDC00 &&
                    line[i + 1] <= 0xDFFF;
        if (pair)
            i++;   // one character, one "?"
        // Code page 1252 holds ASCII and, at the same values, U+00A0 to U+00FF.
        g_fake.commandLine += c < 0x80 || (c >= 0xA0 && c <= 0xFF) ? (char)c : '?';
    }
}

std::string FakeUtf8(const std::u16string& text)
{
    std::string utf8;
    for (size_t i = 0; i < text.size(); i++) {
        unsigned long c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            utf8 += (char)c;
        } else if (c < 0x800) {
            utf8 += (char)(0xC0 | c >> 6);
            utf8 += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            utf8 += (char)(0xE0 | c >> 12);
            utf8 += (char)(0x80 | (c >> 6 & 0x3F));
            utf8 += (char)(0x80 | (c & 0x3F));
        } else {
            utf8 += (char)(0xF0 | c >> 18);
            utf8 += (char)(0x80 | (c >> 12 & 0x3F));
            utf8 += (char)(0x80 | (c >> 6 & 0x3F));
            utf8 += (char)(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

std::vector<std::string> FakeBoxTexts()
{
    std::vector<std::string> texts;
    for (const FakeBox& box : g_fake.boxes)
        texts.push_back(box.text);
    return texts;
}

// Handles are the address of the key's entry, so a close can be checked.
static FakeKey* KeyFromHandle(HKEY key)
{
    for (auto& entry : g_fake.keys)
        if ((HKEY)&entry.second == key)
            return &entry.second;
    return nullptr;
}

static std::string Hex(DWORD value)
{
    char text[16];
    snprintf(text, sizeof text, "%#x", (unsigned)value);
    return text;
}

// What GetProcAddress hands out for the exports a test says kernel32 has.
static BOOL WINAPI FakeSetDefaultDllDirectories(DWORD flags)
{
    g_fake.calls.push_back(std::string(kFakeSetDefaultDllDirectories) + " " + Hex(flags));
    return g_fake.setDefaultDllDirectoriesResult;
}

static BOOL WINAPI FakeSetDllDirectoryA(LPCSTR path)
{
    g_fake.calls.push_back(std::string(kFakeSetDllDirectoryA) + " " +
                           (path ? "\"" + std::string(path) + "\"" : "(null)"));
    return g_fake.setDllDirectoryResult;
}

// What GetProcAddress hands out for ShellExecuteW: the same as ShellExecuteA.
static HINSTANCE WINAPI FakeShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                          LPCWSTR directory, INT show)
{
    std::u16string wideFile = file ? file : u"(null)";
    g_fake.calls.push_back("ShellExecuteW " + FakeUtf8(wideFile));
    g_fake.launches.push_back({owner, true, verb ? FakeUtf8(verb) : "(null)", FakeUtf8(wideFile), wideFile,
                               parameters != nullptr, directory != nullptr, show});
    return (HINSTANCE)g_fake.shellExecuteResult;
}

extern "C" {

LPSTR WINAPI GetCommandLineA(void)
{
    // A buffer of exactly the line's size, so that the sanitizers catch a
    // read past its terminator.
    static std::unique_ptr<char[]> line;
    g_fake.calls.push_back("GetCommandLineA");
    line.reset(new char[g_fake.commandLine.size() + 1]);
    memcpy(line.get(), g_fake.commandLine.c_str(), g_fake.commandLine.size() + 1);
    return line.get();
}

LPWSTR WINAPI GetCommandLineW(void)
{
    static std::unique_ptr<WCHAR[]> line;
    g_fake.calls.push_back("GetCommandLineW");
    std::u16string wide = g_fake.commandLineW;
    if (wide.empty())
        for (char c : g_fake.commandLine)
            wide += (char16_t)(BYTE)c;
    line.reset(new WCHAR[wide.size() + 1]);
    memcpy(line.get(), wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return line.get();
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    DWORD size = info->dwOSVersionInfoSize;
    g_fake.calls.push_back("GetVersionExA " + std::to_string(size));

    const BYTE* bytes = (const BYTE*)info;
    bool zeroed = size >= sizeof(DWORD);
    for (DWORD i = sizeof(DWORD); zeroed && i < size; i++)
        zeroed = bytes[i] == 0;
    g_fake.recordWasZeroed.push_back(zeroed);

    bool accepted = (size == sizeof(OSVERSIONINFOEXA) && g_fake.acceptsExtendedRecord)
                 || (size == sizeof(OSVERSIONINFOA) && g_fake.acceptsPlainRecord);
    if (!accepted)
        return FALSE;   // ERROR_INSUFFICIENT_BUFFER on Windows; the launcher does not ask
    const std::string& fields = size == sizeof(OSVERSIONINFOA) ? g_fake.plainRecordBytes
                                                               : g_fake.extendedRecordBytes;
    if (!fields.empty()) {
        // Windows fills every field of the size it was given, no more.
        BYTE* out = (BYTE*)info + sizeof(DWORD);
        size_t room = size - sizeof(DWORD);
        memset(out, 0, room);
        memcpy(out, fields.data(), fields.size() < room ? fields.size() : room);
        return TRUE;
    }
    info->dwMajorVersion = g_fake.major;
    info->dwMinorVersion = g_fake.minor;
    info->dwBuildNumber = 0;
    info->dwPlatformId = g_fake.platformId;
    return TRUE;
}

DWORD WINAPI GetVersion(void)
{
    g_fake.calls.push_back("GetVersion");
    // The major version in the low byte, the minor in the next; the top bit
    // marks the releases that are not NT. The build number stays 0.
    DWORD version = (g_fake.major & 0xFF) | (g_fake.minor & 0xFF) << 8;
    if (g_fake.platformId != VER_PLATFORM_WIN32_NT)
        version |= 0x80000000u;
    return version;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name)
{
    g_fake.calls.push_back(std::string("GetModuleHandleA ") + (name ? name : "(null)"));
    if (name != nullptr && (strcasecmp(name, "kernel32") == 0 || strcasecmp(name, "kernel32.dll") == 0))
        return (HMODULE)&g_kernel32Image;
    if (name != nullptr && (strcasecmp(name, "shell32") == 0 || strcasecmp(name, "shell32.dll") == 0))
        return (HMODULE)&g_shell32Image;   // loaded at start, for ShellExecuteA
    return nullptr;   // the launcher asks for no other module
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name)
{
    g_fake.calls.push_back(std::string("GetProcAddress ") + name);
    // Through void (*)(void), the type that converts to any other function's.
    typedef void (*AnyFunction)(void);
    if (module == (HMODULE)&g_shell32Image && strcmp(name, "ShellExecuteW") == 0 && g_fake.hasShellExecuteW)
        return (FARPROC)(AnyFunction)FakeShellExecuteW;
    if (module != (HMODULE)&g_kernel32Image || !g_fake.kernelExports.count(name))
        return nullptr;
    if (strcmp(name, kFakeSetDefaultDllDirectories) == 0)
        return (FARPROC)(AnyFunction)FakeSetDefaultDllDirectories;
    if (strcmp(name, kFakeSetDllDirectoryA) == 0)
        return (FARPROC)(AnyFunction)FakeSetDllDirectoryA;
    return nullptr;
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    g_fake.calls.push_back("GetSystemDirectoryA " + std::to_string(size));
    const std::string& folder = g_fake.systemFolder;
    if (folder.empty())
        return 0;
    if (folder.size() < size) {
        memcpy(buffer, folder.c_str(), folder.size() + 1);
        return (UINT)folder.size();
    }
    // Too small: the size it would take, terminator included. Windows says
    // nothing of the buffer; leave it full and unterminated, the likeliest
    // way for it to mislead.
    memcpy(buffer, folder.data(), size);
    return (UINT)folder.size() + 1;
}

HMODULE WINAPI LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags)
{
    g_fake.calls.push_back(std::string("LoadLibraryExA ") + fileName + " " + Hex(flags));
    g_fake.loaded.push_back(fileName);
    if (file != nullptr)
        return nullptr;   // reserved; Windows refuses anything else
    return (HMODULE)&g_loadedImage;
}

BOOL WINAPI IsDBCSLeadByte(BYTE c)
{
    switch (g_fake.codePage) {
    case 932:
        return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    case 936: case 949: case 950:
        return c >= 0x81 && c <= 0xFE;
    default:
        return FALSE;
    }
}

LONG WINAPI RegOpenKeyA(HKEY root, LPCSTR subKey, PHKEY result)
{
    g_fake.calls.push_back(std::string("RegOpenKeyA ") + subKey);
    auto found = g_fake.keys.find(subKey);
    if (root != HKEY_LOCAL_MACHINE || found == g_fake.keys.end())
        return ERROR_FILE_NOT_FOUND;
    if (found->second.openResult != ERROR_SUCCESS)
        return found->second.openResult;
    *result = (HKEY)&found->second;
    g_fake.openKeys++;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY handle, LPCSTR name, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD size)
{
    g_fake.calls.push_back(std::string("RegQueryValueExA ") + name);
    g_fake.capacities.push_back(size ? *size : 0);
    FakeKey* key = KeyFromHandle(handle);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    if (reserved != nullptr || strcmp(name, "PROCESSOR_ARCHITECTURE") != 0 || !key->hasValue)
        return ERROR_FILE_NOT_FOUND;
    if (key->queryResult != ERROR_SUCCESS)
        return key->queryResult;

    DWORD stored = (DWORD)key->value.size();
    if (type != nullptr)
        *type = key->valueType;
    if (data != nullptr && stored > *size) {
        // Windows leaves the buffer undefined here; leave it holding the
        // value's first bytes, the likeliest way for it to mislead.
        memcpy(data, key->value.data(), *size);
        *size = stored;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr)
        memcpy(data, key->value.data(), stored);
    *size = stored;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY handle)
{
    g_fake.calls.push_back("RegCloseKey");
    if (KeyFromHandle(handle) == nullptr) {
        g_fake.badCloses++;
        return ERROR_INVALID_HANDLE;
    }
    g_fake.openKeys--;
    return ERROR_SUCCESS;
}

HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                               LPCSTR directory, INT show)
{
    g_fake.calls.push_back(std::string("ShellExecuteA ") + file);
    g_fake.launches.push_back({owner, false, verb ? verb : "(null)", file, u"", parameters != nullptr,
                               directory != nullptr, show});
    return (HINSTANCE)g_fake.shellExecuteResult;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    g_fake.calls.push_back(std::string("MessageBoxA ") + text);
    g_fake.boxes.push_back({owner, text, caption, type});
    return 1;   // IDOK
}

}
