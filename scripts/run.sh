#!/usr/bin/env bash
# Installs the packages Ambrel needs, builds it, and starts the desktop
# application; arguments are HEIC files or folders to list in its window.
#
# Without a display (neither DISPLAY nor WAYLAND_DISPLAY set) the window
# cannot open: the script says so and converts a generated sample with the
# command-line converter instead.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
export BUILD_DIR

scripts/install-deps.sh
scripts/build.sh

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$BUILD_DIR/app/ambrel" "$@"
fi

echo "No display here (DISPLAY and WAYLAND_DISPLAY are unset), so the Ambrel window cannot open."
echo "Converting a generated sample with ambrel-convert instead:"
work="$(mktemp -d "${TMPDIR:-/tmp}/ambrel-sample.XXXXXX")"
"$BUILD_DIR/tests/ambrel-make-samples" "$work" >/dev/null
"$BUILD_DIR/cli/ambrel-convert" --format PNG --output "$work/converted" "$work/landscape.heic" "$work/grid_tiles.HEIC"
echo "Written into $work/converted:"
ls -l "$work/converted"
