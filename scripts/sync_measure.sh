#!/usr/bin/env bash
# Repeats the end-to-end sync measurement (tests/sync_e2e_test.cc) and summarises, per sound
# server, the sound-minus-picture error of every mark and the start_epoch error.
#   scripts/sync_measure.sh [runs] [gtest filter]     (default: 10 runs of every case)
# Each case starts its own private sound server; nothing else is needed. The load on the
# machine is printed before and after, since it is part of what is measured.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${BUILD_DIR:-$(dirname "$here")/build}"
runs="${1:-10}"
filter="${2:-SyncE2E.*}"
log="$(mktemp "${TMPDIR:-/tmp}/sync_measure.XXXXXX")"
trap 'rm -f "$log"' EXIT
echo "load before: $(uptime)"
"$build/tests/sync_e2e_test" --gtest_also_run_disabled_tests --gtest_filter="$filter" \
  --gtest_repeat="$runs" 2>&1 | tee "$log" | grep -E -A6 '^sync |Failure$|kept in' || true
echo "load after:  $(uptime)"
python3 - "$log" <<'PY'
import re, statistics, sys
cases = {}
for line in open(sys.argv[1]):
    m = re.match(r"sync (\S+): sound-minus-picture ms: ([^|]*)\|.*start_epoch error ms: (\S+)", line)
    if not m:
        continue
    c = cases.setdefault(m.group(1), {"err": [], "epoch": [], "runs": 0})
    c["runs"] += 1
    c["err"] += [float(x) for x in m.group(2).split()]
    c["epoch"].append(float(m.group(3)))
def q(v, p):
    v = sorted(v)
    return v[min(len(v) - 1, int(round(p * (len(v) - 1))))]
for name, c in cases.items():
    e, a = c["err"], [abs(x) for x in c["err"]]
    print(f"{name}: {c['runs']} runs, {len(e)} marks; sound-minus-picture ms: "
          f"min {min(e):.1f} median {statistics.median(e):.1f} max {max(e):.1f}; "
          f"|error| p90 {q(a, 0.9):.1f} max {max(a):.1f}; within 20 ms: "
          f"{sum(x <= 20 for x in a)}/{len(a)}, within 40 ms: {sum(x <= 40 for x in a)}/{len(a)}; "
          f"start_epoch error ms: min {min(c['epoch']):.1f} max {max(c['epoch']):.1f}")
PY
