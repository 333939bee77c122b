#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and uses it as a user would:
# checks the installed files and the library's version and soname, then builds
# the C example host against the installed tree with pkg-config and with a
# CMake project using find_package, and runs both.
#
#   scripts/check-install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: check-install.sh BUILD_DIR}
src=$PWD/examples/c_host.c
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > "$work/install.log" || { cat "$work/install.log"; exit 1; }
libdir=$(dirname "$(find "$prefix" -name 'libkvoapi.so.*.*.*' -print -quit)")
rel=${libdir#"$prefix"/}

# Exactly these files, and nothing else.
expected=$(printf '%s\n' include/kvo_records.h include/kvoapi.h \
  "$rel/cmake/kvoapi/kvoapiConfig.cmake" "$rel/cmake/kvoapi/kvoapiConfigVersion.cmake" \
  "$rel/cmake/kvoapi/kvoapiTargets.cmake" "$rel/cmake/kvoapi/kvoapiTargets-*.cmake" \
  "$rel/libkvoapi.so" "$rel/libkvoapi.so.2" "$rel/libkvoapi.so.2.2.5" "$rel/pkgconfig/kvoapi.pc")
installed=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' \
  | sed 's|/kvoapiTargets-[a-z]*\.cmake$|/kvoapiTargets-*.cmake|' | sort)
if [ "$installed" != "$(sort <<< "$expected")" ]; then
  echo "installed files differ from the expected ones:"
  diff <(sort <<< "$expected") <(echo "$installed") || true
  exit 1
fi
soname=$(readelf -d "$libdir/libkvoapi.so.2.2.5" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libkvoapi.so.2 ] || { echo "soname is '$soname', not libkvoapi.so.2"; exit 1; }
[ "$(readlink "$libdir/libkvoapi.so.2")" = libkvoapi.so.2.2.5 ] || { echo "libkvoapi.so.2 does not name 2.2.5"; exit 1; }
[ "$(readlink "$libdir/libkvoapi.so")" = libkvoapi.so.2 ] || { echo "libkvoapi.so does not name the soname"; exit 1; }

# run NAME COMMAND...: runs the host (its log folder goes beside it) and
# requires a successful login and release.
run() {
  local out
  out=$("${@:2}") || { echo "$1: the host failed:"; echo "$out"; exit 1; }
  grep -q '^KvoLogin(demo) -> 0' <<< "$out" || { echo "$1: no successful login:"; echo "$out"; exit 1; }
  echo "$1: the C host built against the installed tree ran"
}

# pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion kvoapi)" = 2.2.5 ] || { echo "kvoapi.pc gives version $(pkg-config --modversion kvoapi)"; exit 1; }
mkdir "$work/pc"
# shellcheck disable=SC2046 # the flags are words
cc -std=c11 -Wall -Wextra -Werror "$src" $(pkg-config --cflags --libs kvoapi) -o "$work/pc/host"
run pkg-config env LD_LIBRARY_PATH="$libdir" "$work/pc/host"

# find_package.
mkdir "$work/cm"
cp "$src" "$work/cm/c_host.c"
cat > "$work/cm/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(kvo_c_host C)
find_package(kvoapi 2.2 REQUIRED)
add_executable(kvo_c_host c_host.c)
target_link_libraries(kvo_c_host PRIVATE kvoapi::kvoapi)
CMAKE
cmake -S "$work/cm" -B "$work/cm/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" \
  > "$work/cm.log" || { cat "$work/cm.log"; exit 1; }
cmake --build "$work/cm/build" > "$work/cm-build.log" || { cat "$work/cm-build.log"; exit 1; }
run find_package "$work/cm/build/kvo_c_host"
