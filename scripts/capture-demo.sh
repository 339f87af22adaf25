#!/usr/bin/env bash
# The main job, for a person: build the bridge, capture a few seconds of microphone audio with it
# ("candidate" mode) and say what was captured: duration, level, dominant frequency.
#
# With a PipeWire server running for this user ($XDG_RUNTIME_DIR/pipewire-0) it records that
# machine's default microphone. Without one it starts a private, headless PipeWire whose
# microphone hears a 440 Hz test tone, records that, and stops everything it started.
# Missing Debian packages are installed with apt-get (non-interactively); nothing else is.
#
#   bash scripts/capture-demo.sh            QUORVIA_DEMO_SECONDS=10 bash scripts/capture-demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

readonly bridge=build/release/native/macos-audio-bridge/QuorviaMacAudioBridge
readonly seconds=${QUORVIA_DEMO_SECONDS:-4}
readonly tone_hz=440

# Internal: run the bridge for $2 seconds, its stdout to $1; prints its exit status last.
if [[ ${1:-} == --capture ]]; then
    "$bridge" candidate >"$2" &
    pid=$!
    sleep "$3"
    kill -TERM "$pid" 2>/dev/null || true
    status=0
    wait "$pid" || status=$?
    echo "$status" >"$2.status"
    exit 0
fi

install_missing() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    local sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    echo "Installing Debian packages: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

runtime_dir=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}
if [[ -S "$runtime_dir/pipewire-0" ]]; then
    have_server=1
else
    have_server=0
fi

packages=(cmake ninja-build g++ pkg-config libpipewire-0.3-dev libspa-0.2-dev sox)
((have_server)) || packages+=(pipewire pipewire-bin pipewire-pulse wireplumber pulseaudio-utils)
install_missing "${packages[@]}"

if [[ ! -f build/release/CMakeCache.txt ]]; then
    echo "Configuring the release build..."
    cmake --preset release >/dev/null
fi
echo "Building the bridge (release)..."
cmake --build --preset release >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvia-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
out=$work/bridge.out

if ((have_server)); then
    echo "Capturing ${seconds} s from this machine's default microphone (PipeWire at $runtime_dir)..."
    bash "$0" --capture "$out" "$seconds"
else
    echo "No PipeWire server runs here: starting a private one whose microphone hears a ${tone_hz} Hz tone."
    echo "Capturing ${seconds} s from it..."
    bash scripts/private-audio-server.sh run --dir "$work/server" --tone "$tone_hz" -- \
        bash "$0" --capture "$out" "$seconds"
    echo "The private audio server has been stopped."
fi

status=$(cat "$out.status")
status_lines=$(grep -c '"type":"mode"' "$out" || true)
error_line=$(grep '"type":"error"' "$out" || true)
chunks=$(grep -c '"type":"pcm"' "$out" || true)

echo
echo "Bridge exit status: $status; status lines: $status_lines; audio lines: $chunks"
if [[ -n "$error_line" ]]; then
    echo "The bridge reported an error: $error_line"
    exit 1
fi
if ((chunks == 0)); then
    echo "No audio came from the bridge."
    exit 1
fi

# Every pcm line carries mono signed 16-bit little-endian PCM at 24000 Hz, in base64.
sed -n 's/.*"pcmBase64":"\([^"]*\)".*/\1/p' "$out" | while IFS= read -r chunk; do
    printf '%s' "$chunk" | base64 -d
done >"$work/audio.raw"

raw=(-t raw -r 24000 -e signed -b 16 -c 1 "$work/audio.raw")
stats=$(sox "${raw[@]}" -n stat 2>&1)
length=$(awk -F: '/^Length \(seconds\)/ {gsub(/ /, "", $2); print $2}' <<<"$stats")
rms=$(awk -F: '/^RMS +amplitude/ {gsub(/ /, "", $2); print $2}' <<<"$stats")
peak=$(awk -F: '/^Maximum amplitude/ {gsub(/ /, "", $2); print $2}' <<<"$stats")
dominant=$(sox "${raw[@]}" -n stat -freq 2>&1 | awk 'NF == 2 && $1 + 0 > 0 && $2 + 0 > best { best = $2 + 0; hz = $1 } END { printf "%.0f", hz }')

echo "Captured: $(printf '%.2f' "$length") s of mono 16-bit audio at 24000 Hz"
awk -v rms="$rms" -v peak="$peak" -v hz="$dominant" 'BEGIN {
    if (rms + 0 == 0) { print "Level: silence (every sample is zero)"; exit }
    printf "Level: %.1f dBFS RMS, peak %.1f dBFS\n", 20 * log(rms) / log(10), 20 * log(peak) / log(10)
    printf "Dominant frequency: about %d Hz\n", hz
}'
if ((!have_server)); then
    echo "(The test tone was a ${tone_hz} Hz sine at -10.5 dBFS peak, -13.5 dBFS RMS.)"
fi
