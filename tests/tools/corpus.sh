#!/usr/bin/env bash
# Fetches the real Windows programs the load check's corpus test reads, into a
# cache folder: NSIS installers made with Debian's makensis (and a stub and a
# plugin of it), setuptools' launchers from Debian's wheel, Inno Setup 6.3.1's
# and 7-Zip's programs from their npm packages, and Debian 12's Wine's own
# programs (the installed ones when they are that version). Each source is
# fetched once. A source out of reach ends it with one line on stderr, exit 1.
# Prints "NAME<TAB>PATH" for every program, into CACHE/corpus.tsv as well.
#
# Usage: corpus.sh CACHE
set -euo pipefail

CACHE=$(mkdir -p "$1" && cd "$1" && pwd -P)
DOWNLOADS=$CACHE/downloads
TREES=$CACHE/trees
OUT=$CACHE/programs
mkdir -p "$DOWNLOADS" "$TREES" "$OUT"
INNO=innosetup-compiler@6.3.1
SEVENZIP=7zip-bin@5.2.0
# The Wine whose programs the expected verdicts are for: Debian 12's.
WINE_VERSION=8.0~repack-4
WINE32=usr/lib/i386-linux-gnu/wine/i386-windows
WINE64=usr/lib/x86_64-linux-gnu/wine/x86_64-windows

fail() { echo "corpus: cannot fetch $1: $2" >&2; exit 1; }

# The .deb of a package (NAME, NAME:ARCH, NAME:ARCH=VERSION) in DOWNLOADS, as a glob.
deb_glob() {
    local wanted=$1 name=${1%%[:=]*} arch=* version=*
    [[ $wanted != *:* ]] || { arch=${wanted#*:}; arch=${arch%%=*}; }
    [[ $wanted != *=* ]] || version=${wanted#*=}
    echo "$DOWNLOADS/${name}_${version}_${arch}.deb"
}

# apt-get download WANTED... into DOWNLOADS unless there; each extracted into TREES/WANTED.
debs() {
    local wanted missing=()
    for wanted in "$@"; do
        compgen -G "$(deb_glob "$wanted")" >/dev/null || missing+=("$wanted")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        (cd "$DOWNLOADS" && apt-get download "${missing[@]}" >"$CACHE/apt.log" 2>&1) \
            || fail "${missing[*]}" "apt-get download failed: $(tail -n 1 "$CACHE/apt.log")"
    fi
    for wanted in "$@"; do
        [ -d "$TREES/$wanted" ] || dpkg-deb -x $(deb_glob "$wanted") "$TREES/$wanted"
    done
}

# npm pack WANTED into DOWNLOADS unless there; unpacked into TREES/NAME.
npm_package() {
    local wanted=$1 name=${1%@*}
    compgen -G "$DOWNLOADS/$name-*.tgz" >/dev/null || (cd "$DOWNLOADS" && npm pack --loglevel=error "$wanted" \
        >/dev/null 2>"$CACHE/npm.log") || fail "$wanted" "npm pack failed: $(grep -m1 "npm error" "$CACHE/npm.log")"
    [ -d "$TREES/$name" ] || { mkdir -p "$TREES/$name" && tar -xzf "$DOWNLOADS/$name"-*.tgz -C "$TREES/$name"; }
}

take() {   # take NAME SOURCE: the corpus program NAME, a copy of SOURCE
    [ -f "$2" ] || fail "$1" "$2 is not in its package"
    [ -f "$OUT/$1" ] || cp "$2" "$OUT/$1"
    printf '%s\t%s\n' "$1" "$OUT/$1"
}

nsis() {
    debs nsis nsis-common
    local makensis=$TREES/nsis/usr/bin/makensis data=$TREES/nsis-common/usr/share/nsis work=$CACHE/nsis target
    mkdir -p "$work"
    for target in x86-ansi x86-unicode amd64-unicode; do
        if [ ! -f "$work/nsis-$target.exe" ]; then
            # The smallest installer its users write: one section, one file, the default pages.
            printf '%s\n' "Target $target" 'Name "Corpus"' "OutFile \"nsis-$target.exe\"" \
                'InstallDir "$PROGRAMFILES\Corpus"' 'Page directory' 'Page instfiles' \
                'Section' 'SetOutPath $INSTDIR' 'File tiny.nsi' 'SectionEnd' > "$work/tiny.nsi"
            (cd "$work" && NSISDIR=$data "$makensis" -V1 tiny.nsi >/dev/null) || fail "nsis-$target" "makensis failed"
        fi
        take "nsis-$target.exe" "$work/nsis-$target.exe"
    done
    take nsis-stub-zlib-x86-ansi.exe "$data/Stubs/zlib-x86-ansi"
    take nsis-plugin-nsDialogs.dll "$data/Plugins/x86-unicode/nsDialogs.dll"
}

setuptools() {
    debs python3-setuptools-whl
    local wheel launcher
    wheel=$(ls "$TREES"/python3-setuptools-whl/usr/share/python-wheels/setuptools-*.whl)
    for launcher in cli-32 gui-64 cli-arm64; do
        [ -f "$OUT/setuptools-$launcher.exe" ] || unzip -p "$wheel" "setuptools/$launcher.exe" \
            > "$OUT/setuptools-$launcher.exe" || fail "setuptools-$launcher.exe" "not in $wheel"
        printf '%s\t%s\n' "setuptools-$launcher.exe" "$OUT/setuptools-$launcher.exe"
    done
}

inno() {
    npm_package "$INNO"
    local bin=$TREES/innosetup-compiler/package/bin name
    for name in Setup.e32 SetupLdr.e32 ISCC.exe ISCmplr.dll islzma32.exe islzma64.exe; do
        take "inno-$name" "$bin/$name"
    done
}

sevenzip() {
    npm_package "$SEVENZIP"
    local arch
    for arch in ia32 x64 arm64; do
        take "7za-$arch.exe" "$TREES/7zip-bin/package/win/$arch/7za.exe"
    done
}

wine_files() {   # wine_files PACKAGE FOLDER PREFIX NAME...
    local package=$1 folder=$2 prefix=$3 root=/ name
    shift 3
    if [ "$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null)" != "$WINE_VERSION" ]; then
        debs "$package=$WINE_VERSION"
        root=$TREES/$package=$WINE_VERSION
    fi
    for name in "$@"; do
        take "$prefix-$name" "$root/$folder/$name"
    done
}

{
    nsis
    setuptools
    inno
    sevenzip
    wine_files libwine:i386 "$WINE32" wine32 notepad.exe winecfg.exe wineboot.exe regedit.exe hh.exe \
        kernel32.dll kernelbase.dll ntdll.dll
    wine_files libwine:amd64 "$WINE64" wine64 notepad.exe
} > "$CACHE/corpus.tsv"
cat "$CACHE/corpus.tsv"
