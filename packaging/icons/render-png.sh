#!/usr/bin/env bash
# Renders the installed PNG icons from ambrel.svg. The PNGs are committed, so
# that building needs no SVG renderer; run this by hand when the SVG changes
# (needs rsvg-convert: apt-get install librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" ambrel.svg --output "ambrel-$size.png"
done
