#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the suite as built
# normally (with libstdc++'s assertions, run under glibc's heap checks), the
# house rules (format, static analysis, layers), the same suite built with
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded suites built
# with ThreadSanitizer, and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== Release build and test (libstdc++ assertions, glibc heap checks)"
# The Release build, as installed and benchmarked (warnings are errors there too).
scripts/build.sh -DCMAKE_BUILD_TYPE=Release -DAMBREL_GLIBCXX_ASSERTIONS=ON
# FFmpeg and the other libraries are not instrumented by any sanitizer; glibc
# checks their writes into our buffers: libc_malloc_debug with MALLOC_CHECK_=3
# puts a guard byte after every heap block and checks it when the block is
# freed, and MALLOC_PERTURB_ fills fresh and freed blocks with a pattern, so
# that what reads memory nobody wrote sees garbage rather than zeros.
# awk reads ldconfig's whole list: stopping early would end ldconfig with
# SIGPIPE, which pipefail turns into a failure of this script.
malloc_debug=$(ldconfig -p | awk '/libc_malloc_debug\.so\.0/ && !found { print $NF; found = 1 }')
env ${malloc_debug:+LD_PRELOAD="$malloc_debug"} MALLOC_CHECK_=3 MALLOC_PERTURB_=165 \
  ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure --parallel "$(nproc)"

echo "== lint (format, static analysis; the layer rule ran with the build)"
scripts/lint.sh "${BUILD_DIR:-build}"

echo "== build and test with address and undefined-behaviour sanitizers"
# GCC's object-size warnings misfire on sanitizer-instrumented code, so this
# build does not turn warnings into errors; the build above does.
BUILD_DIR=build-sanitize scripts/build.sh -DAMBREL_SANITIZE=address,undefined -DAMBREL_WERROR=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure --parallel "$(nproc)"

echo "== build and test with thread sanitizer"
# The suites whose code runs threads of its own (the band encoder beside the
# decoder, parallel conversions in a job, the reader shared by them); not
# the application. FFmpeg's frame threads are not instrumented: what TSan
# cannot see of them, tests/tsan.supp names.
cmake -S . -B build-tsan -G Ninja -DAMBREL_SANITIZE=thread -DAMBREL_WERROR=OFF >/dev/null
cmake --build build-tsan --parallel "$(nproc)" --target heiclib_reader_tests pipeline_tests ambrel_convert_tests
for suite in heiclib_reader_tests pipeline_tests ambrel_convert_tests; do
  echo "-- $suite"
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp" \
    "build-tsan/tests/$suite" --gtest_brief=1
done

echo "== fuzz targets"
scripts/fuzz-smoke.sh 60
