#!/usr/bin/env bash
# A private, headless PipeWire for tests: its own runtime directory, session
# bus, configuration and state, no hardware probing, so it can run beside a
# desktop's PipeWire (or another test run's) without touching either.
#
#   pipewire-session.sh start DIR            start everything, write DIR/env and DIR/pids
#   pipewire-session.sh play DIR NAME FREQ [VOL]  start a tone player, print its pid
#   pipewire-session.sh source DIR NAME CHANNELS  start a virtual input device, print its pid
#   pipewire-session.sh record DIR NAME SOURCE    start a recorder of node SOURCE, print its pid
#   pipewire-session.sh restart DIR          start the daemon again after it died
#   pipewire-session.sh stop DIR             stop every process in DIR/pids, remove DIR
#
# The graph: a null sink "ci-sink" ("CI Speakers", the default sink) and a
# mono source "ci-mic" ("Built-in Microphone", the default source) that
# re-plays what reaches the sink "mic-feed", where a 300 Hz tone plays.
# Clients reach this daemon with the variables in DIR/env: `export KEY=VALUE`
# lines without quoting (DIR is restricted to characters that need none), so a
# shell sources it and a test harness reads it line by line.
set -euo pipefail

readonly START_TIMEOUT_S=10
readonly STOP_TIMEOUT_S=5
readonly TONE_SECONDS=3600 # outlives any test run; the players are stopped by pid
readonly RATE=48000

die() {
  echo "pipewire-session: $*" >&2
  exit 1
}

usage() {
  echo "usage: $0 start DIR | restart DIR | stop DIR | play DIR NAME FREQ [VOL] | source DIR NAME CHANNELS | record DIR NAME SOURCE" >&2
  exit 2
}

# A pid counts as ours only while it runs with this session's runtime
# directory in its environment: a stale pid file never kills a process that
# reused the number.
owned_alive() {
  local pid=$1 dir=$2 state
  [ -r "/proc/$pid/stat" ] || return 1
  state=$(sed -E 's/^.*\) ([A-Za-z]).*$/\1/' "/proc/$pid/stat" 2>/dev/null) || return 1
  [ "$state" != Z ] && [ "$state" != X ] || return 1
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "XDG_RUNTIME_DIR=$dir"
}

session_env() {
  local dir=$1
  cat <<EOF
export XDG_RUNTIME_DIR=$dir
export PIPEWIRE_RUNTIME_DIR=$dir
export PIPEWIRE_REMOTE=pipewire-0
export XDG_CONFIG_HOME=$dir/config
export XDG_STATE_HOME=$dir/state
export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/bus
EOF
}

# Loads DIR/env, dropping variables of the caller's own PipeWire set-up that
# would point the daemons or the players at other configuration.
enter_session() {
  unset PIPEWIRE_CONFIG_DIR PIPEWIRE_CONFIG_NAME PIPEWIRE_CONFIG_PREFIX \
    WIREPLUMBER_CONFIG_DIR PIPEWIRE_PROPS PIPEWIRE_NODE
  # shellcheck disable=SC1091
  . "$1/env"
}

# stop removes DIR: only ever a directory that start made.
is_session_dir() {
  [ -f "$1/pids" ] || [ -f "$1/env" ]
}

write_config() {
  local dir=$1
  mkdir -p "$dir/config/pipewire/pipewire.conf.d" "$dir/config/wireplumber/main.lua.d" \
    "$dir/config/wireplumber/bluetooth.lua.d" "$dir/state" "$dir/log"
  cat >"$dir/config/pipewire/pipewire.conf.d/50-ci-devices.conf" <<'EOF'
# The speakers and the microphone of the test machine, present from the start.
context.objects = [
  { factory = adapter
    args = {
      factory.name     = support.null-audio-sink
      node.name        = ci-sink
      node.description = "CI Speakers"
      media.class      = Audio/Sink
      audio.position   = [ FL FR ]
      object.linger    = true
      priority.session = 2000
    }
  }
]
context.modules = [
  { name = libpipewire-module-loopback
    args = {
      node.description = "CI Microphone"
      audio.position   = [ MONO ]
      capture.props = {
        node.name        = mic-feed
        node.description = "CI Microphone Feed"
        media.class      = Audio/Sink
        audio.position   = [ MONO ]
        priority.session = 100
      }
      playback.props = {
        node.name        = ci-mic
        node.description = "Built-in Microphone"
        media.class      = Audio/Source
        audio.position   = [ MONO ]
        priority.session = 2000
      }
    }
  }
]
EOF
  # Sorted after the packaged 50-*-config.lua files, before 90-enable-all.lua.
  cat >"$dir/config/wireplumber/main.lua.d/51-ci-no-hardware.lua" <<'EOF'
-- Headless test machine: never probe sound cards or cameras.
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
EOF
  cat >"$dir/config/wireplumber/bluetooth.lua.d/51-ci-no-bluetooth.lua" <<'EOF'
-- Headless test machine: no Bluetooth devices.
bluez_monitor.enabled = false
EOF
}

# What start has launched so far, by pid, to name one that exits early.
declare -A started=()

# Runs a program in the background with the session's environment and its
# output in DIR/log/NAME.log.
launch() {
  local dir=$1 name=$2
  shift 2
  "$@" </dev/null >>"$dir/log/$name.log" 2>&1 &
  echo "$!" >>"$dir/pids"
  started[$!]=$name
}

# pw-dump's JSON, or nothing while the daemon does not answer.
dump() { timeout 5 pw-dump 2>/dev/null || true; }

# Polls until FILTER (a jq filter over pw-dump's output that yields true)
# holds; fails at once when something start launched has exited.
wait_for() {
  local what=$1 filter=$2 deadline=$((SECONDS + START_TIMEOUT_S)) pid
  while ((SECONDS < deadline)); do
    if [ "$(dump | jq -r "$filter" 2>/dev/null)" = true ]; then
      return 0
    fi
    for pid in "${!started[@]}"; do
      if ! owned_alive "$pid" "$XDG_RUNTIME_DIR"; then
        echo "pipewire-session: ${started[$pid]} (pid $pid) exited while waiting for $what" >&2
        return 1
      fi
    done
    sleep 0.1
  done
  echo "pipewire-session: timed out after ${START_TIMEOUT_S}s waiting for $what" >&2
  return 1
}

node_running() {
  printf '[.[] | select(.type == "PipeWire:Interface:Node" and .info.props[%s] == "%s" and .info.state == "running")] | length > 0' "$1" "$2"
}

node_present() {
  printf '[.[] | select(.type == "PipeWire:Interface:Node" and .info.props["node.name"] == "%s")] | length > 0' "$1"
}

default_is() {
  printf '[.[] | select(.type == "PipeWire:Interface:Metadata" and .props["metadata.name"] == "default") | .metadata[] | select(.key == "%s") | .value.name] == ["%s"]' "$1" "$2"
}

# A sine tone as raw float32 on the standard output of sox, played by pw-play.
# A fifo between them keeps both as direct children, so $! is pw-play itself.
# The name goes on the client too (through a client config of its own), as an
# application's own name does, not only on the stream node.
start_tone() {
  local dir=$1 name=$2 freq=$3 channels=$4 target=$5 volume=${6:-0.3} fifo app
  [[ $name =~ ^[A-Za-z0-9._-]+$ ]] || die "player name must be letters, digits, . _ -: $name"
  app="$dir/apps/$name"
  mkdir -p "$app/pipewire/client-rt.conf.d"
  printf 'context.properties = {\n  application.name = "%s"\n}\n' "$name" \
    >"$app/pipewire/client-rt.conf.d/50-application-name.conf"
  fifo=$(mktemp -u "$app/tone.XXXXXX")
  mkfifo "$fifo"
  sox -q -n -t raw -r "$RATE" -e floating-point -b 32 -c "$channels" - \
    synth "$TONE_SECONDS" sine "$freq" vol "$volume" \
    </dev/null >"$fifo" 2>>"$dir/log/$name.log" &
  echo "$!" >>"$dir/pids"
  started[$!]="sox ($name)"
  XDG_CONFIG_HOME="$app" pw-play --target "$target" --rate "$RATE" --channels "$channels" --format f32 \
    -P "{ application.name = \"$name\" }" - \
    <"$fifo" >>"$dir/log/$name.log" 2>&1 &
  echo "$!" >>"$dir/pids"
  started[$!]="pw-play ($name)"
  tone_pid=$!
}

cmd_stop() {
  local dir=$1 pid live deadline
  [ -d "$dir" ] || return 0
  is_session_dir "$dir" || die "$dir was not made by start; not removing it"
  if [ -f "$dir/pids" ]; then
    local pids=()
    while read -r pid; do
      [[ $pid =~ ^[0-9]+$ ]] && pids+=("$pid")
    done <"$dir/pids"
    for pid in "${pids[@]}"; do
      if owned_alive "$pid" "$dir"; then kill -TERM "$pid" 2>/dev/null || true; fi
    done
    deadline=$((SECONDS + STOP_TIMEOUT_S))
    while :; do
      live=()
      for pid in "${pids[@]}"; do
        owned_alive "$pid" "$dir" && live+=("$pid")
      done
      ((${#live[@]} == 0)) && break
      if ((SECONDS >= deadline)); then
        echo "pipewire-session: killing ${live[*]}, still running ${STOP_TIMEOUT_S}s after TERM" >&2
        kill -KILL "${live[@]}" 2>/dev/null || true
        break
      fi
      sleep 0.1
    done
  fi
  rm -rf "$dir"
}

start_failed() {
  local status=$1 dir=$2
  [ "$status" -ne 0 ] || return 0
  echo "pipewire-session: start failed; stopping what it started. Its logs:" >&2
  tail -n 20 "$dir"/log/*.log >&2 2>/dev/null || true
  cmd_stop "$dir"
}

# The daemon, its session manager and the microphone's tone: what a crash of
# the daemon takes down and restart brings back.
start_daemon() {
  local dir=$1
  launch "$dir" pipewire pipewire
  wait_for "pipewire to answer" 'length > 0'
  launch "$dir" wireplumber wireplumber
  wait_for "the default metadata" '[.[] | select(.type == "PipeWire:Interface:Metadata" and .props["metadata.name"] == "default")] | length > 0'
  wait_for "ci-sink" "$(node_present ci-sink)"
  wait_for "ci-mic" "$(node_present ci-mic)"

  pw-metadata -n default 0 default.configured.audio.sink '{ "name": "ci-sink" }' Spa:String:JSON >/dev/null
  pw-metadata -n default 0 default.configured.audio.source '{ "name": "ci-mic" }' Spa:String:JSON >/dev/null
  wait_for "ci-sink as the default sink" "$(default_is default.audio.sink ci-sink)"
  wait_for "ci-mic as the default source" "$(default_is default.audio.source ci-mic)"

  start_tone "$dir" MicFeeder 300 1 mic-feed
  wait_for "the microphone's tone" "$(node_running '"application.name"' MicFeeder)"
  wait_for "mic-feed running" "$(node_running '"node.name"' mic-feed)"
}

# After the daemon died (a test kills it as a crash would): stops what is
# left of the old graph and starts it again in the same session, same
# machine, same socket.
cmd_restart() {
  local dir=$1 pid name
  [ -f "$dir/env" ] || die "no session in $dir (run start first)"
  enter_session "$dir"
  while read -r pid; do
    [[ $pid =~ ^[0-9]+$ ]] || continue
    owned_alive "$pid" "$dir" || continue
    name=$(cat "/proc/$pid/comm" 2>/dev/null) || continue
    [ "$name" = dbus-daemon ] || kill -KILL "$pid" 2>/dev/null || true
  done <"$dir/pids"
  trap 'start_failed $? "$dir"' EXIT
  start_daemon "$dir"
  trap - EXIT
}

cmd_start() {
  local dir=$1 out
  local tool
  for tool in dbus-daemon pipewire wireplumber pw-dump pw-metadata pw-play sox jq; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/bootstrap.sh installs it)"
  done
  [[ $dir =~ ^[A-Za-z0-9._/+-]+$ ]] || die "$dir: only letters, digits and . _ / + - are allowed"
  # The daemon's socket path must fit in a sockaddr_un.
  ((${#dir} + 12 < 108)) || die "$dir is too long for a socket path"
  # A session left over by an interrupted run is stopped first.
  if [ -d "$dir" ] && ! is_session_dir "$dir" && [ -n "$(ls -A "$dir")" ]; then
    die "$dir exists and was not made by start"
  fi
  cmd_stop "$dir"
  mkdir -p "$dir"
  chmod 700 "$dir"
  : >"$dir/pids"
  write_config "$dir"
  session_env "$dir" >"$dir/env"
  enter_session "$dir"

  trap 'start_failed $? "$dir"' EXIT

  out=$(dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --fork \
    --print-address=1 --print-pid=1 </dev/null 2>>"$dir/log/dbus.log") || die "dbus-daemon did not start"
  sed -n 2p <<<"$out" >>"$dir/pids"
  started[$(sed -n 2p <<<"$out")]=dbus-daemon

  start_daemon "$dir"
  trap - EXIT
}

# The stream node (of class CLASS, playback by default) of the client that
# process PID opened is running.
stream_of_pid_running() {
  # shellcheck disable=SC2016 # $c and $id are jq variables
  printf '([.[] | select(.type == "PipeWire:Interface:Client" and .info.props["application.process.id"] == %s) | .id]) as $c | [.[] | select(.type == "PipeWire:Interface:Node" and .info.props["media.class"] == "%s" and (.info.props["client.id"] as $id | $c | index($id)) and .info.state == "running")] | length > 0' "$1" "${2:-Stream/Output/Audio}"
}

cmd_play() {
  local dir=$1 name=$2 freq=$3 volume=${4:-0.3} pid
  [ -f "$dir/env" ] || die "no session in $dir (run start first)"
  [[ $freq =~ ^[0-9]+([.][0-9]+)?$ ]] || die "frequency must be a number of Hz: $freq"
  [[ $volume =~ ^[0-9]+([.][0-9]+)?$ ]] || die "volume must be a number: $volume"
  enter_session "$dir"
  start_tone "$dir" "$name" "$freq" 2 ci-sink "$volume"
  if ! wait_for "$name to play" "$(stream_of_pid_running "$tone_pid")"; then
    for pid in "${!started[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    exit 1
  fi
  echo "$tone_pid"
}

# A virtual input device of its own process (a loopback whose playback side
# is an Audio/Source), so a test can make a device disappear by stopping it
# without touching the session's own microphone.
cmd_source() {
  local dir=$1 name=$2 channels=$3 positions
  [ -f "$dir/env" ] || die "no session in $dir (run start first)"
  [[ $name =~ ^[A-Za-z0-9._-]+$ ]] || die "source name must be letters, digits, . _ -: $name"
  case "$channels" in
  1) positions="[ MONO ]" ;;
  2) positions="[ FL FR ]" ;;
  *) die "channels must be 1 or 2: $channels" ;;
  esac
  enter_session "$dir"
  launch "$dir" "$name" pw-loopback --channels "$channels" \
    --capture-props "{ node.name = $name-feed media.class = Audio/Sink audio.position = $positions }" \
    --playback-props "{ node.name = $name node.description = $name media.class = Audio/Source audio.position = $positions }"
  local pid=$!
  if ! wait_for "$name" "$(node_present "$name")"; then
    kill -TERM "$pid" 2>/dev/null || true
    exit 1
  fi
  echo "$pid"
}

# Another program capturing from a source (its audio is thrown away).
cmd_record() {
  local dir=$1 name=$2 target=$3 pid
  [ -f "$dir/env" ] || die "no session in $dir (run start first)"
  [[ $name =~ ^[A-Za-z0-9._-]+$ ]] || die "recorder name must be letters, digits, . _ -: $name"
  enter_session "$dir"
  pw-record --target "$target" -P "{ application.name = \"$name\" }" - \
    </dev/null >/dev/null 2>>"$dir/log/$name.log" &
  pid=$!
  echo "$pid" >>"$dir/pids"
  started[$pid]="pw-record ($name)"
  if ! wait_for "$name to record" "$(stream_of_pid_running "$pid" Stream/Input/Audio)"; then
    kill -TERM "$pid" 2>/dev/null || true
    exit 1
  fi
  echo "$pid"
}

[ $# -ge 2 ] || usage
case "$1" in
start)
  [ $# -eq 2 ] || usage
  cmd_start "$(realpath -m "$2")"
  ;;
stop)
  [ $# -eq 2 ] || usage
  cmd_stop "$(realpath -m "$2")"
  ;;
restart)
  [ $# -eq 2 ] || usage
  cmd_restart "$(realpath -m "$2")"
  ;;
play)
  [ $# -eq 4 ] || [ $# -eq 5 ] || usage
  cmd_play "$(realpath -m "$2")" "$3" "$4" "${5:-0.3}"
  ;;
source)
  [ $# -eq 4 ] || usage
  cmd_source "$(realpath -m "$2")" "$3" "$4"
  ;;
record)
  [ $# -eq 4 ] || usage
  cmd_record "$(realpath -m "$2")" "$3" "$4"
  ;;
*) usage ;;
esac
