#!/usr/bin/env python3
"""Regenerates tools/kitlib/checks/loading/data/windows-exports.txt.gz, the compact export
lists the load check reads, from the measured lists in ../shared/windows-exports
(or the folder given): only the builds that an installer row serves, one line
per DLL with every build's exports in it; and first-windows.txt's lines, the
first Windows of functions older Windows lack.

Usage: tools/dev/windows_exports.py [SOURCE] [--output FILE]
"""
import argparse
import gzip
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_SOURCE = os.path.join(os.path.dirname(ROOT), "shared", "windows-exports")
DEFAULT_OUTPUT = os.path.join(ROOT, "tools", "kitlib", "checks", "loading", "data", "windows-exports.txt.gz")

# The builds a row is checked against, oldest first; XP x64 and Server 2003
# (x64 5.2.3790) are served by no row.
BUILDS = {
    "x86": ("5.1.2600", "6.0.6000", "6.1.7600", "6.2.9200", "6.3.9600", "10.0.10240"),
    "x64": ("6.0.6000", "6.1.7600", "6.2.9200", "6.3.9600", "10.0.10240"),
}
HEADER = ("# Exports of Windows' system DLLs per build, derived by tools/dev/windows_exports.py from the\n"
          "# export lists of the Chuyu-Team/YY-Thunks project (src/YY.Depends.Analyzer/Config/,\n"
          "# commit 83d9d0d3f2f2), and the first Windows of functions from its thunks (src/Thunks/),\n"
          "# MIT licence, Copyright (c) 2018 Chuyu-Team.\n")
# "5.1 (Windows XP)" -> "5.1", "5.1 SP2" as it is.
FIRST = re.compile(r"(\d+\.\d+)(?: (SP\d))?(?: \(.*\))?$")


def read_list(path):
    """{dll (lower case): {ordinal: name or ""}} and the [ApiSet] section
    ({set: host}) of one export list."""
    dlls, apiset, current = {}, {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            if line.startswith("["):
                section = line[1:-1]
                current = apiset if section == "ApiSet" else dlls.setdefault(section.lower(), {})
                continue
            key, _, value = line.partition("=")
            if current is apiset:
                apiset[key.lower()] = value.lower()
            else:
                current[int(key)] = value
    return dlls, apiset


def ranges(numbers):
    """1,2,3,5 -> "1-3,5"."""
    out, numbers = [], sorted(numbers)
    start = previous = None
    for n in numbers + [None]:
        if start is not None and n == previous + 1:
            previous = n
            continue
        if start is not None:
            out.append(str(start) if start == previous else "%d-%d" % (start, previous))
        start = previous = n
    return ",".join(out)


def records(source, arch):
    lists = [read_list(os.path.join(source, arch, build + ".txt")) for build in BUILDS[arch]]
    for dll in sorted(set().union(*(dlls for dlls, _ in lists))):
        present = [i for i, (dlls, _) in enumerate(lists) if dll in dlls]
        mask = sum(1 << i for i in present)
        ordinals = ";".join(ranges(lists[i][0][dll]) for i in present)
        names = {}
        for i in present:
            for name in lists[i][0][dll].values():
                if name:
                    names[name] = names.get(name, 0) | 1 << i
        fields = [name if bits == mask else "%s|%x" % (name, bits) for name, bits in sorted(names.items())]
        yield " ".join([arch, dll, "%x" % mask, ordinals or "-"] + fields)
    apiset = lists[-1][1]
    if apiset:
        yield " ".join([arch, "@apiset"] + ["%s=%s" % item for item in sorted(apiset.items())])
    ordinal_map, _ = read_list(os.path.join(source, arch, "OrdinalMap.txt"))
    for dll, names in sorted(ordinal_map.items()):
        yield " ".join([arch, "#" + dll] + ["%d=%s" % item for item in sorted(names.items()) if item[1]])


def first_windows(source):
    """"first DLL FUNCTION VERSION[ SPn]" for each line of first-windows.txt."""
    with open(os.path.join(source, "first-windows.txt"), encoding="utf-8") as f:
        for line in f:
            if not line.strip():
                continue
            dll, function, first = line.rstrip("\n").split("\t")
            version = FIRST.match(first)
            if not version:
                raise ValueError("first-windows.txt: %r is no Windows version" % first)
            yield " ".join(["first", dll.lower(), function] + [part for part in version.groups() if part])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source", nargs="?", default=DEFAULT_SOURCE, help="the measured lists' folder")
    parser.add_argument("--output", default=DEFAULT_OUTPUT, help="the file to write")
    args = parser.parse_args(argv)
    try:
        lines = [line for arch in BUILDS for line in records(args.source, arch)]
        lines += first_windows(args.source)
    except (OSError, ValueError, UnicodeError) as error:
        sys.exit("windows_exports: cannot read %s: %s" % (args.source, error))
    text = HEADER + "".join("builds %s %s\n" % (arch, " ".join(BUILDS[arch])) for arch in BUILDS) \
        + "\n".join(lines) + "\n"
    temporary = args.output + ".part"
    try:
        # mtime 0: the same lists give the same bytes, so a regeneration
        # that changes nothing shows no difference in git.
        with open(temporary, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=9, mtime=0,
                                                         filename="") as f:
            f.write(text.encode("utf-8"))
        os.replace(temporary, args.output)
    except OSError as error:
        sys.exit("windows_exports: cannot write %s: %s" % (args.output, error.strerror or error))
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
    print("%s: %d bytes (%d uncompressed)" % (args.output, os.path.getsize(args.output), len(text)))


if __name__ == "__main__":
    main()
