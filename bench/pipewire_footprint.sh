#!/usr/bin/env bash
# The service on a real (private, headless) PipeWire: time from
# "startRecording" to the first "audioData", then CPU and peak resident
# memory while it streams the microphone and a tap over one player.
#
#   bench/pipewire_footprint.sh [SECONDS]     (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target velmar-audio-cli >/dev/null
cli=$PWD/build/release/velmar-audio-cli
session_script=$PWD/scripts/pipewire-session.sh

work=$(mktemp -d /tmp/velmar-bench.XXXXXX)
session=$work/pw
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  bash "$session_script" stop "$session" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
bash "$session_script" start "$session" >/dev/null
# shellcheck disable=SC1091
. "$session/env"
player=$(bash "$session_script" play "$session" BenchPlayer 440)

mkfifo "$work/in"
VELMAR_STORE_PATH="$work/store.json" "$cli" --platform pipewire <"$work/in" >"$work/out" \
  2> >(wc -c >"$work/errbytes") &
pid=$!
exec 3>"$work/in"

# Sends a command and prints its real answer (not the acknowledgment).
ask() {
  local id=$1 command=$2 answer=
  echo "$command" >&3
  for _ in $(seq 100); do
    answer=$(grep -F "\"id\":\"$id\"" "$work/out" | grep -v isAcknowledgment | head -1 || true)
    [ -n "$answer" ] && break
    sleep 0.1
  done
  sed -E 's/^RESPONSE:>(.*)<:RESPONSE$/\1/' <<<"$answer"
}

object=$(ask 1 '{"id":"1","action":"listAudioProcesses"}' |
  jq -r ".data.processes[] | select(.pid == $player) | .id")
aggregate=$(ask 2 '{"id":"2","action":"createAggregateDevice"}' | jq -r .data.deviceID)
ask 3 "{\"id\":\"3\",\"action\":\"addDeviceToAggregate\",\"aggregateID\":$aggregate,\"deviceUID\":\"ci-mic\"}" >/dev/null
tap=$(ask 4 "{\"id\":\"4\",\"action\":\"createAudioTap\",\"config\":{\"name\":\"bench\",\"processes\":[$object]}}" |
  jq -r .data.uid)
ask 5 "{\"id\":\"5\",\"action\":\"addTapToAggregate\",\"aggregateID\":$aggregate,\"tapUID\":\"$tap\"}" >/dev/null
ask 6 '{"id":"6","action":"enableAudioStreaming","format":"pcm16","sampleRate":48000,"channels":2}' >/dev/null

started=$(date +%s%N)
echo '{"id":"7","action":"startRecording"}' >&3
until grep -q '"event":"audioData"' "$work/out"; do sleep 0.001; done
first=$(date +%s%N)
sleep 2

# shellcheck source=bench/cpu_sampling.sh
. bench/cpu_sampling.sh
start_threads=$(threads)
start_cpu=$(cpu)
start_frames=$(grep -c '"event":"audioData"' "$work/out" || true)
for ((i = 0; i < seconds; i++)); do sleep 1; done
end_cpu=$(cpu)
end_threads=$(threads)
peak=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status")
frames=$(($(grep -c '"event":"audioData"' "$work/out") - start_frames))
echo '{"id":"8","action":"stopRecording"}' >&3
exec 3>&-
wait "$pid" || true
pid=

echo "startRecording to first audioData: $(((first - started) / 1000000)) ms"
report_cpu "$start_cpu" "$end_cpu" "$start_threads" "$end_threads" "$seconds"
echo "peak RSS: $((peak / 1024)) MiB ($peak KiB)"
echo "audioData frames in the window: $frames ($((frames / seconds)) per second, two streams)"
