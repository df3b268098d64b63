#!/usr/bin/env bash
# The house rules that a compiler does not check:
#   - every C++ file is formatted as .clang-format says (clang-format);
#   - the libraries, the programs and the app pass .clang-tidy's checks.
# The layer rule (cmake/LayerCheck.cmake) runs with every build.
#   scripts/lint.sh [BUILD_DIR]   (default build; needs its compile_commands.json)
# Exit status 1 on any finding. `scripts/lint.sh --fix-format` rewrites the
# files in the house format instead of checking them.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ "${1:-}" == "--fix-format" ]]; then
  git ls-files '*.cpp' '*.h' | xargs clang-format -i
  exit 0
fi
build="${1:-build}"

echo "-- clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "-- clang-tidy"
# Our own translation units only (the tests, fuzz targets and benchmarks are
# checked by the compiler's warnings); headers are checked through them.
mapfile -t sources < <(git ls-files 'heiclib/*.cpp' 'pipeline/*.cpp' 'convert/*.cpp' 'cli/*.cpp' 'app/*.cpp' |
  grep -v '^app/tools/')
# The app's sources need the moc and uic outputs of the build to be there.
# The build's flags are GCC's; clang-tidy is told not to mind the ones clang
# does not know (GCC 12's Release workarounds).
printf '%s\n' "${sources[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option 2>/dev/null > "$build/clang-tidy.log" || true
if grep -E 'warning:|error:' "$build/clang-tidy.log"; then
  echo "clang-tidy: findings above (see .clang-tidy)"
  exit 1
fi
echo "lint: clean"
