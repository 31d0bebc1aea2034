#!/usr/bin/env bash
# Instructions per 512-frame stereo buffer of convert + Base64 + "audioData"
# frame, counted by cachegrind. Each path runs twice (1000 and 11000 buffers)
# and the difference is divided by 10000, so start-up does not count.
# `io` is all the IO thread runs per buffer (AudioRecorder::ioproc → bridge →
# recorder manager → audio frame queue, two streams, "timeline" on), counted
# by callgrind inside ioproc only, so the queue's and the log's writer threads
# and the simulated machine stay out; `io-silent` the same with a silent tap.
# Fails when any path but the naive one exceeds the budget of 20000.
#
#   bench/hot_path_instructions.sh            # fast, naive, io and io-silent
#   MODES="io io-silent" bench/hot_path_instructions.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "valgrind is missing (make bootstrap)" >&2; exit 2; }

cmake --preset release >/dev/null
cmake --build --preset release -j2 --target velmar-tool-HotPathInstructions >/dev/null
tool=build/release/bench/velmar-tool-HotPathInstructions

instructions() {
  case "$1" in
  io*)
    # The frames and the log lines go to /dev/null; valgrind's summary to a file.
    local log
    log=$(mktemp)
    if ! valgrind --tool=callgrind --callgrind-out-file=/dev/null --log-file="$log" \
      --toggle-collect='velmar::AudioRecorder::ioproc*' "$tool" "$1" "$2" >/dev/null 2>&1; then
      echo "$1 $2: the run failed or dropped frames" >&2
      cat "$log" >&2
      rm -f "$log"
      return 1
    fi
    awk '/Collected :/ { gsub(",", "", $NF); print $NF }' "$log"
    rm -f "$log"
    ;;
  *)
    valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null "$tool" "$1" "$2" 2>&1 |
      awk '/I *refs:/ { gsub(",", "", $NF); print $NF }'
    ;;
  esac
}

status=0
for mode in ${MODES:-fast naive io io-silent}; do
  few=$(instructions "$mode" 1000)
  many=$(instructions "$mode" 11000)
  per=$(((many - few) / 10000))
  echo "$mode: $per instructions per buffer"
  if [ "$mode" != naive ] && [ "$per" -gt 20000 ]; then
    echo "over the budget of 20000" >&2
    status=1
  fi
done
exit $status
