#!/usr/bin/env bash
# Throughput of `talvex-lumipose analyze` over a batch of clips, one process per clip through GNU
# parallel (as the README shows for a folder of movies), with 1 and with 2 processes at a time.
# Usage: batch_bench.sh [build dir] [number of clips, default 6]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$(dirname "$here")/build}"
n="${2:-6}"
lumipose="$build/talvex-lumipose"
command -v parallel >/dev/null || { echo "batch_bench: GNU parallel is missing (make setup)"; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/clips" "$work/out"

# Four-second 1280x720 30 fps clips from the test photographs, each a different stretch of a
# slow zoom so no two are the same file.
astronaut=/usr/lib/python3/dist-packages/skimage/data/astronaut.png
hopper=/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg
for i in $(seq 1 "$n"); do
  photo=$astronaut
  ((i % 2)) || photo=$hopper
  ffmpeg -nostdin -v error -y -loop 1 -i "$photo" -t 4 -filter_complex \
    "scale=2560:2560,crop=2560:1440:0:200,zoompan=z='1+0.002*(on+$((i * 20)))':d=120:s=1280x720:fps=30,format=yuv420p" \
    -c:v libx264 -preset veryfast -b:v 2500k "$work/clips/clip$i.mp4"
done
seconds=$((n * 4))

echo "batch of $n clips of 4 s (1280x720, 30 fps), $seconds s of movie; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
for jobs in 1 2; do
  rm -f "$work"/out/*
  start=$(date +%s.%N)
  parallel -j "$jobs" --halt now,fail=1 "$lumipose" analyze {} "$work/out/{/.}.jsonl" \
    ::: "$work"/clips/*.mp4 >/dev/null
  end=$(date +%s.%N)
  awk -v j="$jobs" -v n="$n" -v s="$seconds" -v a="$start" -v b="$end" 'BEGIN {
    w = b - a; printf "%d process%s: %.1f s wall, %.2f clips/s, %.1f s of movie per second (%.1fx real time)\n",
      j, (j > 1 ? "es" : ""), w, n / w, s / w, s / w }'
done
