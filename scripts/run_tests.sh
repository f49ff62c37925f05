#!/usr/bin/env bash
# Runs the whole test suite with the services it needs, and stops them afterwards. The
# recording tests run twice: against a private PulseAudio, then against a private PipeWire
# (WirePlumber + pipewire-pulse). Arguments go to ctest; with a filter, the PipeWire pass runs
# only when the filter names recording tests.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${BUILD_DIR:-$(dirname "$here")/build}"
. "$here/pulse_service.sh"
. "$here/pipewire_service.sh"
trap 'pulse_service_stop; pipewire_service_stop' EXIT
recording='^(LooptapE2E|PulseCaptureService)\.'

pulse_service_start
cd "$build"
status=0
ctest --output-on-failure --timeout 600 -j 2 "$@" || status=$?
pulse_service_stop

pipewire_args=()
if (($# == 0)); then
  pipewire_args=(-R "$recording")
elif [[ "$*" =~ Looptap|PulseCapture ]]; then
  pipewire_args=("$@")
fi
if ((${#pipewire_args[@]})); then
  echo "== the recording tests again, against PipeWire"
  pipewire_service_start
  TALVEX_TEST_SOUND_SERVER=pipewire ctest --output-on-failure --timeout 600 -j 2 \
    "${pipewire_args[@]}" || status=$?
  pipewire_service_stop
fi
exit "$status"
