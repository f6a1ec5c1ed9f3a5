#!/usr/bin/env bash
# Builds the project and runs its main job: the example that builds a graph, validates it and
# compiles it for the default target.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
cmake --preset release
cmake --build --preset release --target build_and_compile
build/release/examples/build_and_compile
