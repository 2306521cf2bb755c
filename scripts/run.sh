#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the driver on the
# simulated platform, reporting what it did.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host --target camfw
./build/host/camfw simulate
