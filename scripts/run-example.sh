#!/usr/bin/env bash
# Builds the library (optimised) and runs the example host program against it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release > build-release-configure.log || { cat build-release-configure.log; exit 1; }
cmake --build build/release -j "$(nproc)" --target kvoapi kvo_example
./build/release/examples/kvo_example ./build/release/api/libkvoapi.so "$@"
