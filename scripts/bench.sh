#!/usr/bin/env bash
# Builds the project with g++, optimised, and runs the compile benchmark. Arguments go to
# orvik_bench, for example --benchmark_filter=stack24 or --benchmark_min_time=0.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
cmake --preset release -DORVIK_BUILD_BENCH=ON
cmake --build --preset release --target orvik_bench
build/release/bench/orvik_bench "$@"
