#!/usr/bin/env bash
# Builds and runs every test: the debug build with warnings as errors (which
# includes the freestanding check of the driver sources), then the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the firmware
# build (CameraUpdateDxe.efi with clang and lld) and its image checks, then
# the fuzz targets, each for a short run on its seeds (scripts/fuzz.sh runs
# them longer).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --workflow --preset host
cmake --workflow --preset host-san
cmake --workflow --preset uefi
cmake --workflow --preset fuzz
