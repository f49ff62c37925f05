#!/usr/bin/env bash
# The main job on a sample.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${BUILD_DIR:-$(dirname "$here")/build}"
echo "talvex-lumipose status:"
"$build/talvex-lumipose" status
