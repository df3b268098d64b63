#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each briefly over the seeds:
# the shared corpus, generated fixtures and the kept regression inputs.
#   scripts/fuzz-smoke.sh [SECONDS]      (default 60 per target)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET="${1:-60}"
FUZZ_DIR="${FUZZ_BUILD_DIR:-build-fuzz}"
SEEDS="$FUZZ_DIR/seeds"

CC=clang CXX=clang++ cmake -S . -B "$FUZZ_DIR" -G Ninja -DAMBREL_FUZZ=ON -DAMBREL_BUILD_TESTS=OFF >/dev/null
targets=$(sed -n 's/^add_executable(\([a-z_]*_fuzzer\).*/\1/p' fuzz/CMakeLists.txt)
cmake --build "$FUZZ_DIR" --parallel "$(nproc)" --target $targets

# Seeds: generated files come from the (regular) test build.
rm -rf "$SEEDS" && mkdir -p "$SEEDS"
"${BUILD_DIR:-build}/tests/ambrel-fuzz-seeds" "$SEEDS"
cp ../shared/corpus/*.hei* "$SEEDS"/ 2>/dev/null || true
cp tests/data/fuzz-regressions/* "$SEEDS"/ 2>/dev/null || true

for target in $targets; do
  echo "== $target: ${SECONDS_PER_TARGET}s"
  work=$(mktemp -d)
  (cd "$work" && "$OLDPWD/$FUZZ_DIR/fuzz/$target" -max_total_time="$SECONDS_PER_TARGET" -rss_limit_mb=2048 \
      -timeout=10 -max_len=300000 -print_final_stats=1 "$work" "$OLDPWD/$SEEDS" 2>&1 | tail -n 12)
  rm -rf "$work"
done
