#!/usr/bin/env bash
# The private PipeWire the "pipewire" fixture starts is the test machine the
# suites expect: its speakers and microphone exist and are the defaults, no
# hardware device was probed, and the microphone carries its 300 Hz tone.
set -euo pipefail

session=${VELMAR_PIPEWIRE_SESSION:?set by the pipewire fixture}
# shellcheck disable=SC1091
. "$session/env"

dump=$(timeout 10 pw-dump)
failures=0

expect() {
  local what=$1 filter=$2
  if [ "$(jq -r "$filter" <<<"$dump")" = true ]; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}

node() {
  printf '.[] | select(.type == "PipeWire:Interface:Node" and .info.props["node.name"] == "%s")' "$1"
}

# shellcheck disable=SC2016 # $n and $ports are jq variables
ports_of() {
  printf '[(%s | .id) as $n | .[] | select(.type == "PipeWire:Interface:Port" and .info.props["node.id"] == $n and .info.direction == "%s") | .info.props["audio.channel"]] | sort' "$(node "$1")" "$2"
}

default_of() {
  printf '[.[] | select(.type == "PipeWire:Interface:Metadata" and .props["metadata.name"] == "default") | .metadata[] | select(.key == "%s") | .value.name]' "$1"
}

expect "ci-sink is an Audio/Sink described \"CI Speakers\"" \
  "[$(node ci-sink) | .info.props | [.[\"media.class\"], .[\"node.description\"]]] == [[\"Audio/Sink\", \"CI Speakers\"]]"
expect "ci-sink takes FL and FR" "$(ports_of ci-sink input) == [\"FL\", \"FR\"]"
expect "ci-mic is an Audio/Source described \"Built-in Microphone\"" \
  "[$(node ci-mic) | .info.props | [.[\"media.class\"], .[\"node.description\"]]] == [[\"Audio/Source\", \"Built-in Microphone\"]]"
expect "ci-mic is mono" "$(ports_of ci-mic output) == [\"MONO\"]"
expect "ci-sink is the default sink" "$(default_of default.audio.sink) == [\"ci-sink\"]"
expect "ci-mic is the default source" "$(default_of default.audio.source) == [\"ci-mic\"]"
expect "no hardware device was probed" '[.[] | select(.type == "PipeWire:Interface:Device")] == []'
expect "the microphone feeder plays" \
  '[.[] | select(.type == "PipeWire:Interface:Node" and .info.props["application.name"] == "MicFeeder") | .info.state] == ["running"]'

# Half a second of the microphone: the strongest frequency is its tone (the
# spectrum's bins are 23.4 Hz wide).
recording="$session/check-mic.wav"
status=0
timeout 2 pw-record --target ci-mic --rate 48000 --channels 1 "$recording" || status=$?
[ "$status" -eq 124 ] || echo "pw-record ended with status $status before its time-out"
peak=$(sox "$recording" -n trim 0.5 0.5 stat -freq 2>&1 |
  awk 'NF == 2 && $1 + 0 == $1 && $2 > best { best = $2; freq = $1 } END { print freq + 0 }')
rm -f "$recording"
if awk -v f="$peak" 'BEGIN { exit !(f > 270 && f < 330) }'; then
  echo "ok: the microphone carries its tone (peak at $peak Hz)"
else
  echo "FAILED: the microphone's strongest frequency is $peak Hz, not about 300 Hz"
  failures=$((failures + 1))
fi

exit $((failures > 0))
