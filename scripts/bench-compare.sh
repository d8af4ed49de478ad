#!/usr/bin/env bash
# Times `vellumbra render` against netpbm's pamstereogram on the same depth map, both writing a PNM/PAM file,
# and prints the ratio of their CPU times (and of their wall times, which other load on the machine disturbs).
#
# usage: scripts/bench-compare.sh [--vellumbra PATH] [--size WxH] [--runs K] [--oversampling N] [--depth FILE]
#   --vellumbra PATH  the renderer (default build/release/bin/vellumbra; build it with the release preset)
#   --size WxH        size of the generated depth map (default 1920x1080)
#   --runs K          runs of each program; the figures are per run (default 5)
#   --oversampling N  vellumbra's oversampling; pamstereogram has none (default 4)
#   --depth FILE      use this greyscale PGM as the depth map instead of generating one
set -euo pipefail
cd "$(dirname "$0")/.."

vellumbra=build/release/bin/vellumbra
size=1920x1080
runs=5
oversampling=4
depth=
while [ $# -gt 0 ]; do
  case "$1" in
    --vellumbra) vellumbra=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --oversampling) oversampling=$2; shift 2 ;;
    --depth) depth=$2; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench-compare: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done

for tool in pamstereogram pgmramp; do
  command -v "$tool" >/dev/null || { echo "bench-compare: $tool not found (Debian package netpbm)" >&2; exit 2; }
done
[ -x "$vellumbra" ] || { echo "bench-compare: no renderer at $vellumbra (cmake --preset release && cmake --build --preset release)" >&2; exit 2; }
[[ "$size" =~ ^([0-9]+)x([0-9]+)$ ]] || { echo "bench-compare: --size takes WxH, not '$size'" >&2; exit 2; }
width=${BASH_REMATCH[1]}
height=${BASH_REMATCH[2]}
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "bench-compare: --runs takes a whole number above 0" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$depth" ]; then
  # A smooth dome over the whole picture: every depth from far to near.
  depth=$work/depth.pgm
  pgmramp -ellipse "$width" "$height" >"$depth"
fi

# Times one run of the command; appends its wall and user+sys CPU seconds to the file $1.
time_once() {
  local log=$1
  shift
  local TIMEFORMAT='%R %U %S'
  { time "$@"; } 2>>"$log"
}

# The far pattern width of pamstereogram is eyesep * dpi / 2 = 2.56 * 85 / 2 = 108 pixels, about the 109 that
# vellumbra's period 100 gives in Divergence; both draw black-and-white random dots. The runs alternate, so
# that a change in the machine's other load falls on both programs alike.
: >"$work/pam.times"
: >"$work/vellumbra.times"
for ((i = 0; i < runs; ++i)); do
  time_once "$work/pam.times" sh -c 'pamstereogram -blackandwhite -dpi 85 "$1" >"$2"' _ "$depth" "$work/pam.pam"
  time_once "$work/vellumbra.times" "$vellumbra" render "$depth" -o "$work/vellumbra.ppm" --quiet --threads 1 \
    --pattern dots --mode divergence --period 100 --oversampling "$oversampling"
done
per_run() { awk '{ wall += $1; cpu += $2 + $3 } END { printf "%.1f %.1f\n", 1000 * wall / NR, 1000 * cpu / NR }' "$1"; }
read -r ps_wall ps_cpu < <(per_run "$work/pam.times")
read -r vb_wall vb_cpu < <(per_run "$work/vellumbra.times")

# Both files must be there and be netpbm files, or the timing means nothing.
for f in "$work/pam.pam" "$work/vellumbra.ppm"; do
  head -c 2 "$f" | grep -q '^P[1-7]' || { echo "bench-compare: $f is not a PNM/PAM file" >&2; exit 1; }
done

printf 'depth map %dx%d, %d runs each, vellumbra oversampling %s\n' "$width" "$height" "$runs" "$oversampling"
printf '%-16s %10s %10s\n' program "wall ms" "CPU ms"
printf '%-16s %10s %10s\n' pamstereogram "$ps_wall" "$ps_cpu" vellumbra "$vb_wall" "$vb_cpu"
awk -v vc="$vb_cpu" -v pc="$ps_cpu" -v vw="$vb_wall" -v pw="$ps_wall" \
  'BEGIN { printf "ratio vellumbra / pamstereogram: CPU %.2f, wall %.2f\n", vc / pc, vw / pw }'

# The generator alone, inside the stand-in host, on the same depth map: the part of `vellumbra render` that is
# the effect's own work (the rest is reading, converting and writing pictures). Needs the benchmarks, which the
# release preset builds beside the renderer, and a size they render.
bench=$(dirname "$vellumbra")/bench_stereogram
if [ -x "$bench" ] && { [ "$size" = 1920x1080 ] || [ "$size" = 3840x2160 ]; }; then
  median_cpu_ms() {
    VELLUMBRA_BENCH_DEPTH="$depth" "$bench" --benchmark_filter="^BM_RenderStereogram/w:$width/h:$height/N:$1/pattern:1/bits:8\$" \
      --benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
      awk -F, '$1 ~ /_median"?$/ { cpu = $4; unit = $5; gsub(/"/, "", unit)
                                   if (unit == "ns") cpu /= 1e6; else if (unit == "us") cpu /= 1e3; else if (unit == "s") cpu *= 1e3
                                   printf "%.1f\n", cpu }'
  }
  g1=$(median_cpu_ms 1)
  gn=$(median_cpu_ms "$oversampling")
  if [ -z "$g1" ] || [ -z "$gn" ]; then
    echo "bench-compare: $bench gave no timing for this depth map (it reads binary 8-bit PGM files only)" >&2
    exit 1
  fi
  printf 'generator in the stand-in host (median CPU per frame): oversampling 1 %s ms, oversampling %s %s ms\n' \
    "$g1" "$oversampling" "$gn"
  awk -v g1="$g1" -v gn="$gn" -v pc="$ps_cpu" -v n="$oversampling" \
    'BEGIN { printf "ratio generator / pamstereogram CPU: oversampling 1 %.2f, oversampling %s %.2f\n", g1 / pc, n, gn / pc }'
fi
