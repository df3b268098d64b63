#!/usr/bin/env bash
# Configures and builds Ambrel into ./build (or $BUILD_DIR). Extra arguments go to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -G Ninja -DAMBREL_WERROR=ON "$@"
cmake --build "$BUILD_DIR" --parallel "$(nproc)"
