#!/usr/bin/env bash
# Installs, with apt-get, whatever the named jobs need and this machine lacks,
# and for e2e generates the locales of tools/dev/locales.txt.
# Usage: tools/dev/setup.sh [build] [e2e] [vm] [ship] [fuzz] [lint] [roots] [report] [corpus]   (no name: all of them)
set -euo pipefail

declare -A PACKAGES=(
    # The Windows build makes the 64-bit helpers too, only if that compiler is
    # there when it is configured.
    [build]="cmake make g++ python3 python3-pefile python3-jinja2 python3-pytest libgtest-dev g++-mingw-w64-i686 binutils-mingw-w64-i686
             g++-mingw-w64-x86-64"
    [e2e]="wine wine32:i386 wine64 xvfb xdotool x11-apps imagemagick locales"
    [vm]="qemu-system-x86 busybox-static"
    [ship]="osslsigncode openssl xorriso"
    [fuzz]="clang-14 libclang-rt-14-dev"
    [lint]="clang-tidy-14 cppcheck mingw-w64-i686-dev"
    [roots]="debootstrap bubblewrap"
    # The preview's HTML report is tested in a real browser, headless,
    # driven through its WebDriver.
    [report]="chromium chromium-driver python3-selenium"
    # The load check's corpus: npm, below, where the machine has none.
    [corpus]=""
)

jobs=("$@")
[ ${#jobs[@]} -gt 0 ] || jobs=(build e2e vm ship fuzz lint roots report corpus)

wanted=()
for job in "${jobs[@]}"; do
    [ -n "${PACKAGES[$job]+x}" ] || { echo "setup.sh: unknown job '$job' (build, e2e, vm, ship, fuzz, lint, roots, report, corpus)" >&2; exit 2; }
    wanted+=(${PACKAGES[$job]})
done

missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
# The load check's corpus test takes real programs from npm packages: any
# npm serves (a Node.js installed otherwise brings its own), Debian's if none.
if [[ " ${jobs[*]} " == *" corpus "* ]] && ! command -v npm >/dev/null; then
    missing+=(npm)
fi
# The Wine tests' locales that are not generated yet (locale -a says ru_RU.utf8).
ungenerated=()
if [[ " ${jobs[*]} " == *" e2e "* ]]; then
    for name in $(sed -n 's/^\([^#][^ ]*\) .*/\1/p' "$(dirname "$0")/locales.txt"); do
        locale -a 2>/dev/null | grep -qix "${name%.UTF-8}.utf8" || ungenerated+=("$name")
    done
fi
[ ${#missing[@]} -eq 0 ] && [ ${#ungenerated[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    # A bare Debian has no sudo: say what to do rather than "command not found".
    command -v sudo >/dev/null || { echo "setup.sh: installing needs root: run it as root, or install sudo" >&2; exit 1; }
    sudo="sudo"
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup.sh: installing ${missing[*]}"
    for package in "${missing[@]}"; do
        if [[ $package == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
            $sudo dpkg --add-architecture i386
        fi
    done
    # A mirror caught mid-sync fails an index now and then: asked again after a
    # pause, and if it still fails, the lists that did arrive serve.
    for attempt in 1 2 3; do
        $sudo apt-get update -qq && break
        [ "$attempt" -lt 3 ] || { echo "setup.sh: apt-get update kept failing; going on with the package lists there are" >&2; break; }
        sleep 20
    done
    install() { DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null; }
    if ! install "${missing[@]}"; then
        # Without one architecture's security index, its half of a package
        # (wine32:i386's libraries) cannot match the other's newer version:
        # the release's own versions fit both.
        codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
        [ -n "$codename" ] || exit 1
        echo "setup.sh: trying again with $codename's own versions" >&2
        install -t "$codename" "${missing[@]}"
    fi
fi
# Listed in /etc/locale.gen, which the locales package generates afresh from on
# every upgrade: a locale made by localedef alone would be gone after it.
if [ ${#ungenerated[@]} -gt 0 ]; then
    echo "setup.sh: generating the locales ${ungenerated[*]}"
    for name in "${ungenerated[@]}"; do
        grep -qx "$name UTF-8" /etc/locale.gen 2>/dev/null || echo "$name UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    done
    $sudo locale-gen >/dev/null
fi
