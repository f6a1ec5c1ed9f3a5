#!/usr/bin/env bash
# Builds the project with g++, optimised, runs orvik_bench, then the NumPy yardstick of the host
# evaluation, which prints the ratios of orvik's times to NumPy's. Arguments go to orvik_bench,
# for example --benchmark_filter=stack24 or --benchmark_repetitions=5.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh --bench
cmake --preset release -DORVIK_BUILD_BENCH=ON
cmake --build --preset release --target orvik_bench orvik
results="build/release/bench/orvik_bench.json"
build/release/bench/orvik_bench --benchmark_out="$results" --benchmark_out_format=json "$@"

# The full-size layer as `orvik run` writes it, to check NumPy's numbers against.
layer="$(mktemp -d)"
trap 'rm -rf "$layer"' EXIT
build/release/tools/orvik run --encoder --sequence 128 --hidden 768 --heads 12 \
  --feed-forward 3072 -o "$layer" > /dev/null
OPENBLAS_NUM_THREADS=1 /usr/bin/python3 bench/numpy_encoder_layer.py \
  --orvik-results "$results" --check "$layer/ffn_residual.npy"
