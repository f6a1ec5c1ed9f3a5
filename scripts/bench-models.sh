#!/usr/bin/env bash
# Times orvik on BERT-base as PyTorch exports it: one layer's `evaluate` against ONNX Runtime on
# one thread, in alternating rounds (bench/onnxruntime_layer.mjs), then the 12-layer model's
# import against protobuf's parse and its compile for 1472 tiles against a copy of its schedule
# (orvik_onnx_bench). The models are exported into DIRECTORY (default /tmp/orvik-bert) by
# bench/export_bert_base.py when they are not there yet, which needs PyTorch and the onnx package
# (Debian's python3-torch and python3-onnx, which `install-dependencies.sh --models` adds): a
# developer's machine, never CI. Arguments after DIRECTORY go to orvik_onnx_bench, for example
# --benchmark_repetitions=5.
#   scripts/bench-models.sh [DIRECTORY [orvik_onnx_bench arguments...]]
set -euo pipefail
cd "$(dirname "$0")/.."

directory="${1:-/tmp/orvik-bert}"
if (($# > 0)); then
  shift
fi

scripts/install-dependencies.sh --models
cmake --preset release -DORVIK_BUILD_BENCH=ON
cmake --build --preset release --target orvik_onnx_bench

if [[ ! -f "$directory/bert_layer.onnx" ]]; then
  /usr/bin/python3 bench/export_bert_base.py "$directory" --layers 1
fi
if [[ ! -f "$directory/bert_base.onnx" ]]; then
  /usr/bin/python3 bench/export_bert_base.py "$directory"
fi
bench=build/release/bench/orvik_onnx_bench
node bench/onnxruntime_layer.mjs "$directory/bert_layer.onnx" --orvik-bench "$bench" --rounds 5
"$bench" --model="$directory/bert_base.onnx" --benchmark_filter='^(parse|import|compile|copy)/' \
  --benchmark_report_aggregates_only=true "$@"
