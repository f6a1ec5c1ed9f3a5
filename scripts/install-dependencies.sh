#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmark need, only those that
# are missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang clang-format catch2 libclang-rt-14-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev libxml2-utils librsvg2-bin)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]} > 0)); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
