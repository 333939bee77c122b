#!/usr/bin/env bash
# Builds the library (optimised) and runs the example host program against it.
#
#   scripts/run-example.sh                      # against the bundled gateway simulator
#   scripts/run-example.sh --offline [FOLDER/]  # offline playback of examples/offline (or FOLDER/)
#   scripts/run-example.sh HOST [PORT [USER [PASSWORD]]]   # against a real gateway
#
# Without arguments the gateway simulator (kvo_gateway_sim) is started on an
# ephemeral port of 127.0.0.1, the example registers it for both markets,
# logs in, queries and subscribes, and the simulator is stopped afterwards.
# With --offline (or --playback) no gateway is involved: the example starts
# offline playback of the sample files, queries and subscribes, and prints
# the played batches as its callbacks receive them (about 15 seconds).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release > build-release-configure.log || { cat build-release-configure.log; exit 1; }
library=./build/release/api/libkvoapi.so
if [ "${1:-}" = --offline ] || [ "${1:-}" = --playback ]; then
  cmake --build build/release -j "$(nproc)" --target kvoapi kvo_example
  exec ./build/release/examples/kvo_example "$library" --offline "${2:-./examples/offline/}"
fi
if [ $# -gt 0 ]; then
  cmake --build build/release -j "$(nproc)" --target kvoapi kvo_example
  exec ./build/release/examples/kvo_example "$library" "$@"
fi

cmake --build build/release -j "$(nproc)" --target kvoapi kvo_example kvo_gateway_sim
exec bash scripts/example-on-sim.sh ./build/release/examples/kvo_example ./build/release/simulator/kvo_gateway_sim "$library"
