#!/usr/bin/env bash
# The main job: installs what is missing, builds build/windows/launcher.exe and
# shows what it does on each Windows release.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/dev/setup.sh build
cmake --preset windows >/dev/null
cmake --build --preset windows
python3 tools/kitlib/check_pe.py build/windows/launcher.exe

# Shows the program at work: the sample kit run under Wine as every Windows
# release from 95 to 11 that Wine knows, on a 32-bit and a 64-bit Windows, on a display of
# its own (the preview builds the sample kit for each).
tools/dev/setup.sh e2e
tools/dev/with-wine.sh tools/kit preview --matrix --xvfb
