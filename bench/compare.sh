#!/usr/bin/env bash
# Times whole conversions of phone-like HEIC files side by side, in one run,
# and checks them against the performance goals. The tools take turns run by
# run, so that a change in the machine's load hits all of them alike; each
# figure is the median of the runs.
#
# - Single files (12, 48 and 200 MP) to JPEG: ambrel-convert against libheif's
#   heif-convert, vips copy when present, and the decode floor: the file's
#   tiles as one HEVC stream (ambrel-dump-tiles writes the very stream
#   ambrel-convert decodes) through the ffmpeg program to a null output,
#   with the automatic thread count (-threads 0), which is what ambrel's
#   decoder asks libavcodec for. Peak memory by GNU time.
# - Lossless formats (12 and 48 MP): PNG, TIFF, JPEG 2000 at quality 100
#   against heif-convert's PNG and vips' PNG, TIFF and lossless JPEG 2000.
# - Peak memory (unless --no-memory): each size to JPEG, PNG and TIFF, and its
#   portrait variant (stored on its side, so the picture is turned) to PNG,
#   TIFF and JPEG with --no-exif, in bytes per output pixel.
# - 200 MP in every format and depth (with 200mp in --sizes, unless
#   --formats none): JPEG q90, PNG, TIFF, BMP, JPEG 2000 q90 and lossless,
#   and --depth 16 PNG, TIFF and JPEG 2000, one run each: time, CPU time
#   (user + system), peak memory, output size; a refusal is a row too.
# - AVIF (the same photographs made by avifenc: 12 MP one coded image, 48 MP
#   a grid of 504 x 504 cells; those of --sizes unless --avif says
#   otherwise) to JPEG: ambrel-convert against heif-convert and the AV1
#   decode floor (the file's coded data as an OBU stream through the ffmpeg
#   program with libdav1d, -threads 0); peak memory.
# - HDR (12 and 200 MP files with an Apple gain map, those of --sizes unless
#   --hdr says otherwise): the gain-map JPEG at quality 90 against the same
#   conversion with --no-hdr, time and peak memory.
# - Scaled outputs: --scale 50 and 25 against 100, JPEG at quality 90.
# - A batch of N 12 MP files at quality 90: ambrel-convert with its default
#   -j and with -j 1, `xargs -P 2 heif-convert` (one file per process, two at
#   a time), and the desktop application (ambrel-app-batch drives its window
#   with nobody at it, on Qt's offscreen platform).
# - Last, the goals: one row per goal and file with the figures, their
#   ratio, the target and whether it is met.
#
#   bench/compare.sh [--runs N] [--sizes 12mp,48mp,200mp] [--qualities 90,100]
#                    [--formats png,tiff,jpeg2000|none] [--scales 50,25|none]
#                    [--avif 12mp,48mp|none] [--hdr 12mp,200mp|none]
#                    [--batch N] [--batch-runs N]
#                    [--no-app] [--no-memory] [--no-install]
#
# A quick look (a few minutes): --runs 1 --sizes 12mp --batch 8 --batch-runs 1.
# Builds into $BUILD_DIR (default build-bench, at most $BUILD_JOBS jobs,
# default 2), generates the files into $BENCH_DIR (default
# ${TMPDIR:-/tmp}/ambrel-bench; kept between runs, the encoder's cache too),
# and prints Markdown tables. Installs heif-convert (libheif-examples), vips
# (libvips-tools), ffmpeg and GNU time when they are missing, unless
# --no-install is given.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-bench}"
BENCH_DIR="${BENCH_DIR:-${TMPDIR:-/tmp}/ambrel-bench}"
BUILD_JOBS="${BUILD_JOBS:-2}"

runs=5
sizes="12mp,48mp,200mp"
qualities="90,100"
formats="png,tiff,jpeg2000"
scales="50,25"
batch=40
batchRuns=3
app=1
install=1
memoryRuns=1
hdr=""
avif=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --sizes) sizes="$2"; shift 2 ;;
    --qualities) qualities="$2"; shift 2 ;;
    --formats) formats="$2"; shift 2 ;;
    --scales) scales="$2"; shift 2 ;;
    --hdr) hdr="$2"; shift 2 ;;
    --avif) avif="$2"; shift 2 ;;
    --batch) batch="$2"; shift 2 ;;
    --batch-runs) batchRuns="$2"; shift 2 ;;
    --no-app) app=0; shift ;;
    --no-memory) memoryRuns=0; shift ;;
    --no-install) install=0; shift ;;
    -h|--help) sed -n '2,50p' "$0"; exit 0 ;;
    *) echo "compare.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
[ "$scales" = none ] && scales=""
if [ -z "$hdr" ]; then
  for size in ${sizes//,/ }; do
    case "$size" in 12mp|200mp) hdr+="${hdr:+,}$size" ;; esac
  done
fi
[ "$hdr" = none ] && hdr=""
if [ -z "$avif" ]; then
  for size in ${sizes//,/ }; do
    case "$size" in 12mp|48mp) avif+="${avif:+,}$size" ;; esac
  done
fi
[ "$avif" = none ] && avif=""

if [ "$install" = 1 ]; then
  missing=()
  command -v heif-convert >/dev/null || missing+=(libheif-examples)
  command -v vips >/dev/null || missing+=(libvips-tools)
  command -v ffmpeg >/dev/null || missing+=(ffmpeg)
  command -v avifenc >/dev/null || missing+=(libavif-bin)
  [ -x /usr/bin/time ] || missing+=(time)
  if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi
[ -x /usr/bin/time ] || { echo "compare.sh: GNU time (/usr/bin/time) is needed" >&2; exit 1; }

if [ -f "$BUILD_DIR/build.ninja" ]; then
  cmake -S . -B "$BUILD_DIR" -DAMBREL_BENCH=ON >/dev/null
else
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREL_BENCH=ON -DAMBREL_BUILD_TESTS=OFF >/dev/null
fi
targets=(ambrel-convert ambrel-make-bench-files ambrel-dump-tiles ambrel_stage_bench)
# The application's program exists when Qt 6 was found.
if [ "$app" = 1 ] && ninja -C "$BUILD_DIR" -t targets all 2>/dev/null | grep '^ambrel-app-batch:' >/dev/null; then
  targets+=(ambrel-app-batch)
else
  app=0
fi
cmake --build "$BUILD_DIR" -j "$BUILD_JOBS" --target "${targets[@]}" >/dev/null
convert="$BUILD_DIR/cli/ambrel-convert"

files="$BENCH_DIR/files"
mkdir -p "$files"
echo "Generating the files in $files (once; the tiles are encoded with ffmpeg)..." >&2
# shellcheck disable=SC2086
"$BUILD_DIR/bench/ambrel-make-bench-files" "$files" ${sizes//,/ } >/dev/null
if [ "$memoryRuns" = 1 ]; then
  for size in ${sizes//,/ }; do
    "$BUILD_DIR/bench/ambrel-make-bench-files" "$files" "$size-portrait" >/dev/null
  done
fi
if [ "$batch" -gt 0 ]; then
  "$BUILD_DIR/bench/ambrel-make-bench-files" "$files" --batch "$batch" >/dev/null
fi
for size in ${hdr//,/ }; do
  "$BUILD_DIR/bench/ambrel-make-bench-files" "$files" "$size-hdr" >/dev/null
done
for size in ${avif//,/ }; do
  "$BUILD_DIR/bench/ambrel-make-bench-files" "$files" "$size-avif" >/dev/null
done

# The decode floor's streams, one a file.
streams="$BENCH_DIR/streams"
mkdir -p "$streams"
for size in ${sizes//,/ }; do
  "$BUILD_DIR/bench/ambrel-dump-tiles" "$files/$size.heic" "$streams/$size.hevc" >/dev/null
done
for size in ${avif//,/ }; do
  "$BUILD_DIR/bench/ambrel-dump-tiles" "$files/$size-avif.avif" "$streams/$size-avif.obu" >/dev/null
done

out="$BENCH_DIR/out"
tools=(ambrel heif-convert)
command -v vips >/dev/null && tools+=(vips)
floor=0
command -v ffmpeg >/dev/null && floor=1

# The goals' rows, printed at the end.
goals=()
# goal LABEL MEASURED RATIO TARGET-OPERATOR TARGET [VERDICT]: one row; the
# ratio "-" when it could not be measured; VERDICT overrides the comparison
# (a goal with a further condition that failed).
goal() {
  local verdict
  if [ -n "${6:-}" ]; then
    verdict="$6"
  elif [ "$3" = - ]; then
    verdict="not measured"
  else
    verdict=$(awk -v r="$3" -v t="$5" -v op="$4" 'BEGIN {
      ok = (op == "<=") ? (r <= t) : (r < t); print ok ? "met" : "not met" }')
  fi
  goals+=("| $1 | $2 | $3 | $4 $5 | $verdict |")
}

# Runs one conversion to the format (jpg, png, tiff or jpeg2000; jpg when not
# given), at the scale in percent (ambrel-convert only; 100 when not given);
# prints "milliseconds peak-KB output-bytes". The output is removed by the
# next run. heif-convert picks the format by the output's extension; vips
# writes JPEG 2000 lossless, like ambrel-convert at quality 100. The tool
# "floor" decodes the file's stream with ffmpeg and writes nothing.
run_once() {
  local tool="$1" input="$2" quality="$3" format="${4:-jpg}" scale="${5:-100}" extra="${6:-}"
  rm -rf "$out"
  mkdir -p "$out"
  local extension
  case "$format" in
    jpg) extension=jpg ;;
    png) extension=png ;;
    tiff) extension=tif ;;
    jpeg2000) extension=jp2 ;;
  esac
  local command
  case "$tool" in
    ambrel)
      command=("$convert" -q "$quality" --plain-names -o "$out")
      [ "$format" != jpg ] && command+=(-f "$format")
      [ "$scale" != 100 ] && command+=(--scale "$scale")
      [ -n "$extra" ] && command+=("$extra")
      command+=("$input") ;;
    heif-convert) command=(heif-convert -q "$quality" "$input" "$out/out.$extension") ;;
    vips)
      case "$format" in
        jpg) command=(vips copy "$input" "$out/out.jpg[Q=$quality]") ;;
        jpeg2000) command=(vips copy "$input" "$out/out.jp2[lossless]") ;;
        *) command=(vips copy "$input" "$out/out.$extension") ;;
      esac ;;
    floor)
      local stem
      stem=$(basename "$input")
      stem="${stem%.*}"
      if [[ "$input" == *.avif ]]; then
        command=(ffmpeg -nostdin -hide_banner -loglevel error -threads 0 -c:v libdav1d -f obu
          -i "$streams/$stem.obu" -f null -)
      else
        command=(ffmpeg -nostdin -hide_banner -loglevel error -threads 0 -f hevc -i "$streams/$stem.hevc" -f null -)
      fi ;;
  esac
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f "%M" -o "$BENCH_DIR/rss" "${command[@]}" >/dev/null 2>"$BENCH_DIR/stderr" ||
    { echo "compare.sh: $tool failed on $input:" >&2; cat "$BENCH_DIR/stderr" >&2; exit 1; }
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000000 )) $(tail -n 1 "$BENCH_DIR/rss") $(find "$out" -type f -printf '%s\n' |
    awk '{ s += $1 } END { print s + 0 }')"
}

median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
largest() { tr ' ' '\n' | grep . | sort -n | tail -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
megabytes() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1048576 }'; }
hasTool() { [[ " ${tools[*]} " == *" $1 "* ]]; }

declare -A pixels=([12mp]=$((4032 * 3024)) [48mp]=$((8064 * 6048)) [200mp]=$((16320 * 12240)))
declare -A floorTarget=([12mp]=1.10 [48mp]=1.15 [200mp]=1.15)
declare -A floorMs=()

echo "## Single files to JPEG ($runs runs each, tools alternating; medians)"
echo
if [ "$floor" = 1 ]; then
  echo "Decode floor: \`ffmpeg -threads 0 -f hevc -i FILE.hevc -f null -\` over the file's tiles (ambrel-dump-tiles)."
  echo
fi
singleTools=("${tools[@]}")
[ "$floor" = 1 ] && singleTools+=(floor)
header="| file | quality | ambrel-convert | heif-convert |"
rule="|---|---|---|---|"
if hasTool vips; then header+=" vips |"; rule+="---|"; fi
if [ "$floor" = 1 ]; then header+=" decode floor |"; rule+="---|"; fi
header+=" ambrel / heif-convert |"; rule+="---|"
if hasTool vips; then header+=" ambrel / vips |"; rule+="---|"; fi
if [ "$floor" = 1 ]; then header+=" ambrel / floor |"; rule+="---|"; fi
header+=" ambrel peak memory | bytes per output pixel |"; rule+="---|---|"
echo "$header"
echo "$rule"
for size in ${sizes//,/ }; do
  for quality in ${qualities//,/ }; do
    declare -A times=() memory=() med=()
    for ((i = 0; i < runs; i++)); do
      for tool in "${singleTools[@]}"; do
        # The floor does not depend on the quality: once a file.
        if [ "$tool" = floor ] && [ "$quality" != "${qualities%%,*}" ]; then continue; fi
        read -r ms kb _ < <(run_once "$tool" "$files/$size.heic" "$quality")
        times[$tool]+="$ms "
        memory[$tool]+="$kb "
      done
    done
    for tool in "${singleTools[@]}"; do
      if [ -n "${times[$tool]:-}" ]; then med[$tool]=$(echo "${times[$tool]}" | median); fi
    done
    if [ -n "${med[floor]:-}" ]; then floorMs[$size]="${med[floor]}"; fi
    peak=$(echo "${memory[ambrel]}" | largest)
    perPixel=$(awk -v k="$peak" -v p="${pixels[$size]}" 'BEGIN { printf "%.2f", k * 1024 / p }')
    line="| $size | $quality | ${med[ambrel]} ms | ${med[heif-convert]} ms |"
    hasTool vips && line+=" ${med[vips]} ms |"
    [ "$floor" = 1 ] && line+=" ${floorMs[$size]:--} ms |"
    line+=" $(ratio "${med[ambrel]}" "${med[heif-convert]}") |"
    hasTool vips && line+=" $(ratio "${med[ambrel]}" "${med[vips]}") |"
    [ "$floor" = 1 ] && line+=" $(ratio "${med[ambrel]}" "${floorMs[$size]:-0}") |"
    line+=" $((peak / 1024)) MB | $perPixel |"
    echo "$line"
    if [ "$quality" = 90 ]; then
      if [ "$size" = 200mp ]; then
        goal "1. memory: 200mp to JPEG q90, peak RSS in MB (2^20 bytes)" \
          "$((peak / 1024)) MB, $perPixel bytes per output pixel" "$((peak / 1024))" "<=" 200
      fi
      if [ "$floor" = 1 ]; then
        goal "2. decode floor: $size, ambrel to JPEG q90 / ffmpeg decoding its tiles" \
          "${med[ambrel]} ms / ${floorMs[$size]} ms" "$(ratio "${med[ambrel]}" "${floorMs[$size]}")" "<=" \
          "${floorTarget[$size]}"
      fi
    fi
    unset times memory med
  done
done
if [[ ",$sizes," != *",200mp,"* ]] || [[ ",$qualities," != *",90,"* ]]; then
  goal "1. memory: 200mp to JPEG q90, peak RSS in MB" "(not run: needs --sizes with 200mp, --qualities with 90)" - "<=" 200
fi

losslessSizes=()
for size in ${sizes//,/ }; do
  case "$size" in 12mp|48mp) losslessSizes+=("$size") ;; esac
done
if [ "$formats" != none ] && [ -n "$formats" ] && [ ${#losslessSizes[@]} -gt 0 ]; then
  echo
  echo "## Lossless formats ($runs runs each, tools alternating; medians; heif-convert writes PNG only)"
  echo
  echo "ambrel-convert at quality 100; vips: \`vips copy x.heic y.png\`, \`y.tif\` (uncompressed, its default), \`y.jp2[lossless]\`."
  echo
  header="| file | format | ambrel-convert | heif-convert |"
  rule="|---|---|---|---|"
  if hasTool vips; then header+=" vips |"; rule+="---|"; fi
  header+=" ambrel / heif-convert |"; rule+="---|"
  if hasTool vips; then header+=" ambrel / vips |"; rule+="---|"; fi
  header+=" ambrel size | heif-convert size |"; rule+="---|---|"
  if hasTool vips; then header+=" vips size |"; rule+="---|"; fi
  echo "$header"
  echo "$rule"
  # A tool's median time and output size in the row being measured; "-" for a
  # tool that does not write the format.
  cell() { if [ -n "${med[$1]:-}" ]; then echo "${med[$1]} ms"; else echo "-"; fi; }
  sizeCell() { if [ -n "${bytes[$1]:-}" ]; then megabytes "${bytes[$1]}"; else echo "-"; fi; }
  for size in "${losslessSizes[@]}"; do
    for format in ${formats//,/ }; do
      formatTools=()
      for tool in "${tools[@]}"; do
        if [ "$tool" != heif-convert ] || [ "$format" = png ]; then formatTools+=("$tool"); fi
      done
      declare -A times=() bytes=() med=()
      for ((i = 0; i < runs; i++)); do
        for tool in "${formatTools[@]}"; do
          read -r ms _ size_bytes < <(run_once "$tool" "$files/$size.heic" 100 "$format")
          times[$tool]+="$ms "
          bytes[$tool]="$size_bytes"
        done
      done
      for tool in "${formatTools[@]}"; do
        med[$tool]=$(echo "${times[$tool]}" | median)
      done
      line="| $size | $format | $(cell ambrel) | $(cell heif-convert) |"
      hasTool vips && line+=" $(cell vips) |"
      line+=" $(ratio "${med[ambrel]}" "${med[heif-convert]:-0}") |"
      hasTool vips && line+=" $(ratio "${med[ambrel]}" "${med[vips]:-0}") |"
      line+=" $(sizeCell ambrel) | $(sizeCell heif-convert) |"
      hasTool vips && line+=" $(sizeCell vips) |"
      echo "$line"
      if [ "$format" = png ]; then
        # Met when faster by half and no larger.
        sizeRatio=$(ratio "${bytes[ambrel]}" "${bytes[heif-convert]}")
        timeRatio=$(ratio "${med[ambrel]}" "${med[heif-convert]}")
        larger=""
        if awk -v s="$sizeRatio" 'BEGIN { exit !(s > 1) }'; then larger="not met (larger output)"; fi
        goal "3. PNG: $size, ambrel / heif-convert (time; size no larger)" \
          "${med[ambrel]} ms, $(sizeCell ambrel) / ${med[heif-convert]} ms, $(sizeCell heif-convert); size ratio $sizeRatio" \
          "$timeRatio" "<=" 0.5 "$larger"
      elif hasTool vips; then
        what="$format"
        [ "$format" = jpeg2000 ] && what="JPEG 2000 (lossless both)"
        [ "$format" = tiff ] && what="TIFF"
        goal "3. $what: $size, ambrel / vips copy" \
          "${med[ambrel]} ms, $(sizeCell ambrel) / ${med[vips]} ms, $(sizeCell vips)" \
          "$(ratio "${med[ambrel]}" "${med[vips]}")" "<=" 0.6
      fi
      unset times bytes med
    done
  done
fi

if [ "$memoryRuns" = 1 ] && [ -n "$sizes" ]; then
  echo
  echo "## Peak memory of ambrel-convert (one run each; GNU time's maximum RSS)"
  echo
  echo "Landscape files need no turn: JPEG (EXIF carries the orientation), PNG and TIFF are written band"
  echo "by band while the tiles are decoded. Portrait files are stored on their side: PNG, TIFF and JPEG"
  echo "with --no-exif turn the picture, band by band from the whole stored picture."
  echo
  echo "| file | output | peak | bytes per output pixel |"
  echo "|---|---|---|---|"
  for size in ${sizes//,/ }; do
    for job in "jpg:90:" "png:100:" "tiff:100:" "portrait:jpg:90:--no-exif" "portrait:png:100:" "portrait:tiff:100:"; do
      input="$files/$size.heic"
      label="$size"
      if [[ "$job" == portrait:* ]]; then
        input="$files/$size-portrait.heic"
        label="$size portrait"
        job="${job#portrait:}"
      fi
      IFS=: read -r format quality extra <<<"$job"
      read -r _ kb _ < <(run_once ambrel "$input" "$quality" "$format" 100 "$extra")
      perPixel=$(awk -v k="$kb" -v p="${pixels[$size]}" 'BEGIN { printf "%.2f", k * 1024 / p }')
      output="$format q$quality${extra:+ $extra}"
      echo "| $label | $output | $((kb / 1024)) MB | $perPixel |"
      # Per pixel, the process's own libraries (some 40 MB) count only at
      # the larger sizes.
      [ "$size" = 12mp ] && continue
      if [[ "$label" == *portrait* ]]; then
        goal "1. memory: $label to $output, turned, bytes per output pixel" "$((kb / 1024)) MB" \
          "$perPixel" "<=" 3.5
      elif [ "$format" != jpg ]; then
        goal "1. memory: $label to $output band by band, bytes per output pixel (the file itself included)" \
          "$((kb / 1024)) MB" "$perPixel" "<=" 3.5
      fi
    done
  done
fi

if [[ ",$sizes," == *",200mp,"* ]] && [ "$formats" != none ]; then
  echo
  echo "## 200 MP in every format and depth (one run each; CPU: user + system time of the process)"
  echo
  echo "The file's source is 8-bit: \`--depth 16\` asks for 16-bit PNG and TIFF (JPEG 2000 keeps the source's 8 bits)."
  echo
  echo "| output | time | CPU | peak memory | bytes per output pixel | output size |"
  echo "|---|---|---|---|---|---|"
  for job in "jpg 90 8" "png 100 8" "tiff 100 8" "bmp 100 8" "jpeg2000 90 8" "jpeg2000 100 8" \
    "png 100 16" "tiff 100 16" "jpeg2000 100 16"; do
    read -r format quality depth <<<"$job"
    rm -rf "$out"
    mkdir -p "$out"
    label="$format q$quality, --depth $depth"
    start=$(date +%s%N)
    if /usr/bin/time -f "%M %U %S" -o "$BENCH_DIR/rss" "$convert" -q "$quality" -f "$format" --depth "$depth" \
      --plain-names -o "$out" "$files/200mp.heic" >"$BENCH_DIR/stdout" 2>"$BENCH_DIR/stderr"; then
      end=$(date +%s%N)
      read -r kb user system < <(tail -n 1 "$BENCH_DIR/rss")
      bytes=$(find "$out" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
      cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.1f", u + s }')
      perPixel=$(awk -v k="$kb" -v p="${pixels[200mp]}" 'BEGIN { printf "%.2f", k * 1024 / p }')
      echo "| $label | $(( (end - start) / 1000000 )) ms | $cpu s | $((kb / 1024)) MB | $perPixel | $(megabytes "$bytes") |"
      if [ "$format" = jpeg2000 ]; then
        goal "6. JPEG 2000: 200mp q$quality --depth $depth, peak RSS in MB" "$((kb / 1024)) MB" "$((kb / 1024))" "<=" 1536
        goal "6. JPEG 2000: 200mp q$quality --depth $depth, CPU seconds (user + system)" "$cpu s" "$cpu" "<=" 10
      fi
    else
      reason=$(cat "$BENCH_DIR/stdout" "$BENCH_DIR/stderr" | grep -m 1 . | cut -c 1-160 | tr '|' '/')
      echo "| $label | refused: $reason | - | - | - | - |"
    fi
  done
fi

if [ -n "$avif" ]; then
  echo
  echo "## AVIF to JPEG, quality 90 ($runs runs each, tools alternating; medians)"
  echo
  echo "Made by avifenc from the same photographs (8-bit 4:2:0); 48 MP as a grid of 504 x 504 cells."
  echo "Decode floor: \`ffmpeg -threads 0 -c:v libdav1d -f obu -i FILE.obu -f null -\` over the file's coded data."
  echo
  echo "| file | ambrel-convert | heif-convert | decode floor | ambrel / heif-convert | ambrel / floor | ambrel peak memory | bytes per output pixel |"
  echo "|---|---|---|---|---|---|---|---|"
  declare -A avifPixels=([12mp]=$((4032 * 3024)) [48mp]=$((8064 * 6048)))
  for size in ${avif//,/ }; do
    input="$files/$size-avif.avif"
    rm -rf "$out"
    mkdir -p "$out"
    if ! "$convert" -q 90 --plain-names -o "$out" "$input" >"$BENCH_DIR/stdout" 2>"$BENCH_DIR/stderr"; then
      reason=$(cat "$BENCH_DIR/stdout" "$BENCH_DIR/stderr" | grep -m 1 . | cut -c 1-160 | tr '|' '/')
      echo "| $size-avif | refused: $reason | - | - | - | - | - | - |"
      goal "8. AVIF: $size, ambrel to JPEG q90 / libdav1d decoding its data" "refused" - "<=" 1.10 "not met (refused)"
      continue
    fi
    declare -A times=() memory=() med=()
    for ((i = 0; i < runs; i++)); do
      for tool in ambrel heif-convert floor; do
        [ "$tool" = floor ] && [ "$floor" != 1 ] && continue
        read -r ms kb _ < <(run_once "$tool" "$input" 90)
        times[$tool]+="$ms "
        memory[$tool]+="$kb "
      done
    done
    for tool in ambrel heif-convert floor; do
      if [ -n "${times[$tool]:-}" ]; then med[$tool]=$(echo "${times[$tool]}" | median); fi
    done
    peak=$(echo "${memory[ambrel]}" | largest)
    perPixel=$(awk -v k="$peak" -v p="${avifPixels[$size]}" 'BEGIN { printf "%.2f", k * 1024 / p }')
    echo "| $size-avif | ${med[ambrel]} ms | ${med[heif-convert]} ms | ${med[floor]:--} ms |" \
      "$(ratio "${med[ambrel]}" "${med[heif-convert]}") | $(ratio "${med[ambrel]}" "${med[floor]:-0}") |" \
      "$((peak / 1024)) MB | $perPixel |"
    goal "8. AVIF: $size, ambrel to JPEG q90 / libdav1d decoding its data" "${med[ambrel]} ms / ${med[floor]:--} ms" \
      "$(ratio "${med[ambrel]}" "${med[floor]:-0}")" "<=" 1.10
    goal "8. AVIF: $size, ambrel / heif-convert" "${med[ambrel]} ms / ${med[heif-convert]} ms" \
      "$(ratio "${med[ambrel]}" "${med[heif-convert]}")" "<=" 0.6
    unset times memory med
  done
fi

if [ -n "$hdr" ]; then
  echo
  echo "## HDR: the gain-map JPEG against --no-hdr, quality 90 ($runs runs each, alternating; medians)"
  echo
  echo "The files carry an Apple gain map of half the picture's size each way (a grey grid of 512 x 512 tiles)."
  echo
  echo "| file | gain-map JPEG | --no-hdr | time ratio | peak memory | --no-hdr peak | output growth |"
  echo "|---|---|---|---|---|---|---|"
  declare -A hdrTarget=([12mp]=1.15 [200mp]=1.05)
  for size in ${hdr//,/ }; do
    declare -A times=() memory=() bytes=()
    for ((i = 0; i < runs; i++)); do
      for mode in hdr plain; do
        extra=""
        [ "$mode" = plain ] && extra="--no-hdr"
        read -r ms kb size_bytes < <(run_once ambrel "$files/$size-hdr.heic" 90 jpg 100 "$extra")
        times[$mode]+="$ms "
        memory[$mode]+="$kb "
        bytes[$mode]="$size_bytes"
      done
    done
    withMs=$(echo "${times[hdr]}" | median)
    plainMs=$(echo "${times[plain]}" | median)
    withKb=$(echo "${memory[hdr]}" | largest)
    plainKb=$(echo "${memory[plain]}" | largest)
    growth=$(awk -v a="${bytes[hdr]}" -v b="${bytes[plain]}" 'BEGIN { if (b > 0) printf "%.1f %%", 100 * (a - b) / b; else print "-" }')
    echo "| $size-hdr | $withMs ms | $plainMs ms | $(ratio "$withMs" "$plainMs") | $((withKb / 1024)) MB |" \
      "$((plainKb / 1024)) MB | $growth |"
    goal "7. HDR: $size, gain-map JPEG / --no-hdr (time)" "$withMs ms / $plainMs ms" \
      "$(ratio "$withMs" "$plainMs")" "<=" "${hdrTarget[$size]:-1.15}"
    if [ "$size" = 12mp ]; then
      goal "7. HDR: $size, peak memory added by the gain map, MB" "$((withKb / 1024)) MB - $((plainKb / 1024)) MB" \
        "$(( (withKb - plainKb) / 1024 ))" "<=" 10
    fi
    unset times memory bytes
  done
fi

if [ -n "$scales" ] && [ -n "$sizes" ]; then
  echo
  echo "## Scaled outputs, JPEG quality 90 ($runs runs each, scales alternating; medians)"
  echo
  header="| file | 100 % |"
  rule="|---|---|"
  for scale in ${scales//,/ }; do header+=" $scale % | $scale % / 100 % |"; rule+="---|---|"; done
  echo "$header"
  echo "$rule"
  for size in ${sizes//,/ }; do
    declare -A times=() med=()
    for ((i = 0; i < runs; i++)); do
      for scale in 100 ${scales//,/ }; do
        read -r ms _ _ < <(run_once ambrel "$files/$size.heic" 90 jpg "$scale")
        times[$scale]+="$ms "
      done
    done
    line="| $size | $(echo "${times[100]}" | median) ms |"
    med[100]=$(echo "${times[100]}" | median)
    for scale in ${scales//,/ }; do
      med[$scale]=$(echo "${times[$scale]}" | median)
      line+=" ${med[$scale]} ms | $(ratio "${med[$scale]}" "${med[100]}") |"
      goal "5. scaled: $size at $scale % / at 100 %" "${med[$scale]} ms / ${med[100]} ms" \
        "$(ratio "${med[$scale]}" "${med[100]}")" "<=" 1.0
    done
    echo "$line"
    unset times med
  done
fi

if [ "$batch" -gt 0 ]; then
  cores=$(nproc)
  echo
  echo "## Batch of $batch 12 MP files, JPEG quality 90 ($batchRuns runs each, alternating; medians)"
  echo
  echo "ambrel-convert's workers are threads of one process: its peak memory is that of all its workers together."
  echo "heif-convert: \`xargs -P 2 -n 1\`, one process a file; its peak is the largest single process."
  [ "$app" = 1 ] && echo "app: the desktop application's window driven by ambrel-app-batch (QT_QPA_PLATFORM=offscreen), from start to exit."
  echo
  echo "| converter | wall time | peak memory (process) | per worker |"
  echo "|---|---|---|---|"
  batchTools=(default j1 heif-convert)
  [ "$app" = 1 ] && batchTools+=(app)
  declare -A blabel=([default]="ambrel-convert (default -j: $cores)" [j1]="ambrel-convert -j 1"
    [heif-convert]="xargs -P 2 heif-convert" [app]="desktop app")
  declare -A bworkers=([default]="$cores" [j1]=1 [heif-convert]=1 [app]=1)
  declare -A btimes=() bmemory=() bmed=() bpeak=()
  appJob=""
  appHome="$BENCH_DIR/app-home"
  for ((i = 0; i < batchRuns; i++)); do
    for tool in "${batchTools[@]}"; do
      rm -rf "$out"
      mkdir -p "$out"
      case "$tool" in
        default) command=("$convert" -q 90 --plain-names -o "$out" "$files/batch") ;;
        j1) command=("$convert" -q 90 -j 1 --plain-names -o "$out" "$files/batch") ;;
        heif-convert)
          # shellcheck disable=SC2016
          command=(sh -c 'find "$1" -name "*.heic" -print0 | sort -z |
            xargs -0 -P 2 -n 1 sh -c '\''heif-convert -q 90 "$1" "$0/$(basename "$1" .heic).jpg" >/dev/null'\'' "$2"' \
            sh "$files/batch" "$out") ;;
        app)
          mkdir -p "$appHome"
          command=(env QT_QPA_PLATFORM=offscreen HOME="$appHome" XDG_CACHE_HOME="$appHome/cache"
            XDG_CONFIG_HOME="$appHome/config" "$BUILD_DIR/bench/ambrel-app-batch" "$files/batch" "$out" 90) ;;
      esac
      start=$(date +%s%N)
      /usr/bin/time -f "%M" -o "$BENCH_DIR/rss" "${command[@]}" >"$BENCH_DIR/stdout" 2>"$BENCH_DIR/stderr" ||
        { echo "compare.sh: the batch with $tool failed:" >&2; cat "$BENCH_DIR/stderr" >&2; exit 1; }
      end=$(date +%s%N)
      written=$(find "$out" -type f -iname '*.jpg' | wc -l)
      if [ "$written" -ne "$batch" ]; then
        echo "compare.sh: the batch with $tool wrote $written files of $batch" >&2
        exit 1
      fi
      btimes[$tool]+="$(( (end - start) / 1000000 )) "
      bmemory[$tool]+="$(tail -n 1 "$BENCH_DIR/rss") "
      # The application's own figure: from the press of the start button to the end of the job.
      if [ "$tool" = app ]; then appJob+="$(cut -d' ' -f1 "$BENCH_DIR/stdout") "; fi
    done
  done
  for tool in "${batchTools[@]}"; do
    bmed[$tool]=$(echo "${btimes[$tool]}" | median)
    bpeak[$tool]=$(echo "${bmemory[$tool]}" | largest)
    echo "| ${blabel[$tool]} | ${bmed[$tool]} ms | $((bpeak[$tool] / 1024)) MB |" \
      "$((bpeak[$tool] / 1024 / bworkers[$tool])) MB |"
  done
  echo
  echo "-j $cores / -j 1: $(ratio "${bmed[default]}" "${bmed[j1]}")"
  if [ "$app" = 1 ]; then
    echo
    echo "The application's job alone (start button to the end, without the window's start-up): $(echo "$appJob" | median) ms."
  fi
  goal "4. batch: $batch files, ambrel-convert (-j $cores) / xargs -P 2 heif-convert" \
    "${bmed[default]} ms / ${bmed[heif-convert]} ms" "$(ratio "${bmed[default]}" "${bmed[heif-convert]}")" "<=" 0.5
  goal "4. batch: peak MB a worker (process peak / $cores worker threads; -j 1: $((bpeak[j1] / 1024)) MB)" \
    "$((bpeak[default] / 1024)) MB / $cores" "$((bpeak[default] / 1024 / cores))" "<" 100
  if [ "$app" = 1 ]; then
    goal "4. batch: $batch files, desktop app / ambrel-convert (-j $cores)" \
      "${bmed[app]} ms / ${bmed[default]} ms" "$(ratio "${bmed[app]}" "${bmed[default]}")" "<=" 1.1
  else
    goal "4. batch: $batch files, desktop app / ambrel-convert" "(not run: no Qt 6, or --no-app)" - "<=" 1.1
  fi
fi
rm -rf "$out"

echo
echo "## Goals"
echo
echo "| goal | measured | ratio | target | |"
echo "|---|---|---|---|---|"
# In the goals' order, each goal's rows in the order measured.
printf '%s\n' "${goals[@]}" | sort -s -t '|' -k 2,2n
echo
echo "Machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo); load average before the end: $(cut -d' ' -f1-3 /proc/loadavg)"
