# Sourced by run_tests.sh and run_bench.sh: a private PulseAudio daemon with a 48 kHz float
# stereo null sink as the default output, and a silent playback stream that keeps the sink
# rendering in small steps (an idle null sink renders far ahead and delays its monitor by
# seconds). The stream's 40 ms latency makes the sink render about every 10 ms, the pace of
# a typical sound card; a lower one makes it push a few frames at a time, hundreds of times
# a second, which no real output does. `pulse_service_start --idle` leaves the stream out: the
# sink then plays nothing, as on a desktop where nothing is playing. pulse_service_start
# exports PULSE_SERVER; pulse_service_stop ends what it started.
# Works as root and without a terminal; never touches the user's own sound server.

pulse_service_start() {
  local idle=""
  [[ "${1:-}" == "--idle" ]] && idle=1
  PULSE_DIR="$(mktemp -d "${TMPDIR:-/tmp}/talvex-pulse.XXXXXX")"
  mkdir -p "$PULSE_DIR/run" "$PULSE_DIR/state" "$PULSE_DIR/home"
  cat >"$PULSE_DIR/ci.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$PULSE_DIR/run/native
load-module module-null-sink sink_name=ci_sink format=float32le rate=48000 channels=2
set-default-sink ci_sink
PA
  (
    export HOME="$PULSE_DIR/home" PULSE_RUNTIME_PATH="$PULSE_DIR/run" PULSE_STATE_PATH="$PULSE_DIR/state"
    exec pulseaudio -n -F "$PULSE_DIR/ci.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
      </dev/null >"$PULSE_DIR/daemon.log" 2>&1
  ) &
  PULSE_PID=$!
  export PULSE_SERVER="unix:$PULSE_DIR/run/native"
  local i
  for i in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && break
    if ! kill -0 "$PULSE_PID" 2>/dev/null; then
      echo "pulse service: the daemon did not start:" >&2
      cat "$PULSE_DIR/daemon.log" >&2
      return 1
    fi
    sleep 0.05
  done
  if ! pactl info >/dev/null 2>&1; then
    echo "pulse service: no answer from the daemon" >&2
    return 1
  fi
  if [[ -z "$idle" ]]; then
    pacat --playback --format=float32le --rate=48000 --channels=2 --device=ci_sink \
      --latency-msec=40 --client-name=keepalive </dev/zero >/dev/null 2>&1 &
    PULSE_KEEPALIVE_PID=$!
  fi
  # Until then the sink renders up to two seconds ahead at the latency it started with, so
  # monitor data would lag by that much for the first clients.
  sleep 2
}

pulse_service_stop() {
  local pid
  for pid in ${PULSE_KEEPALIVE_PID:-} ${PULSE_PID:-}; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in ${PULSE_KEEPALIVE_PID:-} ${PULSE_PID:-}; do
    # A killed daemon can linger as a zombie here; waiting reaps it, and a bounded wait
    # treats one that stays as stopped.
    for _ in $(seq 1 40); do
      kill -0 "$pid" 2>/dev/null || break
      [[ "$(ps -o stat= -p "$pid" 2>/dev/null)" == Z* ]] && break
      sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  [[ -n "${PULSE_DIR:-}" ]] && rm -rf "$PULSE_DIR"
  PULSE_PID="" PULSE_KEEPALIVE_PID="" PULSE_DIR=""
}
