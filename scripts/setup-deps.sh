#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
PKGS=(cmake g++ clang make protobuf-compiler libprotobuf-dev libsnappy-dev
      libexpat1-dev libloki-dev libcurl4-openssl-dev libssl-dev libgtest-dev
      libgmock-dev libbenchmark-dev libicu-dev pkgconf clang-format)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
