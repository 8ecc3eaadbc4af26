#!/usr/bin/env bash
# The main job: installs what is missing, builds build/windows/launcher.exe and
# shows what it does on each Windows release.
set -euo pipefail
cd "$(dirname "$0")/.."

# All of it before the Windows build is configured: it builds the 64-bit
# helpers, which the preview needs, only with a compiler it finds then.
tools/dev/setup.sh build e2e
cmake --preset windows >/dev/null
cmake --build --preset windows
python3 tools/dev/check_launcher.py build/windows/launcher.exe

# Shows the program at work: the sample kit run under Wine as every Windows
# release from 95 to 11 that Wine knows, on a 32-bit and a 64-bit Windows, on a display of
# its own (the preview builds the sample kit for each).
tools/dev/with-wine.sh tools/kit preview --matrix --xvfb
