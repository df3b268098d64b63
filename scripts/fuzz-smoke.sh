#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each briefly over the seeds:
# the shared corpus, generated fixtures and the kept regression inputs.
#   scripts/fuzz-smoke.sh [SECONDS]      (default 60 per target)
#
# Two builds: $FUZZ_BUILD_DIR (default build-fuzz) with AddressSanitizer and
# UndefinedBehaviorSanitizer for the targets that stay in our own code, and
# $FUZZ_HEAP_BUILD_DIR (default build-fuzz-heap) without them for
# conversion_fuzzer, which decodes with FFmpeg: FFmpeg is not instrumented,
# so there glibc's heap checks (MALLOC_CHECK_=3 with libc_malloc_debug, a
# guard byte after every block) and libstdc++'s assertions do the checking.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET="${1:-60}"
FUZZ_DIR="${FUZZ_BUILD_DIR:-build-fuzz}"
HEAP_DIR="${FUZZ_HEAP_BUILD_DIR:-build-fuzz-heap}"
SEEDS="$FUZZ_DIR/seeds"
# Inputs up to 8 MB: the targets' box mutator (fuzz/box_mutator.h) repeats
# boxes and raises counts, so that a few megabytes that make the reader use
# gigabytes show up as an rss or malloc limit finding.
MAX_LEN="${FUZZ_MAX_LEN:-8388608}"
HEAP_TARGETS="conversion_fuzzer"

all=$(sed -n 's/^add_executable(\([a-z_]*_fuzzer\).*/\1/p' fuzz/CMakeLists.txt)
targets=$(for t in $all; do [[ " $HEAP_TARGETS " == *" $t "* ]] || echo "$t"; done)

CC=clang CXX=clang++ cmake -S . -B "$FUZZ_DIR" -G Ninja -DAMBREL_FUZZ=ON -DAMBREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$FUZZ_DIR" --parallel "$(nproc)" --target $targets
CC=clang CXX=clang++ cmake -S . -B "$HEAP_DIR" -G Ninja -DAMBREL_FUZZ=ON -DAMBREL_FUZZ_SANITIZE= \
  -DAMBREL_GLIBCXX_ASSERTIONS=ON -DAMBREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$HEAP_DIR" --parallel "$(nproc)" --target $HEAP_TARGETS

# Seeds: generated files come from the (regular) test build.
rm -rf "$SEEDS" && mkdir -p "$SEEDS"
"${BUILD_DIR:-build}/tests/ambrel-fuzz-seeds" "$SEEDS"
cp ../shared/corpus/*.hei* "$SEEDS"/ 2>/dev/null || true
# A finding whose fix is not in yet is kept as pending-*: it would only make
# every run stop on it.
find tests/data/fuzz-regressions -maxdepth 1 -type f ! -name 'pending-*' -exec cp {} "$SEEDS"/ \;

malloc_debug=$(ldconfig -p | awk '/libc_malloc_debug\.so\.0/ && !found { print $NF; found = 1 }')

run() {
  local dir="$1" target="$2"
  shift 2
  echo "== $target: ${SECONDS_PER_TARGET}s"
  work=$(mktemp -d)
  (cd "$work" && env "$@" "$OLDPWD/$dir/fuzz/$target" -max_total_time="$SECONDS_PER_TARGET" -rss_limit_mb=2048 \
      -timeout=10 -max_len="$MAX_LEN" -print_final_stats=1 "$work" "$OLDPWD/$SEEDS" 2>&1 | tail -n 12)
  rm -rf "$work"
}

for target in $targets; do
  run "$FUZZ_DIR" "$target"
done
for target in $HEAP_TARGETS; do
  run "$HEAP_DIR" "$target" ${malloc_debug:+LD_PRELOAD="$malloc_debug"} MALLOC_CHECK_=3 MALLOC_PERTURB_=165
done
