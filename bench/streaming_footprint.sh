#!/usr/bin/env bash
# Resident memory and CPU of the service while it streams two 48 kHz stereo
# streams (a stereo microphone and a stereo tap) in real time, with this
# script's readers draining both pipes.
#
#   bench/streaming_footprint.sh [SECONDS]     (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target velmar-audio-cli >/dev/null
cli=build/release/velmar-audio-cli

work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
cat >"$work/scenario.json" <<'JSON'
{
  "base": "default",
  "devices": [{"uid": "StereoMic", "name": "Stereo Microphone", "inputChannels": [2],
               "sampleRates": [48000], "nominalSampleRate": 48000, "tone": 440}],
  "aggregateDevices": [{"uid": "footprint-aggregate", "name": "Footprint Aggregate",
                        "subdevices": ["StereoMic"], "taps": ["footprint-tap"]}],
  "timeline": [{"at": 0, "event": "createTap", "name": "Footprint tap", "uid": "footprint-tap",
                "pids": [1201, 1342], "mixdown": "stereo"}]
}
JSON
mkfifo "$work/in"
VELMAR_SIM_SCENARIO="$work/scenario.json" VELMAR_STORE_PATH="$work/store.json" \
  "$cli" <"$work/in" >"$work/out" 2> >(wc -c >"$work/errbytes") &
pid=$!
exec 3>"$work/in"
sleep 1
echo '{"id":"1","action":"enableAudioStreaming","format":"pcm16","sampleRate":48000,"channels":2}' >&3
sleep 0.5
echo '{"id":"2","action":"startRecording"}' >&3
sleep 2

# shellcheck source=bench/cpu_sampling.sh
. bench/cpu_sampling.sh
start_threads=$(threads)
start_cpu=$(cpu)
start_frames=$(grep -c '"event":"audioData"' "$work/out" || true)
peak=0
for ((i = 0; i < seconds; i++)); do
  sleep 1
  rss=$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")
  if ((rss > peak)); then peak=$rss; fi
done
end_cpu=$(cpu)
end_threads=$(threads)
frames=$(($(grep -c '"event":"audioData"' "$work/out") - start_frames))
streams=$(grep -o '"streamIndex":[0-9]*' "$work/out" | sort | uniq -c | awk '{ printf "%s %s; ", $2, $1 }')
echo '{"id":"3","action":"stopRecording"}' >&3
exec 3>&-
wait "$pid" || true
report_cpu "$start_cpu" "$end_cpu" "$start_threads" "$end_threads" "$seconds"
echo "peak RSS: $((peak / 1024)) MiB ($peak KiB)"
echo "audioData frames in the window: $frames ($((frames / seconds)) per second); in all, per stream: $streams"
