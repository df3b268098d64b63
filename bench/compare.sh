#!/usr/bin/env bash
# Times whole conversions of phone-like HEIC files side by side, in one run:
# ambrel-convert against libheif's heif-convert and, when present, vips copy.
# The tools take turns run by run, so that a change in the machine's load
# hits all of them alike; each figure is the median of the runs. Then the
# lossless formats (PNG, TIFF, JPEG 2000 at quality 100) of the 12 MP and 48 MP
# files against heif-convert's PNG and vips' PNG, TIFF and lossless JPEG 2000
# (time and output size). Then a batch of 40 files converted with -j 1 and with
# -j 2 (total wall time, peak memory).
#
#   bench/compare.sh [--runs N] [--sizes 12mp,48mp,200mp] [--qualities 90,100]
#                    [--formats png,tiff,jpeg2000|none] [--batch N]
#                    [--batch-runs N] [--no-install]
#
# Builds into $BUILD_DIR (default build-bench), generates the files into
# $BENCH_DIR (default ${TMPDIR:-/tmp}/ambrel-bench; kept between runs, the
# encoder's cache too), and prints Markdown tables. Installs heif-convert
# (libheif-examples), vips (libvips-tools) and GNU time when they are missing,
# unless --no-install is given.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-bench}"
BENCH_DIR="${BENCH_DIR:-${TMPDIR:-/tmp}/ambrel-bench}"

runs=5
sizes="12mp,48mp,200mp"
qualities="90,100"
formats="png,tiff,jpeg2000"
batch=40
batchRuns=3
install=1
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --sizes) sizes="$2"; shift 2 ;;
    --qualities) qualities="$2"; shift 2 ;;
    --formats) formats="$2"; shift 2 ;;
    --batch) batch="$2"; shift 2 ;;
    --batch-runs) batchRuns="$2"; shift 2 ;;
    --no-install) install=0; shift ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "compare.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

if [ "$install" = 1 ]; then
  missing=()
  command -v heif-convert >/dev/null || missing+=(libheif-examples)
  command -v vips >/dev/null || missing+=(libvips-tools)
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
cmake --build "$BUILD_DIR" --target ambrel-convert ambrel-make-bench-files ambrel_stage_bench >/dev/null
convert="$BUILD_DIR/cli/ambrel-convert"

files="$BENCH_DIR/files"
mkdir -p "$files"
echo "Generating the files in $files (once; the tiles are encoded with ffmpeg)..." >&2
# shellcheck disable=SC2086
"$BUILD_DIR/bench/ambrel-make-bench-files" "$files" ${sizes//,/ } >/dev/null
if [ "$batch" -gt 0 ]; then
  "$BUILD_DIR/bench/ambrel-make-bench-files" "$files" --batch "$batch" >/dev/null
fi

out="$BENCH_DIR/out"
tools=(ambrel heif-convert)
command -v vips >/dev/null && tools+=(vips)

# Runs one conversion to the format (jpg, png, tiff or jpeg2000; jpg when not
# given); prints "milliseconds peak-KB output-bytes". The output is removed by
# the next run. heif-convert picks the format by the output's extension; vips
# writes JPEG 2000 lossless, like ambrel-convert at quality 100.
run_once() {
  local tool="$1" input="$2" quality="$3" format="${4:-jpg}"
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
      if [ "$format" = jpg ]; then
        command=("$convert" -q "$quality" --plain-names -o "$out" "$input")
      else
        command=("$convert" -q "$quality" -f "$format" --plain-names -o "$out" "$input")
      fi ;;
    heif-convert) command=(heif-convert -q "$quality" "$input" "$out/out.$extension") ;;
    vips)
      case "$format" in
        jpg) command=(vips copy "$input" "$out/out.jpg[Q=$quality]") ;;
        jpeg2000) command=(vips copy "$input" "$out/out.jp2[lossless]") ;;
        *) command=(vips copy "$input" "$out/out.$extension") ;;
      esac ;;
  esac
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f "%M" -o "$BENCH_DIR/rss" "${command[@]}" >/dev/null 2>"$BENCH_DIR/stderr" ||
    { echo "compare.sh: $tool failed on $input:" >&2; cat "$BENCH_DIR/stderr" >&2; exit 1; }
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000000 )) $(tail -n 1 "$BENCH_DIR/rss") $(find "$out" -type f -printf '%s\n' |
    awk '{ s += $1 } END { print s + 0 }')"
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
megabytes() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1048576 }'; }

echo "## Single files ($runs runs each, tools alternating; medians)"
echo
header="| file | quality | ambrel-convert | heif-convert |"
rule="|---|---|---|---|"
if [[ " ${tools[*]} " == *" vips "* ]]; then header+=" vips |"; rule+="---|"; fi
header+=" ambrel / heif-convert |"; rule+="---|"
if [[ " ${tools[*]} " == *" vips "* ]]; then header+=" ambrel / vips |"; rule+="---|"; fi
header+=" ambrel peak memory | bytes per output pixel |"; rule+="---|---|"
echo "$header"
echo "$rule"
declare -A pixels=([12mp]=$((4032 * 3024)) [48mp]=$((8064 * 6048)) [200mp]=$((16320 * 12240)))
for size in ${sizes//,/ }; do
  for quality in ${qualities//,/ }; do
    declare -A times=() memory=()
    for ((i = 0; i < runs; i++)); do
      for tool in "${tools[@]}"; do
        read -r ms kb _ < <(run_once "$tool" "$files/$size.heic" "$quality")
        times[$tool]+="$ms "
        memory[$tool]+="$kb "
      done
    done
    declare -A med=()
    for tool in "${tools[@]}"; do
      med[$tool]=$(echo "${times[$tool]}" | tr ' ' '\n' | grep . | median)
    done
    peak=$(echo "${memory[ambrel]}" | tr ' ' '\n' | grep . | sort -n | tail -n 1)
    line="| $size | $quality | ${med[ambrel]} ms | ${med[heif-convert]} ms |"
    [ -n "${med[vips]:-}" ] && line+=" ${med[vips]} ms |"
    line+=" $(ratio "${med[ambrel]}" "${med[heif-convert]}") |"
    [ -n "${med[vips]:-}" ] && line+=" $(ratio "${med[ambrel]}" "${med[vips]}") |"
    line+=" $((peak / 1024)) MB | $(awk -v k="$peak" -v p="${pixels[$size]}" 'BEGIN { printf "%.2f", k * 1024 / p }') |"
    echo "$line"
    unset times memory med
  done
done

losslessSizes=()
for size in ${sizes//,/ }; do
  case "$size" in 12mp|48mp) losslessSizes+=("$size") ;; esac
done
if [ "$formats" != none ] && [ -n "$formats" ] && [ ${#losslessSizes[@]} -gt 0 ]; then
  echo
  echo "## Lossless formats ($runs runs each, tools alternating; medians; heif-convert writes PNG only)"
  echo
  header="| file | format | ambrel-convert | heif-convert |"
  rule="|---|---|---|---|"
  if [[ " ${tools[*]} " == *" vips "* ]]; then header+=" vips |"; rule+="---|"; fi
  header+=" ambrel / heif-convert |"; rule+="---|"
  if [[ " ${tools[*]} " == *" vips "* ]]; then header+=" ambrel / vips |"; rule+="---|"; fi
  header+=" ambrel size | heif-convert size |"; rule+="---|---|"
  if [[ " ${tools[*]} " == *" vips "* ]]; then header+=" vips size |"; rule+="---|"; fi
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
        med[$tool]=$(echo "${times[$tool]}" | tr ' ' '\n' | grep . | median)
      done
      line="| $size | $format | $(cell ambrel) | $(cell heif-convert) |"
      [[ " ${tools[*]} " == *" vips "* ]] && line+=" $(cell vips) |"
      line+=" $(ratio "${med[ambrel]}" "${med[heif-convert]:-0}") |"
      [[ " ${tools[*]} " == *" vips "* ]] && line+=" $(ratio "${med[ambrel]}" "${med[vips]:-0}") |"
      line+=" $(sizeCell ambrel) | $(sizeCell heif-convert) |"
      [[ " ${tools[*]} " == *" vips "* ]] && line+=" $(sizeCell vips) |"
      echo "$line"
      unset times bytes med
    done
  done
fi

if [ "$batch" -gt 0 ]; then
  echo
  echo "## Batch of $batch 12 MP files, quality 90 ($batchRuns runs each, alternating; medians)"
  echo
  echo "| workers | wall time | peak memory |"
  echo "|---|---|---|"
  declare -A btimes=() bmemory=() bmed=()
  for ((i = 0; i < batchRuns; i++)); do
    for jobs in 1 2; do
      rm -rf "$out"
      mkdir -p "$out"
      start=$(date +%s%N)
      /usr/bin/time -f "%M" -o "$BENCH_DIR/rss" "$convert" -q 90 -j "$jobs" --plain-names -o "$out" "$files/batch" \
        >/dev/null 2>"$BENCH_DIR/stderr"
      end=$(date +%s%N)
      btimes[$jobs]+="$(( (end - start) / 1000000 )) "
      bmemory[$jobs]+="$(tail -n 1 "$BENCH_DIR/rss") "
    done
  done
  for jobs in 1 2; do
    bmed[$jobs]=$(echo "${btimes[$jobs]}" | tr ' ' '\n' | grep . | median)
    bpeak=$(echo "${bmemory[$jobs]}" | tr ' ' '\n' | grep . | sort -n | tail -n 1)
    echo "| -j $jobs | ${bmed[$jobs]} ms | $((bpeak / 1024)) MB |"
  done
  echo
  echo "-j 2 / -j 1: $(ratio "${bmed[2]}" "${bmed[1]}")"
fi
rm -rf "$out"
echo
echo "Machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo); load average before the end: $(cut -d' ' -f1-3 /proc/loadavg)"
