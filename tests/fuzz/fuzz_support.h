// What the fuzz targets share: reading a script from the fuzzer's bytes,
// stopping on a broken property, the scripted registry and the installers.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "fake_windows.h"

// A broken property is a finding like a crash: say which, then abort so that
// libFuzzer keeps the input.
#define FUZZ_CHECK(condition, what) \
    ((condition) ? (void)0 : FuzzFail(__FILE__, __LINE__, #condition, what))
[[noreturn]] void FuzzFail(const char* file, int line, const char* condition, const std::string& what);

// Reads the input front to back; past its end every read yields zeros, so
// that any input, however short, is a complete script.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte();
    DWORD Dword();                   // little-endian, as Windows stores one
    std::string Bytes(size_t count); // fewer when the input runs out
    std::string Rest();
private:
    const uint8_t* data_;
    size_t size_;
};

// What a registry script obliges the probe to: which place answers first,
// and whether that answer begins with "x86".
struct RegistryScript {
    bool answeredAt1;
    bool isX86;
};

// Scripts both places from the input: for each a flag byte (1 key exists,
// 2 open refused + result dword, 4 value present, 8 read refused + result
// dword, 16 other type + type dword), a length byte and the value's bytes.
RegistryScript ScriptRegistry(ByteReader& input);

// Checks one probe's traces against the script: place 1 tried first and
// once, place 2 once exactly when place 1 gave no answer, 64 bytes offered
// at each read, every opened key closed and no other handle.
void CheckProbeRanOnce(const RegistryScript& script);

// The installers of the distribution, by the code the launcher starts each
// for, and the notice shown once it has been started.
struct Served {
    int         code;
    const char* path;
    const char* notice;
};
extern const Served kServed[6];

// The served row for a code, or null for a system the launcher must call
// unknown.
const Served* FindServed(int code);

// Checks the boxes of one launcher run: "Unknow OS version" without a row,
// the row's notice after its launch, "Exec fail" unless a launch returned
// more than 32; all captioned INSTALL.
void CheckBoxes(const Served* row, bool launched, INT_PTR result);

#endif
