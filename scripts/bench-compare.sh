#!/usr/bin/env bash
# Times `vellumbra render` against netpbm's pamstereogram on the same depth map, both writing a PNM/PAM file,
# and prints the ratio of their CPU times (and of their wall times, which other load on the machine disturbs).
#
# usage: scripts/bench-compare.sh [--vellumbra PATH] [--size WxH] [--runs K] [--oversampling N] [--depth FILE]
#   --vellumbra PATH  the renderer (default build/release/bin/vellumbra; build it with the release preset)
#   --size WxH        size of the generated depth map (default 1920x1080)
#   --runs K          runs of each program; the figures are per run (default 5)
#   --oversampling N  vellumbra's oversampling; pamstereogram has none (default 1)
#   --depth FILE      use this greyscale PGM as the depth map instead of generating one
set -euo pipefail
cd "$(dirname "$0")/.."

vellumbra=build/release/bin/vellumbra
size=1920x1080
runs=5
oversampling=1
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

# Runs the command `runs` times; prints the per-run wall, user+sys CPU time in milliseconds.
measure() {
  local out=$work/times
  local TIMEFORMAT='%R %U %S'
  { time (for ((i = 0; i < runs; ++i)); do "$@"; done); } 2>"$out"
  awk -v n="$runs" '{ printf "%.1f %.1f\n", 1000 * $1 / n, 1000 * ($2 + $3) / n }' "$out"
}

# The far pattern width of pamstereogram is eyesep * dpi / 2 = 2.56 * 85 / 2 = 108 pixels, about the 109 that
# vellumbra's period 100 gives in Divergence; both draw black-and-white random dots.
read -r ps_wall ps_cpu < <(measure sh -c 'pamstereogram -blackandwhite -dpi 85 "$1" >"$2"' _ "$depth" "$work/pam.pam")
read -r vb_wall vb_cpu < <(measure "$vellumbra" render "$depth" -o "$work/vellumbra.ppm" --quiet --threads 1 \
  --pattern dots --mode divergence --period 100 --oversampling "$oversampling")

# Both files must be there and be netpbm files, or the timing means nothing.
for f in "$work/pam.pam" "$work/vellumbra.ppm"; do
  head -c 2 "$f" | grep -q '^P[1-7]' || { echo "bench-compare: $f is not a PNM/PAM file" >&2; exit 1; }
done

printf 'depth map %dx%d, %d runs each, vellumbra oversampling %s\n' "$width" "$height" "$runs" "$oversampling"
printf '%-16s %10s %10s\n' program "wall ms" "CPU ms"
printf '%-16s %10s %10s\n' pamstereogram "$ps_wall" "$ps_cpu" vellumbra "$vb_wall" "$vb_cpu"
awk -v vc="$vb_cpu" -v pc="$ps_cpu" -v vw="$vb_wall" -v pw="$ps_wall" \
  'BEGIN { printf "ratio vellumbra / pamstereogram: CPU %.2f, wall %.2f\n", vc / pc, vw / pw }'
