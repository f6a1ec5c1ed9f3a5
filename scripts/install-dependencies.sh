#!/usr/bin/env bash
# Installs what a command needs, only what is missing.
#   --tool   what building and running the orvik tool needs (scripts/run.sh): the compiler,
#            CMake, Ninja and the tool's libraries.
#   (none)   everything the tests and the continuous integration need (scripts/test.sh, .ci/run):
#            also ccache, clang, Catch2, ONNX's test data, the Python module's packages, Chromium
#            for the schedule report's browser tests, Node.js with npm, and the npm packages of
#            package-lock.json (the report's linters, playwright-core, and onnxruntime-node for
#            the ONNX comparisons), with `npm ci` whenever the lock file changed. A node already on
#            PATH is used when it is version 18 or later; without one, Debian's nodejs and npm are
#            installed.
#   --bench  everything for the tests, and the benchmark's: Google Benchmark, and OpenBLAS for its
#            NumPy comparison.
#   --models everything for the benchmark, and PyTorch with the onnx package to export the real
#            models it times (scripts/bench-models.sh); never needed by CI.
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${1:-}"
case "$mode" in
  --tool | --bench | --models | "") ;;
  *)
    echo "usage: scripts/install-dependencies.sh [--tool | --bench | --models]" >&2
    exit 2
    ;;
esac

packages=(cmake ninja-build g++ libcli11-dev nlohmann-json3-dev libonnx-dev libprotobuf-dev)
if [[ "$mode" != "--tool" ]]; then
  packages+=(ccache clang clang-format catch2 libclang-rt-14-dev libxml2-utils librsvg2-bin
    chromium libonnx-testdata pybind11-dev python3-dev python3-numpy python3-pytest python3-pip
    python3-setuptools python3-wheel)
  if ! command -v node >/dev/null; then
    packages+=(nodejs npm)
  elif ! command -v npm >/dev/null; then
    packages+=(npm)
  fi
fi
if [[ "$mode" == "--bench" || "$mode" == "--models" ]]; then
  packages+=(libbenchmark-dev libopenblas0-pthread)
fi
if [[ "$mode" == "--models" ]]; then
  packages+=(python3-torch python3-onnx)
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

if [[ "$mode" == "--tool" ]]; then
  exit 0
fi

node_major="$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)"
if ((node_major < 18)); then
  echo "install-dependencies: the report's tests need Node.js 18 or later, and $(command -v node)" \
    "is $(node --version)" >&2
  exit 1
fi

# npm ci starts from an empty node_modules, so it runs only when the lock file differs from
# the one it last installed.
if ! cmp -s package-lock.json node_modules/.installed-package-lock.json; then
  npm ci --no-audit --no-fund
  cp package-lock.json node_modules/.installed-package-lock.json
fi
