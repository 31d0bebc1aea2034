#!/usr/bin/env bash
# Instructions per 512-frame stereo buffer of convert + Base64 + "audioData"
# frame, counted by cachegrind. Each path runs twice (1000 and 11000 buffers)
# and the difference is divided by 10000, so start-up does not count.
# Fails when the service's path exceeds the budget of 20000.
#
#   bench/hot_path_instructions.sh            # fast and naive
#   MODES=fast bench/hot_path_instructions.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "valgrind is missing (make bootstrap)" >&2; exit 2; }

cmake --preset release >/dev/null
cmake --build --preset release -j2 --target velmar-tool-HotPathInstructions >/dev/null
tool=build/release/bench/velmar-tool-HotPathInstructions

instructions() {
  valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null "$tool" "$1" "$2" 2>&1 |
    awk '/I *refs:/ { gsub(",", "", $NF); print $NF }'
}

status=0
for mode in ${MODES:-fast naive}; do
  few=$(instructions "$mode" 1000)
  many=$(instructions "$mode" 11000)
  per=$(((many - few) / 10000))
  echo "$mode: $per instructions per buffer"
  if [ "$mode" = fast ] && [ "$per" -gt 20000 ]; then
    echo "over the budget of 20000" >&2
    status=1
  fi
done
exit $status
