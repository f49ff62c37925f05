#!/usr/bin/env python3
"""Damaged movies and WAV files through `talvex-lumipose analyze` and `mux`.

Every run must end as the parent application expects: exit 0 with its result line and nothing
on standard error, or exit 1 with exactly one "ERR:" line and nothing on standard output. A
crash, a hang, a sanitizer report, a second line or any other exit status is a failure; the
input that caused it is kept with the command that replays it.

  scripts/fuzz.py --short                  # a few hundred inputs, for the test suite
  scripts/fuzz.py --inputs 5000 --bin build-asan/talvex-lumipose   # a soak

Inputs are made from small seed files (written with the ffmpeg tool) by flipping bits,
overwriting runs of bytes and cutting the file short. The same --seed gives the same inputs.
"""

import argparse
import concurrent.futures
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

# Seed movies: how the live recorder writes them (fragmented), a QuickTime movie with its index
# at the end and B-frames, an MP4 with its index first, a Matroska file.
MOVIE_SEEDS = {
    "fragmented.mov": ["-g", "6", "-movflags", "+frag_keyframe+empty_moov"],
    "plain.mov": ["-bf", "2"],
    "faststart.mp4": ["-movflags", "+faststart"],
    "stream.mkv": [],
}
WAV_SEEDS = {
    "stereo.wav": ["-ac", "2", "-ar", "48000"],
    "mono.wav": ["-ac", "1", "-ar", "44100"],
}

SANITIZER_ENV = {
    "ASAN_OPTIONS": "abort_on_error=0:detect_leaks=0:exitcode=99",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:exitcode=98",
}


def ffmpeg(args):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y"] + args, check=True)


def make_seeds(work):
    seeds = {}
    for name, extra in MOVIE_SEEDS.items():
        path = os.path.join(work, name)
        ffmpeg(["-f", "lavfi", "-i", "testsrc=size=96x64:rate=30", "-frames:v", "12",
                "-c:v", "libx264", "-pix_fmt", "yuv420p"] + extra + [path])
        seeds[name] = path
    for name, extra in WAV_SEEDS.items():
        path = os.path.join(work, name)
        ffmpeg(["-f", "lavfi", "-i", "sine=d=0.3", "-c:a", "pcm_s16le"] + extra + [path])
        seeds[name] = path
    return seeds


def mutate(data, rng):
    """One damaged copy of `data`: bit flips, a run of noise, a cut, or a mix."""
    b = bytearray(data)
    kind = rng.choice(["flip", "flip", "noise", "cut", "flip+cut"])
    if "flip" in kind:
        for _ in range(rng.randint(1, 24)):
            # Half of the flips hit the first kilobytes, where headers and indexes live.
            limit = min(len(b), 4096) if rng.random() < 0.5 else len(b)
            i = rng.randrange(limit)
            b[i] ^= 1 << rng.randrange(8)
    if kind == "noise":
        start = rng.randrange(len(b))
        for i in range(start, min(len(b), start + rng.randint(1, 64))):
            b[i] = rng.randrange(256)
    if "cut" in kind:
        del b[rng.randrange(len(b)):]
    return bytes(b), kind


def check(argv, env, timeout, expect_out):
    """(exit status, None) when the run ended as it should, else (status, what was wrong)."""
    why, status = check_run(argv, env, timeout, expect_out)
    return status, why


def check_run(argv, env, timeout, expect_out):
    try:
        p = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, env=env,
                           timeout=timeout)
    except subprocess.TimeoutExpired:
        return "no exit within %d s" % timeout, None
    out = p.stdout.decode("utf-8", "replace")
    err = p.stderr.decode("utf-8", "replace")
    if p.returncode < 0:
        return "killed by signal %d; stderr: %s" % (-p.returncode, err[-2000:]), p.returncode
    if p.returncode == 0:
        if err:
            return "exit 0 with standard error: " + err[-2000:], 0
        if not expect_out(out):
            return "exit 0 with the output %r" % out, 0
        return None, 0
    if p.returncode == 1:
        if not err.startswith("ERR:") or err.count("\n") != 1 or not err.endswith("\n"):
            return "exit 1 without exactly one ERR line: " + err[-2000:], 1
        if out:
            return "exit 1 with a result line %r" % out, 1
        return None, 1
    return "exit status %d; stderr: %s" % (p.returncode, err[-2000:]), p.returncode


def whole_lines(path):
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError as e:
        return "frames file unreadable: %s" % e
    if not text.endswith(b"\n"):
        return "frames file ends inside a line"
    for line in text.split(b"\n")[:-1]:
        try:
            if not isinstance(json.loads(line), dict):
                return "frames file line is not an object: %r" % line[:200]
        except ValueError:
            return "frames file line is not JSON: %r" % line[:200]
    return None


def run_one(n, bin_path, seeds, seed, work, timeout, env):
    rng = random.Random("%d:%d" % (seed, n))
    name = rng.choice(sorted(seeds))
    with open(seeds[name], "rb") as f:
        data, kind = mutate(f.read(), rng)
    ext = os.path.splitext(name)[1]
    case = os.path.join(work, "case%d" % n)
    os.mkdir(case)
    damaged = os.path.join(case, "input" + ext)
    with open(damaged, "wb") as f:
        f.write(data)
    runs = []
    if ext == ".wav":
        runs.append((["mux", seeds["faststart.mp4"], damaged, os.path.join(case, "out.mov"),
                      rng.choice(["0", "0.1", "-0.05"])], lambda o: o == "muxed\n", None))
    else:
        frames = os.path.join(case, "f.jsonl")
        runs.append((["analyze", damaged, frames],
                     lambda o: o.startswith("analysed ") and o.endswith(" frames\n"), frames))
        runs.append((["mux", damaged, seeds["stereo.wav"], os.path.join(case, "out.mov"),
                      rng.choice(["0", "0.25", "-0.1"])], lambda o: o == "muxed\n", None))
    problems = []
    for args, expect_out, frames in runs:
        argv = [bin_path] + args
        status, why = check(argv, env, timeout, expect_out)
        if why is None and status == 0 and frames:
            # A run that succeeded wrote a frames file of whole records.
            why = whole_lines(frames)
        if why:
            problems.append((args, why))
    return n, name, kind, damaged, problems, case


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin", default=os.path.join(os.environ.get("BUILD_DIR", "build"),
                                                  "talvex-lumipose"))
    ap.add_argument("--inputs", type=int, default=2000)
    ap.add_argument("--short", action="store_true", help="200 inputs, fixed seed")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=int, default=60, help="seconds per run")
    ap.add_argument("--keep", default=None, help="where failing inputs are kept")
    a = ap.parse_args()
    if a.short:
        a.inputs = 200
        if a.seed is None:
            a.seed = 1
    if a.seed is None:
        a.seed = random.SystemRandom().randrange(1 << 31)
    if not os.access(a.bin, os.X_OK):
        sys.exit("fuzz: no program at %s" % a.bin)

    env = dict(os.environ)
    env.update(SANITIZER_ENV)
    work = tempfile.mkdtemp(prefix="talvex-fuzz.")
    keep = a.keep or os.path.join(tempfile.gettempdir(), "talvex-fuzz-failures")
    started = time.monotonic()
    failures = 0
    runs = 0
    try:
        seeds = make_seeds(work)
        with concurrent.futures.ThreadPoolExecutor(max_workers=a.jobs) as pool:
            todo = [pool.submit(run_one, n, a.bin, seeds, a.seed, work, a.timeout, env)
                    for n in range(a.inputs)]
            for fut in concurrent.futures.as_completed(todo):
                n, name, kind, damaged, problems, case = fut.result()
                runs += 1 if name.endswith(".wav") else 2
                for args, why in problems:
                    failures += 1
                    os.makedirs(keep, exist_ok=True)
                    kept = os.path.join(keep, "seed%d-case%d%s" % (a.seed, n,
                                                                   os.path.splitext(damaged)[1]))
                    shutil.copyfile(damaged, kept)
                    shown = [kept if x == damaged else x for x in args]
                    print("FAIL %s (%s of %s): %s\n  replay: %s %s" %
                          (kept, kind, name, why, a.bin, " ".join(shown)), flush=True)
                shutil.rmtree(case, ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("fuzz: %d inputs, %d runs, %d failures, seed %d, %.0f s, %s" %
          (a.inputs, runs, failures, a.seed, time.monotonic() - started, a.bin))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
