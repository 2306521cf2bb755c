#!/usr/bin/env bash
# The reliability figures: builds camfw (host preset) and runs `camfw figures`
# with the arguments given (see README, "Reliability figures"). Installs what
# is missing first, as the other scripts do.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host --target camfw
./build/host/camfw figures "$@"
