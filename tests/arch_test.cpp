// The processor architecture probe against scripted registries.
#include <gtest/gtest.h>

#include "../detect/detect.h"
#include "fake/fake_windows.h"

namespace {

enum PlaceState { Missing, KeyOnly, Value, Refused };

struct Place {
    PlaceState  state;
    std::string value;   // bytes as stored, terminator included when wanted
};

std::string Sz(const std::string& text) { return text + '\0'; }
const std::string kLong = Sz("x86" + std::string(70, 'a'));   // 74 bytes: over 64

void Script(const char* path, const Place& place)
{
    if (place.state == Missing)
        return;
    FakeKey& key = g_fake.keys[path];
    key.hasValue = place.state != KeyOnly;
    key.value = place.value;
    if (place.state == Refused)
        key.queryResult = ERROR_ACCESS_DENIED;
}

struct ProbeRow {
    const char* name;
    Place       place1, place2;
    int         is64Bit;
    bool        opensPlace2;
};

const ProbeRow kProbeRows[] = {
    {"x86 at place 1",               {Value, Sz("x86")},   {Missing, ""},        0, false},
    {"x86 at 1 wins over AMD64 at 2",{Value, Sz("x86")},   {Value, Sz("AMD64")}, 0, false},
    {"AMD64 at 1",                   {Value, Sz("AMD64")}, {Value, Sz("x86")},   1, false},
    {"IA64",                         {Value, Sz("IA64")},  {Missing, ""},        1, false},
    {"ARM64",                        {Value, Sz("ARM64")}, {Missing, ""},        1, false},
    {"x86 prefix",                   {Value, Sz("x86 Family 6")}, {Missing, ""}, 0, false},
    {"capital X86",                  {Value, Sz("X86")},   {Missing, ""},        1, false},
    {"shorter than x86",             {Value, Sz("x8")},    {Missing, ""},        1, false},
    {"empty value",                  {Value, Sz("")},      {Missing, ""},        1, false},
    {"x86 without terminator",       {Value, "x86"},       {Missing, ""},        0, false},
    {"x8 without terminator",        {Value, "x8"},        {Missing, ""},        1, false},
    {"exactly 64 bytes",             {Value, Sz("x86" + std::string(60, 'a'))}, {Missing, ""}, 0, false},
    {"65 bytes at 1, x86 at 2",      {Value, Sz("AMD" + std::string(61, 'a'))}, {Value, Sz("x86")}, 0, true},
    {"no key at 1, x86 at 2",        {Missing, ""},        {Value, Sz("x86")},   0, true},
    {"no value at 1, x86 at 2",      {KeyOnly, ""},        {Value, Sz("x86")},   0, true},
    {"no key at 1, AMD64 at 2",      {Missing, ""},        {Value, Sz("AMD64")}, 1, true},
    {"read refused at 1, x86 at 2",  {Refused, Sz("AMD64")}, {Value, Sz("x86")}, 0, true},
    {"no keys",                      {Missing, ""},        {Missing, ""},        1, true},
    {"keys without values",          {KeyOnly, ""},        {KeyOnly, ""},        1, true},
    {"too long at 1, nothing at 2",  {Value, kLong},       {Missing, ""},        1, true},
    {"too long at 1, x86 at 2",      {Value, kLong},       {Value, Sz("x86")},   0, true},
    {"too long at both",             {Value, kLong},       {Value, kLong},       1, true},
};

TEST(Probe, DecidesFromTheFirstPlaceThatAnswers)
{
    for (const ProbeRow& row : kProbeRows) {
        FakeReset();
        Script(kFakePlace1, row.place1);
        Script(kFakePlace2, row.place2);
        g_is64Bit = !row.is64Bit;   // every probe must set the flag afresh

        DetectProcessorArchitecture();

        EXPECT_EQ(g_is64Bit, row.is64Bit) << row.name;
        std::vector<std::string> opened;
        for (const std::string& call : g_fake.calls)
            if (call.rfind("RegOpenKeyA ", 0) == 0)
                opened.push_back(call.substr(12));
        std::vector<std::string> expected = {kFakePlace1};
        if (row.opensPlace2)
            expected.push_back(kFakePlace2);
        EXPECT_EQ(opened, expected) << row.name;
        for (DWORD capacity : g_fake.capacities)
            EXPECT_EQ(capacity, 64u) << row.name;
        EXPECT_EQ(g_fake.openKeys, 0) << row.name << ": a key was left open";
        EXPECT_EQ(g_fake.badCloses, 0) << row.name << ": a key was closed that was not open";
    }
}

}  // namespace
