#!/usr/bin/env bash
# Builds the project with g++, through ccache, and runs every test. Set
# ORVIK_WARNINGS_AS_ERRORS=ON to fail on any compiler warning. Every optional component that has
# tests is asked for with ON, so that a missing package fails the configure instead of leaving
# its tests out.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
if [[ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]]; then
  # CMake takes the launcher of a new build directory from this variable.
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
cmake --preset release -DORVIK_WARNINGS_AS_ERRORS="${ORVIK_WARNINGS_AS_ERRORS:-OFF}" \
  -DORVIK_BUILD_TESTS=ON -DORVIK_BUILD_SELFCHECK=ON -DORVIK_BUILD_EXAMPLES=ON \
  -DORVIK_BUILD_TOOLS=ON -DORVIK_BUILD_ONNX=ON -DORVIK_BUILD_PYTHON=ON -DORVIK_BROWSER_TESTS=ON
cmake --build --preset release
ctest --preset release
