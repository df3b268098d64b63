#!/usr/bin/env bash
# Takes the screenshots in docs/screenshots/en and docs/screenshots/zh from
# the real application under Xvfb, once in English and once in Chinese: the
# empty window, the window while a job runs over generated files, after it
# (four converted rows, two failed), the summary alert, a failed row's reason
# and details, the smallest window, the summary after a stop,
# the preview of the largest output (a 12 MP photo) and the About window.
# Installs Xvfb and a Chinese font when they are missing; builds what it runs.
#
#   scripts/screenshots.sh [OUTPUT_FOLDER]     (default docs/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
out="${1:-docs/screenshots}"

if ! command -v xvfb-run >/dev/null || [ -z "$(fc-list :lang=zh 2>/dev/null)" ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends xvfb xauth fonts-wqy-microhei \
    >/dev/null
fi
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DAMBREL_WERROR=ON >/dev/null
fi
cmake --build "$BUILD_DIR" --target ambrel ambrel-make-samples >/dev/null

# A home of its own at a fixed place, so the pictures show short paths: a
# first start, outputs into its Downloads folder.
home="${TMPDIR:-/tmp}/ambrel-demo"
rm -rf "$home"
trap 'rm -rf "$home"' EXIT
samples="$home/Pictures"
"$BUILD_DIR/tests/ambrel-make-samples" "$samples" >/dev/null
mkdir -p "$home/runtime"
chmod 700 "$home/runtime"
for language in en zh; do
  case "$language" in
    en) locale=en_US.UTF-8 ;;
    zh) locale=zh_CN.UTF-8 ;;
  esac
  rm -rf "$home/.cache" "$home/.local" "$home/.config" "$home/Downloads" "$home/shots"
  env HOME="$home" XDG_CACHE_HOME="$home/.cache" XDG_DATA_HOME="$home/.local/share" \
      XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=xcb \
      LANG="$locale" LANGUAGE="$language" LC_ALL="" \
    xvfb-run -a -s "-screen 0 1280x900x24" \
    "$BUILD_DIR/app/ambrel" --screenshots "$home/shots" \
      "$samples/landscape.heic" "$samples/large_landscape.heic" "$samples/with_depth.heic" \
      "$samples/grid_tiles.HEIC" \
      "$samples/not_a_photo.heic" "$samples/rotated.heic" "$samples/empty.heic"
  grep -h "preview showed" "$home/.local/share/Ambrel/"*.log || true
  mkdir -p "$out/$language"
  cp "$home/shots/"*.png "$out/$language/"
done

echo "Screenshots in $out:"
ls -l "$out"/*
