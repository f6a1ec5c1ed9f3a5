#!/usr/bin/env bash
# Builds the project and runs its main job: the orvik tool compiling the built-in encoder layer
# and printing its schedule summary. Installs only what the tool needs: the optional components
# whose packages are missing (the tests, the Python module...) are left out with a notice.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh --tool
cmake --preset release
cmake --build --preset release --target orvik
build/release/tools/orvik compile --encoder "$@"
