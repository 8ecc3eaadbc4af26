// Fuzzes the processor architecture probe with arbitrary registries: keys
// present or refused, reads failing, values of any type, length and content.
//
// Input: the registry script (see ScriptRegistry), then one byte the flag
// holds before the probe.
#include "../../detect/detect.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FakeReset();
    ByteReader input(data, size);
    RegistryScript script = ScriptRegistry(input);
    g_is64Bit = (int8_t)input.Byte();   // a stale flag must not survive

    DetectProcessorArchitecture();

    FUZZ_CHECK(g_is64Bit == (script.isX86 ? 0 : 1),
               script.isX86 ? "a delivered value begins with x86, yet the flag is not 0"
                            : "no delivered value begins with x86, yet the flag is not 1");
    CheckProbeRanOnce(script);
    return 0;
}
