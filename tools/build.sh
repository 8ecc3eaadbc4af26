#!/usr/bin/env bash
# The main job: installs what is missing and builds build/windows/launcher.exe.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh build
cmake --preset windows >/dev/null
cmake --build --preset windows
python3 tools/check_pe.py build/windows/launcher.exe
