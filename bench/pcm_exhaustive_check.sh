#!/usr/bin/env bash
# Checks the fast and portable float-to-PCM conversions against the reference
# for all 2^32 float bit patterns (about a minute in the release build).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target velmar-tool-PcmExhaustiveCheck >/dev/null
time build/release/bench/velmar-tool-PcmExhaustiveCheck
