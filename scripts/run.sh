#!/usr/bin/env bash
# Builds the project and runs its main job: the orvik tool compiling the built-in encoder layer
# and printing its schedule summary.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
cmake --preset release
cmake --build --preset release --target orvik
build/release/tools/orvik compile --encoder "$@"
