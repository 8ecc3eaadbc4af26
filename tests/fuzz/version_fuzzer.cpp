// Fuzzes the Windows version classification: both version records accepted
// or refused, every field of each arbitrary, on an arbitrary registry.
//
// Input: a byte (1 extended record accepted, 2 plain record accepted), the
// registry script (see ScriptRegistry), a length byte and the extended
// record's bytes after its size field, the same for the plain record, and
// one byte the architecture flag holds beforehand.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "../../detect/detect.h"
#include "fuzz_support.h"

namespace {

// The releases as Windows reports them, written out from their version
// numbers rather than from the classifier: the platform id, ranges of major
// and minor version, and which processors the row covers.
enum Processor { Any, X86, NotX86 };
const DWORD kMax = 0xFFFFFFFF;
const struct Release {
    DWORD     platform, majorLow, majorHigh, minorLow, minorHigh;
    Processor processor;
    int       code;
} kReleases[] = {
    {0, 0, kMax, 0, kMax, Any, 32},       // Win32s
    {1, 0, 3, 0, kMax, Any, 34},          // 9x before 4
    {1, 4, kMax, 0, 89, Any, 36},         // 95, 98
    {1, 4, kMax, 90, kMax, Any, 38},      // Me
    {2, 0, 4, 0, kMax, Any, 40},          // NT 4 and earlier
    {2, 5, 5, 0, 0, Any, 42},             // 2000
    {2, 5, 5, 1, 1, Any, 44},             // XP
    {2, 5, 5, 2, kMax, X86, 46},          // NT 5.2
    {2, 5, 5, 2, kMax, NotX86, 48},
    {2, 6, 6, 0, kMax, X86, 50},          // NT 6
    {2, 6, 6, 0, kMax, NotX86, 52},
};

// Field n (0 major, 1 minor, 2 build, 3 platform) of a scripted record.
DWORD Field(const std::string& record, size_t n)
{
    DWORD value;
    memcpy(&value, record.data() + 4 * n, sizeof value);
    return value;
}

const Release* Classify(const std::string& record, bool isX86)
{
    DWORD major = Field(record, 0), minor = Field(record, 1), platform = Field(record, 3);
    for (const Release& release : kReleases)
        if (release.platform == platform && major >= release.majorLow && major <= release.majorHigh
            && minor >= release.minorLow && minor <= release.minorHigh
            && (release.processor == Any || (release.processor == X86) == isX86))
            return &release;
    return nullptr;
}

std::string RecordBytes(ByteReader& input)
{
    std::string bytes = input.Bytes(input.Byte());
    bytes.resize(std::max<size_t>(bytes.size(), 16), '\0');   // the four numbers always scripted
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FakeReset();
    ByteReader input(data, size);
    uint8_t accepts = input.Byte();
    g_fake.acceptsExtendedRecord = (accepts & 1) != 0;
    g_fake.acceptsPlainRecord = (accepts & 2) != 0;
    RegistryScript registry = ScriptRegistry(input);
    g_fake.extendedRecordBytes = RecordBytes(input);
    g_fake.plainRecordBytes = RecordBytes(input);
    g_is64Bit = (int8_t)input.Byte();
    const FakeWindows scripted = g_fake;

    OsVersionCode code = GetOsVersionCode();

    bool anyRecord = g_fake.acceptsExtendedRecord || g_fake.acceptsPlainRecord;
    const Release* release = nullptr;
    if (anyRecord)
        release = Classify(g_fake.acceptsExtendedRecord ? g_fake.extendedRecordBytes
                                                        : g_fake.plainRecordBytes, registry.isX86);
    if (!anyRecord)
        FUZZ_CHECK(code == 0, "both records refused, yet the code is not 0");
    else if (release != nullptr)
        FUZZ_CHECK(code == release->code, "the code is not the release's");
    else
        FUZZ_CHECK(FindServed(code) == nullptr, "a system of no known release got a served code");
    FUZZ_CHECK(g_is64Bit == (registry.isX86 ? 0 : 1), "the flag does not describe the registry");

    // The probe, once, and then the extended record, then the plain one only
    // when the extended one was refused, each zero-filled.
    CheckProbeRanOnce(registry);
    auto isQuery = [](const std::string& call) { return call.rfind("GetVersionExA", 0) == 0; };
    auto firstQuery = std::find_if(g_fake.calls.begin(), g_fake.calls.end(), isQuery);
    std::vector<std::string> queries;
    std::copy_if(firstQuery, g_fake.calls.end(), std::back_inserter(queries), isQuery);
    for (auto call = firstQuery; call != g_fake.calls.end(); ++call)
        FUZZ_CHECK(call->rfind("Reg", 0) != 0, "the registry was read after the version query");
    std::vector<std::string> owed = {"GetVersionExA 156"};
    if (!g_fake.acceptsExtendedRecord)
        owed.push_back("GetVersionExA 148");
    FUZZ_CHECK(queries == owed, "the version queries are not extended, then plain on refusal");
    for (bool zeroed : g_fake.recordWasZeroed)
        FUZZ_CHECK(zeroed, "a version record was not zero-filled");

    // The launcher must read the code the same way: start the served row's
    // installer, or call the system unknown.
    g_fake = scripted;
    WinMain(nullptr, nullptr, (LPSTR) "", SW_SHOW);
    const Served* row = FindServed(code);
    FUZZ_CHECK(g_fake.launches.size() == (row ? 1u : 0u), "launched other than once per served code");
    if (row != nullptr)
        FUZZ_CHECK(g_fake.launches[0].file == row->path, "launched another installer than the code's");
    CheckBoxes(row, row != nullptr, g_fake.shellExecuteResult);
    return 0;
}
