#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the suite as built
# normally, the same suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== build and test"
scripts/build.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure --parallel "$(nproc)"

echo "== build and test with address and undefined-behaviour sanitizers"
# GCC's object-size warnings misfire on sanitizer-instrumented code, so this
# build does not turn warnings into errors; the build above does.
BUILD_DIR=build-sanitize scripts/build.sh -DAMBREL_SANITIZE=address,undefined -DAMBREL_WERROR=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure --parallel "$(nproc)"

echo "== fuzz targets"
scripts/fuzz-smoke.sh 60
