#!/usr/bin/env bash
# Checks that the sources are formatted, then builds and runs the whole test
# suite: every test under AddressSanitizer and UndefinedBehaviorSanitizer in
# the fuzzing configuration the README documents (clang, no build type given,
# every library coverage-instrumented, every target built, the libFuzzer
# targets among them), then the threaded tests under ThreadSanitizer (g++,
# Debug, with its lock-order checking on), then an optimised g++ build of
# everything (library, examples, simulator, benchmarks) so that release-only
# warnings fail here too, which is then installed into a temporary prefix and
# linked against by the C example host. Every build treats warnings as
# errors.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
JOBS=$(nproc)

# The tree is formatted as .clang-format says before anything is built.
bash scripts/check-format.sh

# configure NAME ARGS...: configures build/NAME quietly (warnings are errors),
# showing the log on failure.
configure() {
  local name=$1; shift
  cmake -S . -B "build/$name" -DKVO_WERROR=ON "$@" > "build-$name-configure.log" || { cat "build-$name-configure.log"; exit 1; }
}

configure asan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKVO_FUZZ=ON \
  -DKVO_SANITIZE=address,undefined -DKVO_BUILD_BENCH=OFF
cmake --build build/asan -j "$JOBS"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j "$JOBS" --timeout 300

configure tsan -DCMAKE_BUILD_TYPE=Debug -DKVO_SANITIZE=thread -DKVO_THREADED_ONLY=ON
cmake --build build/tsan -j "$JOBS" --target kvo_threaded_tests
export TSAN_OPTIONS=halt_on_error=1:detect_deadlocks=1:second_deadlock_stack=1
ctest --test-dir build/tsan --output-on-failure -j "$JOBS" --timeout 300 -L threaded --no-tests=error

configure release -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$JOBS"
bash scripts/check-install.sh build/release
