#!/usr/bin/env bash
# Batch throughput of kavlo-convert: a folder of short clips converted with one file at a time
# (--jobs 1) and two at once (--jobs 2), for an H.264 profile and an MPEG-4 profile. Prints
# files per minute, the speed-up of two jobs over one, and the average CPU use (user + system
# time over wall time; 100% = one core busy).
#
#   bash bench/cli/bench_batch.sh [BUILD_DIR] [FILES] [PROFILES]
#
# BUILD_DIR defaults to build, FILES to 8 copies of the 10-second 640x360 sample movie,
# PROFILES to "2603 2602" (H.264/MPEG-4 AVC Video, MPEG-4 Video). The user's settings are not
# touched: the runs use a private settings folder.
set -euo pipefail
build="${1:-build}"
count="${2:-8}"
profiles="${3:-2603 2602}"
bin="$build/bin"
for tool in kavlo-convert kavlo-fixtures; do
  [ -x "$bin/$tool" ] || { echo "missing $bin/$tool (build it first)" >&2; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
mkdir -p "$work/in" "$HOME"
"$bin/kavlo-fixtures" sample "$work/in/clip0.mov" > /dev/null
for i in $(seq 1 $((count - 1))); do
  cp "$work/in/clip0.mov" "$work/in/clip$i.mov"
done

echo "kavlo-convert batch: $count files of 10 s 640x360 H.264/AAC, $(nproc) CPU cores"
printf '%-8s %-5s %10s %11s %9s %9s\n' profile jobs "wall s" "files/min" "CPU %" speed-up
for profile in $profiles; do
  wall1=""
  for jobs in 1 2; do
    out="$work/out-$profile-$jobs"
    TIMEFORMAT='%R %U %S'
    times="$( { time "$bin/kavlo-convert" -q --profile "$profile" --jobs "$jobs" -o "$out" "$work"/in/*.mov \
                 > /dev/null 2> "$work/err"; } 2>&1 )" || { cat "$work/err" >&2; exit 1; }
    read -r wall user sys <<< "$times"
    converted="$(find "$out" -type f -size +0 | wc -l)"
    [ "$converted" -eq "$count" ] || { echo "only $converted of $count converted" >&2; cat "$work/err" >&2; exit 1; }
    fpm="$(awk -v n="$count" -v w="$wall" 'BEGIN { printf "%.1f", n * 60 / w }')"
    cpu="$(awk -v u="$user" -v s="$sys" -v w="$wall" 'BEGIN { printf "%.0f", (u + s) / w * 100 }')"
    if [ "$jobs" = 1 ]; then
      wall1="$wall"
      speedup="1.00"
    else
      speedup="$(awk -v a="$wall1" -v b="$wall" 'BEGIN { printf "%.2f", a / b }')"
    fi
    printf '%-8s %-5s %10.2f %11s %9s %9s\n' "$profile" "$jobs" "$wall" "$fpm" "$cpu" "$speedup"
  done
done
