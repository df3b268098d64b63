#!/usr/bin/env bash
# Installs the packages Ambrel needs, builds what it runs (the desktop
# application, the command-line programs and the sample maker; not the test
# suites, and without treating warnings as errors) into ./build-run (or
# $BUILD_DIR), and starts the desktop application; arguments are HEIC files
# or folders to list in its window. It ends by saying where the command-line
# programs are.
#
# Without a display (neither DISPLAY nor WAYLAND_DISPLAY set) the window
# cannot open: the script says so and converts generated samples with the
# command-line converter instead, into $BUILD_DIR/sample (replaced at every
# run; nothing is left in temporary folders).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-run}"

scripts/install-deps.sh
# A build folder of its own: scripts/test.sh's build keeps warnings as errors.
cmake -S . -B "$BUILD_DIR" -G Ninja -DAMBREL_WERROR=OFF >/dev/null
cmake --build "$BUILD_DIR" --parallel "$(nproc)" --target ambrel ambrel-convert ambrel-heifinfo ambrel-make-samples

# Where the command-line programs are, said last whichever way the script ends.
programs_are_here() {
  echo "The command-line programs are $BUILD_DIR/cli/ambrel-convert and $BUILD_DIR/cli/ambrel-heifinfo"
  echo "(--help lists their options; 'cmake --install' puts them on the PATH, see the README's Install)."
}

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  programs_are_here
  exec "$BUILD_DIR/app/ambrel" "$@"
fi

echo "No display here (DISPLAY and WAYLAND_DISPLAY are unset), so the Ambrel window cannot open."
echo "Converting generated samples with ambrel-convert instead:"
sample="$BUILD_DIR/sample"
rm -rf "$sample"
"$BUILD_DIR/tests/ambrel-make-samples" "$sample/heic" >/dev/null
"$BUILD_DIR/cli/ambrel-convert" --format PNG --output "$sample/converted" "$sample/heic/landscape.heic" \
  "$sample/heic/grid_tiles.HEIC"
echo "Written into $sample/converted:"
ls -l "$sample/converted"
programs_are_here
