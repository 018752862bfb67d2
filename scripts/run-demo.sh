#!/usr/bin/env bash
# Installs, builds and runs the main job: a simulated card and exchange are
# started, channel 0 is brought up from the sample configuration, live quotes
# stream for a few seconds, then the receive tool prints its summary.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "${KEST_JOBS:-2}" --target kest-md-recv kest-card-sim kest-demo
exec ./build/tools/kest-demo/kest-demo "$@"
