#!/usr/bin/env bash
# How long talvex-overlay takes on a 10 s 1280x720 30 fps movie with sound (goal: under 5 s), to
# a movie and to a contact sheet, with the CPU time it used and its peak memory.
# Usage: overlay_bench.sh [build dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$(dirname "$here")/build}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

ffmpeg -nostdin -v error -y -loop 1 -i /usr/lib/python3/dist-packages/skimage/data/astronaut.png \
  -f lavfi -i "sine=f=440:d=10" -t 10 -filter_complex \
  "[0]scale=2560:2560,crop=2560:1440:0:120,zoompan=z='1+0.001*on':d=300:s=1280x720:fps=30,format=yuv420p[v]" \
  -map "[v]" -map 1:a -c:v libx264 -preset veryfast -b:v 2500k -c:a aac "$work/ten.mp4"
"$build/talvex-lumipose" analyze "$work/ten.mp4" "$work/ten.jsonl" >/dev/null

echo "10 s 1280x720 30 fps with sound, 100 records; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
for out in over.mp4 sheet.png; do
  for run in 1 2 3; do
    /usr/bin/time -f "$out run $run: %e s wall, %U s user + %S s system CPU, peak %M KiB" \
      "$build/talvex-overlay" "$work/ten.mp4" "$work/ten.jsonl" "$work/$out" >/dev/null
  done
done 2>&1
