"""The PE reader against programs a real linker made, and against files that
are damaged in the ways a copied or downloaded distribution is: cut short,
not a program at all, a folder in a program's place."""
import os
import random
import struct

import pytest

import samples
from kitlib import pe
from kitlib.pe import headers as peinfo


def label(arguments):
    return ",".join("%s=%s" % item for item in arguments.items()) or "default"


# (build arguments, machine, subsystem, subsystem version, PE32+, DLL)
HEADERS = [
    (dict(), "i386", "gui", (4, 0), False, False),
    (dict(version="6.1"), "i386", "gui", (6, 1), False, False),
    (dict(kind="console", version="5.1"), "i386", "console", (5, 1), False, False),
    (dict(arch="x86_64", version="5.2"), "x64", "gui", (5, 2), True, False),
    (dict(arch="x86_64", kind="console", version="6.0"), "x64", "console", (6, 0), True, False),
    (dict(kind="dll"), "i386", "gui", (4, 0), False, True),
]


@pytest.mark.parametrize("arguments, machine, subsystem, version, plus, dll", HEADERS,
                         ids=[label(row[0]) for row in HEADERS])
def test_headers(arguments, machine, subsystem, version, plus, dll):
    info = pe.read_headers(samples.build(**arguments))
    actual = (info.machine, info.subsystem, info.subsystem_version, info.pe32_plus, info.is_dll)
    assert actual == (machine, subsystem, version, plus, dll)
    assert info.size == os.path.getsize(info.path)
    assert "KERNEL32.DLL" in info.imports


# (build arguments, manifest, version strings, signed, .rsrc present)
RESOURCES = [
    (dict(), False, {}, False, False),
    (dict(resources="version"), False, samples.VERSION_STRINGS, False, True),
    (dict(resources="manifest"), True, {}, False, True),
    (dict(signed=True), False, {}, True, False),
]


@pytest.mark.parametrize("arguments, manifest, strings, signed, rsrc", RESOURCES,
                         ids=[label(row[0]) for row in RESOURCES])
def test_resources_signature_and_imports(arguments, manifest, strings, signed, rsrc):
    info = pe.read_headers(samples.build(**arguments))
    actual = (info.has_manifest, info.version_strings, info.signed, ".rsrc" in info.sections)
    assert actual == (manifest, strings, signed, rsrc)
    assert "MessageBoxA" in info.imports["USER32.DLL"]


def read_bytes(folder, data):
    path = os.path.join(folder, "inst.exe")
    with open(path, "wb") as f:
        f.write(data)
    return pe.read_headers(path)


def assert_refused(folder, data, expected):
    with pytest.raises(pe.NotAProgram) as caught:
        read_bytes(folder, data)
    assert expected in str(caught.value)


def signed_with_resources():
    """A signed program with resources: a cut can fall in the headers, in any
    section, in the resources or in the signature."""
    with open(samples.build(resources="version", signed=True), "rb") as f:
        return f.read()


# (where the cut falls, its length from the whole file and its PE header offset, expected words)
CUTS = [
    ("1 byte", lambda whole, pe: 1, ""),
    ("2 bytes", lambda whole, pe: 2, ""),
    ("in the MS-DOS header", lambda whole, pe: 63, "truncated"),
    ("in the PE header offset", lambda whole, pe: 0x3C + 2, "truncated"),
    ("in the PE signature", lambda whole, pe: pe + 2, "truncated"),
    ("in the file header", lambda whole, pe: pe + 20, "truncated"),
    ("in the optional header", lambda whole, pe: pe + 24 + 60, "truncated"),
    ("in the data directories", lambda whole, pe: pe + 24 + 200, "truncated"),
    ("the last byte", lambda whole, pe: len(whole) - 1, "truncated"),
]


@pytest.mark.parametrize("where, length, expected", CUTS, ids=[row[0] for row in CUTS])
def test_truncated(tmp_path, where, length, expected):
    whole = signed_with_resources()
    assert_refused(tmp_path, whole[:length(whole, samples.pe_offset(whole))], expected)


def test_truncated_every_509_bytes(tmp_path):
    assert pe.read_headers(samples.build(resources="version", signed=True)).signed
    whole = signed_with_resources()
    wrong = {}
    for length in range(512, len(whole), 509):
        try:
            read_bytes(tmp_path, whole[:length])
            wrong[length] = "read as a program"
        except pe.NotAProgram as error:
            if "truncated" not in str(error):
                wrong[length] = str(error)
    assert wrong == {}, "not refused as truncated, by the length cut to (of %d bytes)" % len(whole)


DOS = bytes(b"MZ" + b"\0" * 58 + struct.pack("<I", 64) + b"\0" * 64)
# (content, expected words in the message)
NOT_PROGRAMS = [
    (b"", "empty file"),
    (b"#!/bin/sh\necho install\n", "does not start with the MZ"),
    (b"PK\x03\x04" + b"\0" * 200, "does not start with the MZ"),
    (DOS, "MS-DOS program"),
    (DOS[:64] + b"NE" + DOS[66:], "16-bit"),
]


@pytest.mark.parametrize("data, expected", NOT_PROGRAMS, ids=[row[1] for row in NOT_PROGRAMS])
def test_not_programs(tmp_path, data, expected):
    assert_refused(tmp_path, data, expected)


# (what is broken, offset from the file's start or from the PE header, format, value)
MALFORMED = [
    ("PE header offset past the end", ("file", 0x3C), "<I", 0x7FFFFFF0),
    ("no sections", ("pe", 6), "<H", 0),
    ("65535 sections", ("pe", 6), "<H", 0xFFFF),
    ("optional header size 0", ("pe", 20), "<H", 0),
    ("import directory far outside", ("pe", 24 + 104), "<I", 0x7FFFFFF0),
    ("resource directory far outside", ("pe", 24 + 112), "<II", 0x7FFFFFF0),
    ("section raw data past the end", ("pe", 24 + 224 + 20), "<I", 0x7FFFFFF0),
]


@pytest.mark.parametrize("what, offset, fmt, value", MALFORMED, ids=[row[0] for row in MALFORMED])
def test_malformed_headers(tmp_path, what, offset, fmt, value):
    """Each gives a clear NotAProgram or a reading, never another exception."""
    with open(samples.build(), "rb") as f:
        data = bytearray(f.read())
    base, at = offset
    at += samples.pe_offset(data) if base == "pe" else 0
    struct.pack_into(fmt, data, at, *([value] * (len(fmt) - 1)))
    try:
        read_bytes(tmp_path, bytes(data))
    except pe.NotAProgram as error:
        assert str(error)


def test_random_header_damage_never_escapes(tmp_path):
    # A fixed seed: the same 200 damaged files every run.
    whole = signed_with_resources()
    headers = peinfo.pefile.PE(data=whole, fast_load=True).OPTIONAL_HEADER.SizeOfHeaders
    chance = random.Random(9)
    for attempt in range(200):
        data = bytearray(whole)
        for _ in range(chance.randint(1, 6)):
            data[chance.randrange(headers)] = chance.randrange(256)
        try:
            read_bytes(tmp_path, bytes(data))
        except pe.NotAProgram:
            pass
        except Exception as error:  # any other exception is the fault
            pytest.fail("damaged copy %d: %s: %s" % (attempt, type(error).__name__, error))


@pytest.mark.parametrize("name, expected", [(".", "a folder"), ("none.exe", "cannot be read")])
def test_folder_and_missing_file(tmp_path, name, expected):
    with pytest.raises(pe.NotAProgram, match=expected):
        pe.read_headers(os.path.join(tmp_path, name))
