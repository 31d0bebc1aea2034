#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# Idempotent: a second run installs nothing and makes no network call.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libasio-dev
  # The resampler behind "convert" in enableAudioStreaming (pkg-config soxr).
  libsoxr-dev
  clang-format ccache valgrind
  # `make check-macos`: type-checks the Mac backend (Objective-C++). `make
  # fuzz`: clang's libFuzzer and sanitizer runtimes come with libclang-rt.
  clang libclang-rt-14-dev
  # make coverage
  gcovr
  # The PipeWire backend and the private daemon its tests run against
  # (scripts/pipewire-session.sh: pipewire, wireplumber, a session bus, sox
  # for the tones, jq to read pw-dump).
  libpipewire-0.3-dev pipewire pipewire-bin wireplumber dbus sox jq
)
# The TypeScript client (clients/typescript) is built and tested with Node.js
# and npm (20 on these machines); Debian's are taken only where there is no node.
if ! command -v node >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
