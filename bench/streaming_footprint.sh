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

ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
# CPU ticks per thread name, to tell the simulated hardware's own IO thread
# (on a Mac that work is the HAL's) from the service's threads.
threads() {
  for task in /proc/"$pid"/task/*; do
    printf '%s %s\n' "$(tr ' ' '_' <"$task/comm")" "$(awk '{ print $14 + $15 }' "$task/stat")"
  done | awk '{ sum[$1] += $2 } END { for (n in sum) print n, sum[n] }' | sort
}
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
awk -v used="$((end_cpu - start_cpu))" -v ticks="$ticks" -v s="$seconds" \
  'BEGIN { printf "CPU: %.2f%% of one core over %d s\n", 100 * used / ticks / s, s }'
echo "per thread (CPU ticks of 1/$ticks s over the window):"
join -a 2 <(echo "$start_threads") <(echo "$end_threads") |
  awk '{ used = (NF == 3 ? $3 - $2 : $2); if (used > 0) printf "  %-16s %d\n", $1, used }'
echo "peak RSS: $((peak / 1024)) MiB ($peak KiB)"
echo "audioData frames in the window: $frames ($((frames / seconds)) per second); in all, per stream: $streams"
