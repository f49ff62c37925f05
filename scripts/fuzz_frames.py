#!/usr/bin/env python3
"""Damaged frames files through `talvex-overlay`, to a contact sheet and to a movie.

Every run must end as a parent expects: exit 0 with its one result line, nothing on standard
error and the output in place, or exit 1 with exactly one "ERR:" line, nothing on standard
output and no output file. A crash, a hang, a sanitizer report, memory beyond the limit, a
second line, another exit status or a file left behind (the output after a failure, a hidden
temporary) is a failure; the frames file that caused it is kept with the command that replays it.

  scripts/fuzz_frames.py --short                    # a short pass
  scripts/fuzz_frames.py --inputs 2000 --bin build-asan/talvex-overlay   # a soak

Inputs are made from a valid frames file by flipping bits, overwriting runs of bytes, cutting
the file short, and by edits JSON readers stumble on: values beyond any range (1e308, 1e17
next to 1e17 + 16), deep nesting, long lines, records out of order, duplicated, dropped and
swapped lines. The same --seed gives the same inputs.
"""

import argparse
import concurrent.futures
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

SANITIZER_ENV = {
    "ASAN_OPTIONS": "abort_on_error=0:detect_leaks=0:exitcode=99",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:exitcode=98",
}
# Address space a run may take (sanitizers reserve far more than they use, so they get none).
MEMORY_LIMIT = 4 << 30


def ffmpeg(args):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y"] + args, check=True)


def seed_frames(rng):
    """A valid frames file of 20 records over 2 s, every key the analysis writes."""
    lines = [json.dumps({"start_epoch": 1700000000.5}, separators=(",", ":"))]
    for i in range(20):
        t = round(0.1 * i, 3)
        rec = {"t": t, "faces": 1, "box": [0.3, 0.25, 0.3, 0.4], "yaw": 12.5 - i,
               "roll": -3.25, "pitch": 4.0, "luma": [0.5, 0.4], "gaze": [0.1, -0.05],
               "mouth": [1.0, 0.1 + 0.01 * i], "corner": 0.1, "brow": 0.27,
               "hands": [[0.2, 0.7, 0.9], [0.8, 0.72, 0.85]][: i % 3],
               "shoulders": [[0.65, 0.9], [0.35, 0.91]]}
        if i % 7 == 3:
            rec = {"t": t, "faces": 0, "hands": []}
        lines.append(json.dumps(rec, separators=(",", ":")))
    return ("\n".join(lines) + "\n").encode()


def mutate(data, rng):
    """One damaged copy of `data` and what was done to it."""
    kind = rng.choice(["flip", "noise", "cut", "huge", "nest", "long", "order", "lines", "flip+cut"])
    b = bytearray(data)
    if "flip" in kind:
        for _ in range(rng.randint(1, 16)):
            i = rng.randrange(len(b))
            b[i] ^= 1 << rng.randrange(8)
    if kind == "noise":
        start = rng.randrange(len(b))
        for i in range(start, min(len(b), start + rng.randint(1, 64))):
            b[i] = rng.randrange(256)
    if "cut" in kind:
        del b[rng.randrange(len(b)):]
    lines = bytes(b).split(b"\n")
    body = list(range(1, max(1, len(lines) - 1)))
    if kind == "huge" and body:
        for _ in range(rng.randint(1, 4)):
            i = rng.choice(body)
            value = rng.choice([b"1e308", b"-1.7e308", b"1e17", b"100000000000000016", b"5e-324",
                                b"-0", b"4.9e-324", b"1e-300", b"123456789012345678901234567890"])
            key = rng.choice([b'"yaw":', b'"pitch":', b'"roll":', b'"t":', b'"faces":'])
            at = lines[i].find(key)
            if at >= 0:
                end = at + len(key)
                stop = end
                while stop < len(lines[i]) and lines[i][stop:stop + 1] not in b",}":
                    stop += 1
                lines[i] = lines[i][:end] + value + lines[i][stop:]
    if kind == "nest" and body:
        depth = rng.choice([20, 33, 100, 5000, 200000])
        i = rng.choice(body)
        lines[i] = lines[i][:-1] + b',"x":' + b"[" * depth + b"]" * rng.choice([0, depth]) + b"}"
    if kind == "long" and body:
        i = rng.choice(body)
        lines[i] = lines[i][:-1] + b',"x":"' + b"a" * rng.choice([1000, 1 << 20, 3 << 20]) + b'"}'
    if kind == "order" and len(body) > 1:
        i, j = rng.sample(body, 2)
        lines[i], lines[j] = lines[j], lines[i]
    if kind == "lines" and body:
        i = rng.choice(body)
        op = rng.choice(["dup", "drop", "empty", "crlf", "header"])
        if op == "dup":
            lines.insert(i, lines[i])
        elif op == "drop":
            del lines[i]
        elif op == "empty":
            lines.insert(i, b"")
        elif op == "crlf":
            lines[i] += b"\r"
        else:
            del lines[0]
    return b"\n".join(lines), kind


def limit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))


def check_run(argv, env, timeout, expect_out, out_path, sanitized):
    try:
        p = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, env=env,
                           timeout=timeout, preexec_fn=None if sanitized else limit_memory)
    except subprocess.TimeoutExpired:
        return "no exit within %d s" % timeout
    out = p.stdout.decode("utf-8", "replace")
    err = p.stderr.decode("utf-8", "replace")
    left = [n for n in os.listdir(os.path.dirname(out_path)) if n.endswith(".part")]
    if left:
        return "temporary files left: %s" % left
    if p.returncode < 0:
        return "killed by signal %d; stderr: %s" % (-p.returncode, err[-2000:])
    if p.returncode == 0:
        if err:
            return "exit 0 with standard error: " + err[-2000:]
        if not expect_out(out):
            return "exit 0 with the output %r" % out
        if not os.path.exists(out_path):
            return "exit 0 without the output file"
        return None
    if p.returncode == 1:
        if not err.startswith("ERR:") or err.count("\n") != 1 or not err.endswith("\n"):
            return "exit 1 without exactly one ERR line: " + err[-2000:]
        if out:
            return "exit 1 with a result line %r" % out
        if os.path.exists(out_path):
            return "exit 1 with the output file in place"
        return None
    return "exit status %d; stderr: %s" % (p.returncode, err[-2000:])


def run_one(n, bin_path, movie, seed_data, seed, work, timeout, env, sanitized):
    rng = random.Random("%d:%d" % (seed, n))
    data, kind = mutate(seed_data, rng)
    case = os.path.join(work, "case%d" % n)
    os.mkdir(case)
    frames = os.path.join(case, "f.jsonl")
    with open(frames, "wb") as f:
        f.write(data)
    problems = []
    # Every input to a sheet; every fourth also to a movie, which costs a re-encode.
    outs = [("sheet.png", lambda o: o.startswith("sheet of ") and o.endswith(" records\n"))]
    if n % 4 == 0:
        outs.append(("drawn.mp4", lambda o: o.startswith("drew ") and o.endswith(" frames\n")))
    for name, expect_out in outs:
        out = os.path.join(case, name)
        args = [movie, frames, out]
        why = check_run([bin_path] + args, env, timeout, expect_out, out, sanitized)
        if why:
            problems.append((args, why))
        if os.path.exists(out):
            os.remove(out)
    return n, kind, frames, problems, case


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin", default=os.path.join(os.environ.get("BUILD_DIR", "build"),
                                                  "talvex-overlay"))
    ap.add_argument("--inputs", type=int, default=400)
    ap.add_argument("--short", action="store_true", help="100 inputs, fixed seed")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=int, default=60, help="seconds per run")
    ap.add_argument("--keep", default=None, help="where failing inputs are kept")
    ap.add_argument("--sanitized", action="store_true",
                    help="the program is built with sanitizers: no address-space limit")
    a = ap.parse_args()
    if a.short:
        a.inputs = 100
        if a.seed is None:
            a.seed = 1
    if a.seed is None:
        a.seed = random.SystemRandom().randrange(1 << 31)
    if not os.access(a.bin, os.X_OK):
        sys.exit("fuzz_frames: no program at %s" % a.bin)

    env = dict(os.environ)
    env.update(SANITIZER_ENV)
    work = tempfile.mkdtemp(prefix="talvex-fuzz-frames.")
    keep = a.keep or os.path.join(tempfile.gettempdir(), "talvex-fuzz-frames-failures")
    started = time.monotonic()
    failures = 0
    runs = 0
    try:
        movie = os.path.join(work, "movie.mp4")
        ffmpeg(["-f", "lavfi", "-i", "testsrc=size=96x64:rate=30:d=2", "-c:v", "libx264",
                "-pix_fmt", "yuv420p", movie])
        seed_data = seed_frames(random.Random(a.seed))
        with concurrent.futures.ThreadPoolExecutor(max_workers=a.jobs) as pool:
            todo = [pool.submit(run_one, n, a.bin, movie, seed_data, a.seed, work, a.timeout, env,
                                a.sanitized)
                    for n in range(a.inputs)]
            for fut in concurrent.futures.as_completed(todo):
                n, kind, frames, problems, case = fut.result()
                runs += 2 if n % 4 == 0 else 1
                for args, why in problems:
                    failures += 1
                    os.makedirs(keep, exist_ok=True)
                    kept = os.path.join(keep, "seed%d-case%d.jsonl" % (a.seed, n))
                    shutil.copyfile(frames, kept)
                    shown = [kept if x == frames else x for x in args]
                    print("FAIL %s (%s): %s\n  replay: %s %s" %
                          (kept, kind, why, a.bin, " ".join(shown)), flush=True)
                shutil.rmtree(case, ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("fuzz_frames: %d inputs, %d runs, %d failures, seed %d, %.0f s, %s" %
          (a.inputs, runs, failures, a.seed, time.monotonic() - started, a.bin))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
