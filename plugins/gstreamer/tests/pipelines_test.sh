#!/usr/bin/env bash
# The plugin through GStreamer's own command-line tools, against the
# programs: decoding gives qmzdec's samples, encoding writes qmzenc's bytes,
# the discoverer reports duration, channels and tags, playbin plays to the end.
# usage: pipelines_test.sh QMZENC QMZDEC TEST_DATA_DIR
set -euo pipefail
qmzenc=$1 qmzdec=$2 data=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The samples of a WAV file's data chunk (the headers of wavenc and qmzdec differ).
pcm() {
    python3 - "$1" <<'PY'
import struct, sys
b = open(sys.argv[1], 'rb').read()
at = 12
while at + 8 <= len(b):
    cid, size = b[at:at + 4], struct.unpack('<I', b[at + 4:at + 8])[0]
    if cid == b'data':
        sys.stdout.buffer.write(b[at + 8:at + 8 + size])
        break
    at += 8 + size + (size & 1)
PY
}
launch() { timeout 120 gst-launch-1.0 -q "$@" > "$work/launch.log" 2>&1 || { cat "$work/launch.log"; return 1; }; }

# --- the plugin and its elements -------------------------------------------
inspect=$(gst-inspect-1.0 qmz)
for feature in qmzparse qmzdec qmzenc qmz_typefind; do
    grep -q "$feature" <<< "$inspect" || fail "gst-inspect-1.0 qmz does not list $feature"
done
for element in qmzparse qmzdec qmzenc; do
    gst-inspect-1.0 "$element" > /dev/null || fail "gst-inspect-1.0 $element"
done

# --- inputs: the conformance streams, a very short and a long one -----------
cp "$data"/dec1_stereo.qmz "$data"/dec2_stereo_midside.qmz "$data"/dec3_mono.qmz "$work"/
launch audiotestsrc num-buffers=1 samplesperbuffer=700 wave=pink-noise \
    ! audio/x-raw,format=S16LE,rate=44100,channels=2 ! wavenc ! filesink location="$work/short.wav"
launch audiotestsrc num-buffers=700 samplesperbuffer=4410 wave=sine freq=523 \
    ! audio/x-raw,format=S16LE,rate=44100,channels=2 ! wavenc ! filesink location="$work/long.wav"
"$qmzenc" "$work/short.wav" "$work/short.qmz" -B > /dev/null
"$qmzenc" "$work/long.wav" "$work/long.qmz" -C > /dev/null

# --- decoding: qmzdec's samples, exactly -----------------------------------
for name in dec1_stereo dec2_stereo_midside dec3_mono short long; do
    "$qmzdec" "$work/$name.qmz" "$work/$name.ref.wav" > /dev/null
    launch filesrc location="$work/$name.qmz" ! qmzparse ! qmzdec ! wavenc \
        ! filesink location="$work/$name.gst.wav" || { fail "decoding $name"; continue; }
    cmp -s <(pcm "$work/$name.ref.wav") <(pcm "$work/$name.gst.wav") \
        || fail "$name: the pipeline's samples differ from qmzdec's"
    [ -s "$work/$name.gst.wav" ] || fail "$name: empty output"
done

# --- typefinding, discovery, playback ----------------------------------------
gst-typefind-1.0 "$work/dec3_mono.qmz" | grep -q "audio/x-qmz" || fail "typefinding"
"$qmzenc" "$data/enc1_stereo.wav" "$work/tagged.qmz" -A --tag TITLE="A song" --tag ARTIST=Someone \
    --tag TRACKNUMBER=3 > /dev/null
discovered=$(timeout 60 gst-discoverer-1.0 -v "$work/tagged.qmz")
for expected in "Duration: 0:00:03.000000000" "Channels: 2" "Sample rate: 44100" "title: A song" \
    "artist: Someone" "track number: 3"; do
    grep -qF "$expected" <<< "$discovered" || fail "gst-discoverer-1.0 does not report '$expected'"
done
discovered=$(timeout 60 gst-discoverer-1.0 "$work/dec3_mono.qmz")
grep -qF "Channels: 1" <<< "$discovered" || fail "gst-discoverer-1.0: mono reported as '$discovered'"
for name in tagged long; do
    timeout 120 gst-launch-1.0 playbin uri="file://$work/$name.qmz" audio-sink="fakesink sync=false" \
        video-sink=fakesink > "$work/play.log" 2>&1 && grep -q "Got EOS" "$work/play.log" \
        || { cat "$work/play.log"; fail "playbin does not play $name.qmz to the end"; }
done

# --- encoding: qmzenc's bytes -------------------------------------------------
# Each job: the WAV, the element's setting, the program's options.
for job in "enc1_stereo.wav preset=A -A" "enc1_stereo.wav preset=E -E" "enc2_mono.wav preset=C -C" \
    "long.wav preset=AAA -AAA" "enc1_stereo.wav quality=5 --quality 5" \
    "enc2_mono.wav quality=2.5 --quality 2.5"; do
    read -r wav setting options <<< "$job"
    source="$data/$wav"
    [ -e "$source" ] || source="$work/$wav"
    # shellcheck disable=SC2086 # the options are words
    "$qmzenc" "$source" "$work/ref.qmz" $options > /dev/null
    launch filesrc location="$source" ! decodebin ! audioconvert ! audioresample \
        ! audio/x-raw,rate=44100,format=S16LE ! qmzenc "$setting" \
        ! filesink location="$work/gst.qmz" || { fail "encoding $wav $setting"; continue; }
    cmp -s "$work/ref.qmz" "$work/gst.qmz" || fail "$wav $setting: the bytes differ from qmzenc $options"
done

if ((failures)); then
    echo "$failures failure(s)"
    exit 1
fi
echo "all GStreamer pipeline checks passed"
