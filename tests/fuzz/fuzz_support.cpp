// What the fuzz targets share: the script reader, the failure report, the
// registry script with the answer the probe owes it, and the owed boxes.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

void FuzzFail(const char* file, int line, const char* condition, const std::string& what)
{
    fprintf(stderr, "%s:%d: property broken: %s\n  %s\n", file, line, what.c_str(), condition);
    abort();
}

uint8_t ByteReader::Byte()
{
    if (size_ == 0)
        return 0;
    size_--;
    return *data_++;
}

DWORD ByteReader::Dword()
{
    DWORD value = 0;
    for (unsigned shift = 0; shift < 32; shift += 8)
        value |= (DWORD)Byte() << shift;
    return value;
}

std::string ByteReader::Bytes(size_t count)
{
    count = std::min(count, size_);
    std::string bytes((const char*)data_, count);
    data_ += count;
    size_ -= count;
    return bytes;
}

std::string ByteReader::Rest()
{
    return Bytes(size_);
}

// Flag bits of a place's first byte.
enum : uint8_t { KeyExists = 1, OpenFails = 2, HasValue = 4, ReadFails = 8, OtherType = 16 };

// Scripts one place; returns whether a read offering 64 bytes there
// delivers the value, and then the value.
static bool ScriptPlace(ByteReader& input, const char* place, std::string* delivered)
{
    uint8_t flags = input.Byte();
    FakeKey key;
    if (flags & OpenFails)
        key.openResult = (LONG)input.Dword();
    key.hasValue = (flags & HasValue) != 0;
    if (flags & ReadFails)
        key.queryResult = (LONG)input.Dword();
    if (flags & OtherType)
        key.valueType = input.Dword();
    key.value = input.Bytes(input.Byte());
    if (!(flags & KeyExists))
        return false;
    g_fake.keys[place] = key;

    // Windows hands over the stored bytes as they are, terminator or not,
    // of whatever type, when they fit; anything else is no answer.
    bool delivers = key.openResult == ERROR_SUCCESS && key.hasValue
                 && key.queryResult == ERROR_SUCCESS && key.value.size() <= 64;
    if (delivers)
        *delivered = key.value;
    return delivers;
}

RegistryScript ScriptRegistry(ByteReader& input)
{
    std::string value1, value2;
    bool from1 = ScriptPlace(input, kFakePlace1, &value1);
    bool from2 = ScriptPlace(input, kFakePlace2, &value2);
    const std::string* value = from1 ? &value1 : from2 ? &value2 : nullptr;
    return {from1, value != nullptr && value->compare(0, 3, "x86") == 0};
}

static long CountOpens(const char* place)
{
    return std::count(g_fake.calls.begin(), g_fake.calls.end(), std::string("RegOpenKeyA ") + place);
}

void CheckProbeRanOnce(const RegistryScript& script)
{
    FUZZ_CHECK(!g_fake.calls.empty() && g_fake.calls[0] == std::string("RegOpenKeyA ") + kFakePlace1,
               "place 1 was not tried first");
    FUZZ_CHECK(CountOpens(kFakePlace1) == 1, "place 1 was not tried exactly once");
    FUZZ_CHECK(CountOpens(kFakePlace2) == (script.answeredAt1 ? 0 : 1),
               script.answeredAt1 ? "place 2 was tried after place 1 answered"
                                  : "place 2 was not tried once after place 1 gave no answer");
    for (DWORD capacity : g_fake.capacities)
        FUZZ_CHECK(capacity == 64, "a read offered other than 64 bytes");
    FUZZ_CHECK(g_fake.openKeys == 0, "a key was left open");
    FUZZ_CHECK(g_fake.badCloses == 0, "a handle that was never opened was closed");
}

const Served kServed[6] = {
    {36, "Autoinst\\win98SE\\inst98.exe", nullptr},
    {38, "Autoinst\\winme\\instme.exe", nullptr},
    {42, "Autoinst\\win2k\\inst2k.exe", nullptr},
    {44, "Autoinst\\winxp\\instxp.exe", nullptr},
    {50, "Autoinst\\winvista\\Vistax86\\instvs32.exe", "VISTA32"},
    {52, "Autoinst\\winvista\\Vistax64\\instvs64.exe", "VISTA64"},
};

const Served* FindServed(int code)
{
    for (const Served& row : kServed)
        if (row.code == code)
            return &row;
    return nullptr;
}

void CheckBoxes(const Served* row, bool launched, INT_PTR result)
{
    std::vector<std::string> expected;
    if (row == nullptr)
        expected.push_back("Unknow OS version");
    else if (row->notice != nullptr)
        expected.push_back(row->notice);
    if (!launched || result <= 32)
        expected.push_back("Exec fail");
    FUZZ_CHECK(FakeBoxTexts() == expected, "the boxes shown are not the ones owed");
    for (const FakeBox& box : g_fake.boxes)
        FUZZ_CHECK(box.caption == "INSTALL", "a box without the caption INSTALL");
}
