#!/usr/bin/env bash
# Commands per second, answer times and resident memory of the service under
# a mixed command load while it records and streams two streams (the soak
# test's load, measured).
#
#   bench/command_soak.sh [COMMANDS] [RUNS] [SEED] [EXECUTABLE]   (default 100000 3 1, this build)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target velmar-tool-CommandSoak >/dev/null
exec build/release/bench/velmar-tool-CommandSoak "${1:-100000}" "${2:-3}" "${3:-1}" ${4:+"$4"}
