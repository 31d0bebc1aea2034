#!/usr/bin/env bash
# The IO path end to end into pipes read by other processes: frames per
# second with the cycles back to back, then the time per IO callback at
# real-time pace (512 frames at 48 kHz, two stereo streams).
#
#   bench/audio_stream_path.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target velmar-tool-AudioStreamPath >/dev/null
tool=build/release/bench/velmar-tool-AudioStreamPath
results=$(mktemp)
trap 'rm -f "$results"' EXIT
for mode in throughput paced paced-off; do
  "$tool" "$mode" "$seconds" "$results" 2> >(cat >/dev/null) | cat >/dev/null
  cat "$results"
done
