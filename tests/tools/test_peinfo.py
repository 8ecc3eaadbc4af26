"""The PE reader against programs a real linker made, and against files that
are damaged in the ways a copied or downloaded distribution is: cut short,
not a program at all, a folder in a program's place."""
import os
import random
import struct
import tempfile
import unittest

import samples
import peinfo


class Headers(unittest.TestCase):
    # (build arguments, machine, subsystem, subsystem version, PE32+, DLL)
    CASES = [
        (dict(), "i386", "gui", (4, 0), False, False),
        (dict(version="6.1"), "i386", "gui", (6, 1), False, False),
        (dict(kind="console", version="5.1"), "i386", "console", (5, 1), False, False),
        (dict(arch="x86_64", version="5.2"), "x64", "gui", (5, 2), True, False),
        (dict(arch="x86_64", kind="console", version="6.0"), "x64", "console", (6, 0), True, False),
        (dict(kind="dll"), "i386", "gui", (4, 0), False, True),
    ]

    def test_headers(self):
        for arguments, machine, subsystem, version, plus, dll in self.CASES:
            with self.subTest(**arguments):
                info = peinfo.read(samples.build(**arguments))
                actual = (info.machine, info.subsystem, info.subsystem_version, info.pe32_plus, info.is_dll)
                self.assertEqual(actual, (machine, subsystem, version, plus, dll),
                                 "sample %s" % arguments)
                self.assertEqual(info.size, os.path.getsize(info.path))
                self.assertIn("KERNEL32.DLL", info.imports)

    def test_resources_signature_and_imports(self):
        # (build arguments, manifest, version strings, signed, .rsrc present)
        cases = [
            (dict(), False, {}, False, False),
            (dict(resources="version"), False, samples.VERSION_STRINGS, False, True),
            (dict(resources="manifest"), True, {}, False, True),
            (dict(signed=True), False, {}, True, False),
        ]
        for arguments, manifest, strings, signed, rsrc in cases:
            with self.subTest(**arguments):
                info = peinfo.read(samples.build(**arguments))
                actual = (info.has_manifest, info.version_strings, info.signed, ".rsrc" in info.sections)
                self.assertEqual(actual, (manifest, strings, signed, rsrc), "sample %s" % arguments)
                self.assertIn("MessageBoxA", info.imports["USER32.DLL"])


class Damaged(unittest.TestCase):
    def read_bytes(self, data):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "inst.exe")
            with open(path, "wb") as f:
                f.write(data)
            return peinfo.read(path)

    def assert_refused(self, data, expected, row):
        with self.assertRaises(peinfo.NotAProgram, msg=row) as caught:
            self.read_bytes(data)
        self.assertIn(expected, str(caught.exception), row)

    def test_truncated_at_every_kind_of_place(self):
        # A signed program with resources: the cut can fall in the headers, in
        # any section, in the resources or in the signature.
        with open(samples.build(resources="version", signed=True), "rb") as f:
            whole = f.read()
        info = peinfo.read(samples.build(resources="version", signed=True))
        self.assertTrue(info.signed)
        pe = samples.pe_offset(whole)
        lengths = {1, 2, 63, 0x3C + 2, pe + 2, pe + 20, pe + 24 + 60, pe + 24 + 200, len(whole) - 1}
        lengths |= set(range(512, len(whole), 509))
        for length in sorted(lengths):
            with self.subTest(length=length):
                self.assert_refused(whole[:length], "truncated" if length > 2 else "",
                                    "cut at %d of %d bytes" % (length, len(whole)))

    def test_not_programs(self):
        dos = bytearray(b"MZ" + b"\0" * 126)
        struct.pack_into("<I", dos, 0x3C, 64)
        sixteen = bytearray(dos)
        sixteen[64:66] = b"NE"
        # (content, expected words in the message)
        cases = [
            (b"", "empty file"),
            (b"#!/bin/sh\necho install\n", "does not start with the MZ"),
            (b"PK\x03\x04" + b"\0" * 200, "does not start with the MZ"),
            (bytes(dos), "MS-DOS program"),
            (bytes(sixteen), "16-bit"),
        ]
        for data, expected in cases:
            with self.subTest(expected=expected):
                self.assert_refused(data, expected, "content %r" % data[:16])

    def test_malformed_headers(self):
        with open(samples.build(), "rb") as f:
            whole = f.read()
        pe = samples.pe_offset(whole)
        # (what is broken, offset, format, value): each must give a clear
        # NotAProgram or a reading, never another exception.
        cases = [
            ("PE header offset past the end", 0x3C, "<I", 0x7FFFFFF0),
            ("no sections", pe + 6, "<H", 0),
            ("65535 sections", pe + 6, "<H", 0xFFFF),
            ("optional header size 0", pe + 20, "<H", 0),
            ("import directory far outside", pe + 24 + 104, "<I", 0x7FFFFFF0),
            ("resource directory far outside", pe + 24 + 112, "<II", 0x7FFFFFF0),
            ("section raw data past the end", pe + 24 + 224 + 20, "<I", 0x7FFFFFF0),
        ]
        for what, offset, fmt, value in cases:
            with self.subTest(what=what):
                data = bytearray(whole)
                struct.pack_into(fmt, data, offset, *([value] * (len(fmt) - 1)))
                try:
                    self.read_bytes(bytes(data))
                except peinfo.NotAProgram as error:
                    self.assertTrue(str(error), what)

    def test_random_header_damage_never_escapes(self):
        # A fixed seed: the same 200 damaged files every run.
        with open(samples.build(resources="version", signed=True), "rb") as f:
            whole = f.read()
        headers = peinfo.pefile.PE(data=whole, fast_load=True).OPTIONAL_HEADER.SizeOfHeaders
        chance = random.Random(9)
        for attempt in range(200):
            data = bytearray(whole)
            for _ in range(chance.randint(1, 6)):
                data[chance.randrange(headers)] = chance.randrange(256)
            try:
                self.read_bytes(bytes(data))
            except peinfo.NotAProgram:
                pass
            except Exception as error:  # any other exception is the fault
                self.fail("damaged copy %d: %s: %s" % (attempt, type(error).__name__, error))

    def test_folder_and_missing_file(self):
        with tempfile.TemporaryDirectory() as folder:
            for path, expected in ((folder, "a folder"), (os.path.join(folder, "none.exe"), "cannot be read")):
                with self.subTest(expected=expected):
                    with self.assertRaises(peinfo.NotAProgram) as caught:
                        peinfo.read(path)
                    self.assertIn(expected, str(caught.exception))


if __name__ == "__main__":
    unittest.main()
