#!/usr/bin/env bash
# IO cycles of the PipeWire backend at real-time pace (a private, headless
# PipeWire; the microphone and a tap over one player in one aggregate): the
# spacing of cycles and how long after the graph's cycle start the IO
# procedure is called, p50 and p99.
#
#   bench/pipewire_io_cycles.sh [SECONDS]     (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target velmar-tool-pipewire-io-cycles >/dev/null
tool=$PWD/build/release/bench/velmar-tool-pipewire-io-cycles
session_script=$PWD/scripts/pipewire-session.sh

work=$(mktemp -d /tmp/velmar-bench.XXXXXX)
session=$work/pw
cleanup() {
  bash "$session_script" stop "$session" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
bash "$session_script" start "$session" >/dev/null
# shellcheck disable=SC1091
. "$session/env"
player=$(bash "$session_script" play "$session" BenchPlayer 440)
"$tool" "$player" "$seconds"
