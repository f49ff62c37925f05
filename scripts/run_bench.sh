#!/usr/bin/env bash
# Runs every benchmark program; results go to standard output.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${BUILD_DIR:-$(dirname "$here")/build}"
# looptap_bench records from a sound server: a private one, stopped afterwards.
. "$here/pulse_service.sh"
trap pulse_service_stop EXIT
pulse_service_start
for b in "$build"/bench/*_bench; do
  [[ -x "$b" ]] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.5
done
echo "== live_bench (live recording and analysing through the V4L2 emulator, per thread)"
"$here/../bench/live_bench.py" --build "$build" --seconds 15 --runs 1
echo "== preview_cpu (live previewing only, through the V4L2 emulator)"
"$here/../bench/preview_cpu.sh" "$build"
echo "== pipewire_cpu (recording through PipeWire against V4L2, same emulated camera)"
"$here/../bench/pipewire_cpu.sh" "$build"
echo "== overlay_bench (talvex-overlay on 10 s of 720p)"
"$here/../bench/overlay_bench.sh" "$build"
echo "== batch_bench (analyze over a batch of clips, 1 and 2 processes)"
"$here/../bench/batch_bench.sh" "$build" "${BATCH_CLIPS:-6}"
