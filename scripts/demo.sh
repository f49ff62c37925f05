#!/usr/bin/env bash
# The main job on a sample: a short camera-like clip made from the test photographs is analysed
# into a frames file, drawn as a contact sheet, then joined with a separately recorded sound.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${BUILD_DIR:-$(dirname "$here")/build}"
lumipose="$build/talvex-lumipose"
work="$build/demo"
mkdir -p "$work"

echo "talvex-lumipose status:"
"$lumipose" status

astronaut=/usr/lib/python3/dist-packages/skimage/data/astronaut.png
hopper=/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg
clip="$work/sample.mov"
# Two seconds per photograph at 1280x720, 30 fps: a slow zoom in while panning sideways, the way
# a person sits in front of a webcam and leans in. Each photograph is first cut to 16:9 around
# the face so the zoom keeps its proportions.
echo
echo "making $clip from the test photographs"
ffmpeg -nostdin -v error -y -i "$astronaut" -i "$hopper" -filter_complex "
  [0]scale=2560:2560,crop=2560:1440:0:120,zoompan=z='1+0.0025*on':x='(iw-iw/zoom)*on/60':y='(ih-ih/zoom)/2':d=60:s=1280x720:fps=30[a];
  [1]scale=2560:3000,crop=2560:1440:0:150,zoompan=z='1.15-0.0025*on':x='(iw-iw/zoom)*(1-on/60)':y='(ih-ih/zoom)/3':d=60:s=1280x720:fps=30[b];
  [a][b]concat=n=2,format=yuv420p[v]" \
  -map "[v]" -c:v libx264 -preset veryfast -b:v 2500k -movflags +frag_keyframe+empty_moov "$clip"

frames="$work/sample.jsonl"
echo
echo "talvex-lumipose analyze $clip $frames:"
"$lumipose" analyze "$clip" "$frames"
echo "first records:"
head -n 4 "$frames"

sheet="$work/sample_sheet.png"
echo
echo "talvex-overlay $clip $frames $sheet:"
"$build/talvex-overlay" "$clip" "$frames" "$sheet"
echo "contact sheet (frames with what was found, charts over the whole clip): $sheet"

tone="$work/tone.wav"
muxed="$work/muxed.mov"
ffmpeg -nostdin -v error -y -f lavfi -i "sine=f=440:r=48000:d=5" -ac 2 -c:a pcm_s16le "$tone"
echo
echo "talvex-lumipose mux $clip $tone $muxed 0.5:"
"$lumipose" mux "$clip" "$tone" "$muxed" 0.5
echo "what $muxed holds:"
ffprobe -v error -show_entries \
  stream=index,codec_type,codec_name,codec_tag_string,width,height,r_frame_rate,sample_rate,channels,start_time,duration:format=format_name,duration \
  -of compact=nokey=0 "$muxed"
