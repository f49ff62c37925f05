#!/usr/bin/env bash
# What recording costs through PipeWire against V4L2, on the same camera: the user-space V4L2
# device giving YUYV 1280x720 at 30 fps, read by the shipped `talvex-lumipose live` directly
# (V4L2) and through PipeWire's own V4L2 source in a private headless PipeWire (the device
# preloaded into the daemon). Share of one core of talvex-lumipose, and of the PipeWire daemon,
# over a recording of the given seconds; median of three runs each, alternating.
#   bench/pipewire_cpu.sh [build dir] [seconds]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
seconds="${2:-15}"
work="$(mktemp -d)"
. "$here/../scripts/pipewire_service.sh"
trap 'pipewire_service_stop; rm -rf "$work"' EXIT
tick=$(getconf CLK_TCK)
printf 'device /dev/video0\ncard Emulated Webcam\nformat YUYV 1280x720 30\n' >"$work/device"

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
share() { awk -v d="$1" -v t="$tick" -v s="$seconds" 'BEGIN { printf "%.1f", 100 * d / t / s }'; }

# Records once with `env ...` before the program; prints "<talvex share> <daemon share>".
record() {
  local daemon="$1"
  shift
  coproc LIVE { exec env "$@" "$build/talvex-lumipose" live "$work/preview.jpg" 2>&1; }
  local pid=$LIVE_PID
  while read -r -t 30 line <&"${LIVE[0]}"; do [[ "$line" == STARTED ]] && break; done
  printf 'REC %s\t%s\n' "$work/m.mov" "$work/m.jsonl" >&"${LIVE[1]}"
  while read -r -t 30 line <&"${LIVE[0]}"; do [[ "$line" == REC:started ]] && break; done
  sleep 2  # past the detectors' loading
  local t0 d0
  t0=$(ticks "$pid")
  d0=$([[ -n "$daemon" ]] && ticks "$daemon" || echo 0)
  sleep "$seconds"
  local t1 d1
  t1=$(ticks "$pid")
  d1=$([[ -n "$daemon" ]] && ticks "$daemon" || echo 0)
  printf 'QUIT\n' >&"${LIVE[1]}"
  wait "$pid" || true
  echo "$(share $((t1 - t0))) $(share $((d1 - d0)))"
}

v4l2=() piped=() daemon=()
for run in 1 2 3; do
  v4l2+=("$(record "" TALVEX_V4L2_EMULATOR="$work/device" \
    LD_PRELOAD="$build/libv4l2_emulator.so" | cut -d' ' -f1)")
  pipewire_service_start --v4l2-camera="$build/libv4l2_emulator.so,$work/device" >/dev/null
  dir="$PIPEWIRE_SERVICE_DIR/run"
  out="$(record "$PIPEWIRE_PID" PIPEWIRE_RUNTIME_DIR="$dir" XDG_RUNTIME_DIR="$dir")"
  pipewire_service_stop
  piped+=("${out%% *}")
  daemon+=("${out##* }")
done
median() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
echo "recording YUYV 1280x720 at 30 fps, ${seconds} s, median of 3 (runs):"
echo "  V4L2 directly:  talvex $(median "${v4l2[@]}")% of one core (${v4l2[*]})"
echo "  through PipeWire: talvex $(median "${piped[@]}")% (${piped[*]}), PipeWire daemon $(median "${daemon[@]}")% (${daemon[*]})"
