#!/usr/bin/env bash
# Installs the Debian package built by `make package`, runs the installed programs from /usr/bin
# with the build tree moved away (so nothing can come from it), renders every manual page and
# removes the package again, checking that nothing of it is left. Needs root (dpkg); installs
# system-wide for the length of the test and restores the machine on any way out.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${BUILD_DIR:-$(dirname "$here")/build}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"

debs=("$build"/package/talvex_*.deb)
[[ -f "${debs[0]}" ]] || { echo "package-test: no package in $build/package (run make package)"; exit 1; }
work="$(mktemp -d)"
away="$build.moved-away-$$"
installed=0

cleanup() {
  local rc=$?
  [[ -d "$away" ]] && mv "$away" "$build"
  if ((installed)); then $sudo dpkg --purge talvex >/dev/null 2>&1 || true; fi
  rm -rf "$work"
  ((rc == 0)) && echo "package-test: passed" || echo "package-test: FAILED"
  exit $rc
}
trap cleanup EXIT
fail() { echo "package-test: $*" >&2; exit 1; }

# dpkg refuses to run while another package operation holds its lock; wait for it.
dpkg_locked() {
  local i
  for i in $(seq 1 120); do
    if $sudo "$@" 2>"$work/dpkg.err"; then return 0; fi
    grep -q "lock" "$work/dpkg.err" || { cat "$work/dpkg.err" >&2; return 1; }
    sleep 2
  done
  cat "$work/dpkg.err" >&2
  return 1
}

cp "${debs[0]}" "$work/talvex.deb"
# A two-second clip of a face, made before the build tree goes away.
ffmpeg -nostdin -v error -y -loop 1 -i /usr/lib/python3/dist-packages/skimage/data/astronaut.png \
  -f lavfi -i "sine=f=440:d=2" -t 2 -r 30 -vf "scale=640:640,crop=640:360:0:40,format=yuv420p" \
  -c:v libx264 -preset veryfast -c:a aac -shortest "$work/clip.mp4"

echo "package-test: installing $(basename "${debs[0]}")"
dpkg_locked dpkg -i "$work/talvex.deb" >/dev/null
installed=1
files="$(dpkg -L talvex)"
for p in talvex-lumipose talvex-looptap talvex-overlay talvex-record; do
  [[ -x /usr/bin/$p ]] || fail "/usr/bin/$p missing"
done
grep -q testcam <<<"$files" && fail "the test camera program is in the package"
grep -Eq '_(test|bench)$' <<<"$files" && fail "a test or benchmark binary is in the package"

mv "$build" "$away"
cd "$work"

word="$(/usr/bin/talvex-lumipose status)"
[[ "$word" =~ ^(authorized|denied|restricted|notDetermined)$ ]] || fail "status printed '$word'"

out="$(/usr/bin/talvex-lumipose analyze clip.mp4 clip.jsonl 2>analyze.err)" || fail "analyze: $(cat analyze.err)"
[[ "$out" == "analysed 20 of 60 frames" ]] || fail "analyze printed '$out'"
[[ ! -s analyze.err ]] || fail "analyze wrote to standard error: $(cat analyze.err)"
[[ "$(head -n 1 clip.jsonl)" == '{"start_epoch":0}' ]] || fail "frames file header"
grep -q '"faces":1,"box":' clip.jsonl || fail "no face found with the installed models"

out="$(/usr/bin/talvex-overlay clip.mp4 clip.jsonl sheet.png)" || fail "overlay to PNG failed"
[[ "$out" == "sheet of 12 frames and 20 records" ]] || fail "overlay printed '$out'"
[[ "$(head -c 8 sheet.png | od -An -tx1 | tr -d ' \n')" == 89504e470d0a1a0a ]] || fail "no PNG"
out="$(/usr/bin/talvex-overlay clip.mp4 clip.jsonl over.mp4)" || fail "overlay to a movie failed"
[[ "$out" == "drew 20 records on 60 frames" ]] || fail "overlay printed '$out'"
streams="$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 over.mp4 | tr '\n' ' ')"
[[ "$streams" == "h264 aac " ]] || fail "overlay movie holds '$streams'"

set +e
/usr/bin/talvex-looptap 2>looptap.err
rc=$?
set -e
[[ $rc -eq 2 && "$(cat looptap.err)" == "usage: talvex-looptap <output.wav>" ]] || fail "looptap usage"
set +e
/usr/bin/talvex-record 2>record.err
rc=$?
set -e
[[ $rc -eq 2 && "$(cat record.err)" == "ERR:usage: talvex-record [--seconds N] [--sheet] <out.mov>" ]] || fail "record usage"

for page in talvex-lumipose talvex-looptap talvex-overlay talvex-record; do
  man_file="/usr/share/man/man1/$page.1.gz"
  [[ -f "$man_file" ]] || fail "$man_file missing"
  text="$(MANWIDTH=80 man --warnings -l "$man_file" 2>man.err)"
  [[ ! -s man.err ]] || fail "$page(1): $(cat man.err)"
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES EXAMPLES; do
    grep -q "^$section" <<<"$text" || fail "$page(1) has no $section section"
  done
done

cd /
mv "$away" "$build"
dpkg_locked dpkg --purge talvex >/dev/null
installed=0
dpkg -s talvex >/dev/null 2>&1 && fail "still installed after removal"
while read -r f; do
  [[ -d "$f" ]] && continue  # shared directories such as /usr/bin stay
  [[ -e "$f" ]] && fail "$f left behind"
done <<<"$files"
[[ -e /usr/share/talvex ]] && fail "/usr/share/talvex left behind"
exit 0
