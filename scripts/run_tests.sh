#!/usr/bin/env bash
# Runs the whole test suite with the services it needs, and stops them afterwards.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${BUILD_DIR:-$(dirname "$here")/build}"
. "$here/pulse_service.sh"
trap pulse_service_stop EXIT
pulse_service_start
cd "$build"
ctest --output-on-failure --timeout 600 -j 2 "$@"
