#!/bin/sh
# Installs dependencies, configures, builds and runs every test.
#   scripts/test.sh              Release build in build/
#   BUILD_DIR=x CMAKE_ARGS=... scripts/test.sh   another build (e.g. sanitizers)
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD_DIR="${BUILD_DIR:-build}"
JOBS="${JOBS:-$(nproc)}"
# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS"
cd "$BUILD_DIR"
ctest --output-on-failure -j "$JOBS" ${CTEST_ARGS:-}
