# Sourced by run_tests.sh (and usable by any script that needs a sound server): a private,
# headless PipeWire with WirePlumber as session manager and pipewire-pulse as the PulseAudio
# server, the default sound stack of current Linux desktops. Its one output is a 48 kHz
# float stereo null sink ("ci_sink"), the default sink.
#
# pipewire_service_start exports PULSE_SERVER (and PIPEWIRE_SERVICE_DIR, PIPEWIRE_PIDS,
# WIREPLUMBER_PID for tests that need to reach the processes); pipewire_service_stop ends
# every process it started, by PID. Works as root and without a terminal; never touches the
# user's own sound server or session bus: everything lives in a fresh temporary folder.

# With the argument "--no-sink" no sink is configured: pipewire-pulse then offers its own
# stand-in ("auto_null"), which is what a machine without any output device shows. With
# "--camera" the graph also has a camera: PipeWire's own test picture as a Video/Source node
# with the role Camera ("ci_camera"), as a webcam appears on a desktop. With
# "--v4l2-camera=<emulator.so>,<description>" the camera is PipeWire's own V4L2 source on
# /dev/video0, the device being the project's V4L2 emulator preloaded into the daemon.
pipewire_service_start() {
  local want_sink=ci_sink want_camera="" v4l2_preload="" v4l2_description=""
  local arg
  for arg in "$@"; do
    case "$arg" in
      --no-sink) want_sink=auto_null ;;
      --camera) want_camera=1 ;;
      --v4l2-camera=*)
        v4l2_preload="${arg#--v4l2-camera=}"
        v4l2_description="${v4l2_preload#*,}"
        v4l2_preload="${v4l2_preload%%,*}"
        ;;
    esac
  done
  PIPEWIRE_SERVICE_DIR="$(mktemp -d "${TMPDIR:-/tmp}/talvex-pipewire.XXXXXX")"
  local dir="$PIPEWIRE_SERVICE_DIR"
  mkdir -p "$dir/run" "$dir/config/pipewire/pipewire.conf.d" "$dir/state" "$dir/home"
  chmod 700 "$dir/run"
  [[ "$want_sink" == ci_sink ]] && cat >"$dir/config/pipewire/pipewire.conf.d/50-ci-sink.conf" <<'CONF'
# The test output: a null sink the graph's dummy driver paces in real time.
context.objects = [
  { factory = adapter
    args = {
      factory.name     = support.null-audio-sink
      node.name        = ci_sink
      node.description = "CI sink"
      media.class      = Audio/Sink
      audio.format     = F32
      audio.rate       = 48000
      audio.channels   = 2
      audio.position   = [ FL FR ]
      monitor.channel-volumes = true
    }
  }
]
CONF
  [[ -n "$want_camera" ]] && cat >"$dir/config/pipewire/pipewire.conf.d/60-ci-camera.conf" <<'CONF'
# The test camera: a moving test picture (RGB or UYVY at any size and rate) paced by its own
# timer, stamped with the monotonic clock.
context.spa-libs = {
  videotestsrc = videotestsrc/libspa-videotestsrc
}
context.objects = [
  { factory = adapter
    args = {
      factory.name     = videotestsrc
      node.name        = ci_camera
      node.description = "CI camera"
      media.class      = Video/Source
      media.role       = Camera
    }
  }
]
CONF
  # The node a desktop's session manager makes for a webcam: the SPA V4L2 source by itself
  # (spa-node-factory, as WirePlumber creates it; in an adapter, 0.3.65's video converter
  # crashes the daemon).
  [[ -n "$v4l2_preload" ]] && cat >"$dir/config/pipewire/pipewire.conf.d/60-ci-camera.conf" <<'CONF'
context.spa-libs = {
  api.v4l2.* = v4l2/libspa-v4l2
}
context.objects = [
  { factory = spa-node-factory
    args = {
      factory.name     = api.v4l2.source
      node.name        = ci_camera
      node.description = "CI V4L2 camera"
      media.class      = Video/Source
      media.role       = Camera
      api.v4l2.path    = /dev/video0
    }
  }
]
CONF
  # One bus and one environment for the three processes.
  PIPEWIRE_ENV=(
    "HOME=$dir/home" "XDG_RUNTIME_DIR=$dir/run" "XDG_CONFIG_HOME=$dir/config"
    "XDG_STATE_HOME=$dir/state" "PIPEWIRE_RUNTIME_DIR=$dir/run" "PULSE_RUNTIME_PATH=$dir/run/pulse"
    "DISPLAY=" "WAYLAND_DISPLAY="
  )
  local bus
  bus="$(env "${PIPEWIRE_ENV[@]}" dbus-daemon --session --fork --print-address=1 --print-pid=1 \
    </dev/null 2>"$dir/dbus.log")" || {
    echo "pipewire service: the session bus did not start:" >&2
    cat "$dir/dbus.log" >&2
    return 1
  }
  PIPEWIRE_DBUS_ADDRESS="$(sed -n 1p <<<"$bus")"
  PIPEWIRE_DBUS_PID="$(sed -n 2p <<<"$bus")"
  PIPEWIRE_ENV+=("DBUS_SESSION_BUS_ADDRESS=$PIPEWIRE_DBUS_ADDRESS")

  local daemon_env=()
  [[ -n "$v4l2_preload" ]] &&
    daemon_env=("LD_PRELOAD=$v4l2_preload" "TALVEX_V4L2_EMULATOR=$v4l2_description")
  env "${PIPEWIRE_ENV[@]}" "${daemon_env[@]}" pipewire </dev/null >"$dir/pipewire.log" 2>&1 &
  PIPEWIRE_PID=$!
  local i
  for i in $(seq 1 100); do
    [[ -S "$dir/run/pipewire-0" ]] && break
    sleep 0.05
  done
  env "${PIPEWIRE_ENV[@]}" wireplumber </dev/null >"$dir/wireplumber.log" 2>&1 &
  WIREPLUMBER_PID=$!
  env "${PIPEWIRE_ENV[@]}" pipewire-pulse </dev/null >"$dir/pipewire-pulse.log" 2>&1 &
  PIPEWIRE_PULSE_PID=$!
  PIPEWIRE_PIDS="$PIPEWIRE_PID $WIREPLUMBER_PID $PIPEWIRE_PULSE_PID"
  export PULSE_SERVER="unix:$dir/run/pulse/native"
  export PIPEWIRE_SERVICE_DIR PIPEWIRE_PIDS WIREPLUMBER_PID PIPEWIRE_DBUS_ADDRESS

  # Ready once the session manager has chosen the default sink (0.2-0.9 s here).
  for i in $(seq 1 200); do
    if pactl info 2>/dev/null | grep -q "^Default Sink: $want_sink\$"; then
      return 0
    fi
    local pid
    for pid in $PIPEWIRE_PIDS; do
      if ! kill -0 "$pid" 2>/dev/null; then
        echo "pipewire service: process $pid ended during start-up:" >&2
        tail -n 20 "$dir"/*.log >&2
        pipewire_service_stop
        return 1
      fi
    done
    sleep 0.05
  done
  echo "pipewire service: no default sink after 10 s:" >&2
  pactl info >&2 || true
  tail -n 20 "$dir"/*.log >&2
  pipewire_service_stop
  return 1
}

pipewire_service_stop() {
  local pid
  # Clients first, the graph last, the bus after everything that used it.
  for pid in ${PIPEWIRE_PULSE_PID:-} ${WIREPLUMBER_PID:-} ${PIPEWIRE_PID:-} ${PIPEWIRE_DBUS_PID:-}; do
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 40); do
      kill -0 "$pid" 2>/dev/null || break
      [[ "$(ps -o stat= -p "$pid" 2>/dev/null)" == Z* ]] && break
      sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
  done
  for pid in ${PIPEWIRE_PULSE_PID:-} ${WIREPLUMBER_PID:-} ${PIPEWIRE_PID:-}; do
    wait "$pid" 2>/dev/null || true
  done
  [[ -n "${PIPEWIRE_SERVICE_DIR:-}" ]] && rm -rf "$PIPEWIRE_SERVICE_DIR"
  PIPEWIRE_PID="" WIREPLUMBER_PID="" PIPEWIRE_PULSE_PID="" PIPEWIRE_DBUS_PID="" PIPEWIRE_PIDS=""
  PIPEWIRE_SERVICE_DIR=""
}
