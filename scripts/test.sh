#!/usr/bin/env bash
# Builds the project with g++, through ccache, and runs every test. Set
# ORVIK_WARNINGS_AS_ERRORS=ON to fail on any compiler warning.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
if [[ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]]; then
  # CMake takes the launcher of a new build directory from this variable.
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
cmake --preset release -DORVIK_WARNINGS_AS_ERRORS="${ORVIK_WARNINGS_AS_ERRORS:-OFF}"
cmake --build --preset release
ctest --preset release
