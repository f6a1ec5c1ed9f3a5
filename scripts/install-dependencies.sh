#!/usr/bin/env bash
# Installs what the build, the tests and the benchmark need, only what is missing: the Debian
# packages (Chromium among them, for the schedule report's browser tests, and ccache, which the
# test scripts build through), then the npm packages of package-lock.json (the report's linters
# and playwright-core), with `npm ci` whenever the lock file changed. Those need Node.js 20 or
# later with npm, which Debian 12 does not package. With --bench, also NumPy and OpenBLAS for the
# benchmark's NumPy comparison.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build ccache g++ clang clang-format catch2 libclang-rt-14-dev
  libbenchmark-dev libcli11-dev nlohmann-json3-dev libxml2-utils librsvg2-bin chromium
  libonnx-dev libprotobuf-dev libonnx-testdata pybind11-dev python3-dev python3-numpy
  python3-pytest)
if [[ "${1:-}" == "--bench" ]]; then
  packages+=(libopenblas0-pthread)
fi
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

node_major="$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)"
if ((node_major < 20)) || ! command -v npm >/dev/null; then
  echo "install-dependencies: the report's tests need Node.js 20 or later with npm" >&2
  exit 1
fi

# npm ci starts from an empty node_modules, so it runs only when the lock file differs from
# the one it last installed.
if ! cmp -s package-lock.json node_modules/.installed-package-lock.json; then
  npm ci --no-audit --no-fund
  cp package-lock.json node_modules/.installed-package-lock.json
fi
