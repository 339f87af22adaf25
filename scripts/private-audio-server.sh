#!/usr/bin/env bash
# A private, headless PipeWire stack (pipewire, wireplumber, pipewire-pulse) for tests and demos.
#
#   private-audio-server.sh serve [DIR]     start it, print KEY=VALUE lines and "ready" on stdout,
#                                           then run until SIGTERM/SIGINT/SIGHUP or until the
#                                           process that started it is gone; then stop it
#   private-audio-server.sh run [--dir DIR] [--tone HZ] -- COMMAND [ARG...]
#                                           start it, run COMMAND with its environment (and, with
#                                           --tone, a sine of HZ playing into the microphone),
#                                           stop it, exit with COMMAND's status
#
# The stack has two null sinks: "quorvia_speakers" (stereo, the default sink) and
# "quorvia_mic_sink" (mono), whose monitor feeds the remapped source "quorvia_microphone", the
# default source. Whatever is played into quorvia_mic_sink is what a microphone client records.
#
# Nothing is left running afterwards: each daemon is stopped by its own PID and waited for (it
# is our child, so the wait is exact; polling a PID would see a zombie). DIR holds the runtime
# dir, config, state and logs; without DIR a temporary one is made and removed at the end.
# Exit status 77 means the required programs are not installed.

set -u

readonly SPEAKERS_SINK=quorvia_speakers
readonly MIC_SINK=quorvia_mic_sink
readonly MIC_SOURCE=quorvia_microphone

die() {
    echo "private-audio-server: $*" >&2
    exit 1
}

require_tools() {
    local missing=() tool
    for tool in pipewire wireplumber pipewire-pulse pactl paplay pw-metadata; do
        command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
    done
    if ((${#missing[@]})); then
        echo "private-audio-server: not installed: ${missing[*]}" \
             "(Debian: pipewire pipewire-bin pipewire-pulse wireplumber pulseaudio-utils)" >&2
        exit 77
    fi
}

# Waits up to $1 tenths of a second for the command in "$@" (after $1) to succeed.
wait_until() {
    local tenths=$1
    shift
    local i
    for ((i = 0; i < tenths * 2; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    return 1
}

daemon_alive() {
    [[ -n "${1:-}" ]] && kill -0 "$1" 2>/dev/null
}

pw_pid=""
wp_pid=""
pulse_pid=""
owned_dir=""
base_dir=""

stop_daemons() {
    # Clients first, the server last, so none of them logs a lost connection on the way out.
    local pid
    for pid in "$pulse_pid" "$wp_pid" "$pw_pid"; do
        [[ -n "$pid" ]] || continue
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    pulse_pid=""
    wp_pid=""
    pw_pid=""
    if [[ -n "$owned_dir" ]]; then
        rm -rf "$owned_dir"
        owned_dir=""
    fi
}

write_wireplumber_config() {
    # wireplumber 0.4 exits at once without a D-Bus session bus unless the parts that need one
    # (bluetooth, the Flatpak portal, device monitors) are left out.
    local conf="$XDG_CONFIG_HOME/wireplumber"
    mkdir -p "$conf/main.lua.d" "$conf/bluetooth.lua.d"
    : >"$conf/bluetooth.lua.d/90-enable-all.lua"
    cat >"$conf/main.lua.d/90-enable-all.lua" <<'EOF'
default_access.properties["enable-flatpak-portal"] = false
load_module("metadata")
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
EOF
}

pactl_shows_defaults() {
    local info
    info=$(pactl info 2>/dev/null) || return 1
    grep -q "^Default Sink: $SPEAKERS_SINK\$" <<<"$info" &&
        grep -q "^Default Source: $MIC_SOURCE\$" <<<"$info"
}

default_metadata_ready() {
    # pw-metadata waits for nothing: it prints what the server has. wireplumber's "default"
    # metadata exists once it answers with the object's id.
    timeout 2 pw-metadata -n default 0 2>/dev/null | grep -q 'Found "default" metadata'
}

start_stack() {
    local dir=$1
    base_dir=$dir
    mkdir -p "$dir/runtime" "$dir/config" "$dir/state" "$dir/home" "$dir/logs" || die "cannot make $dir"
    chmod 700 "$dir/runtime"

    unset DBUS_SESSION_BUS_ADDRESS PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR PULSE_SERVER PULSE_RUNTIME_PATH PULSE_PROP
    export XDG_RUNTIME_DIR="$dir/runtime"
    export XDG_CONFIG_HOME="$dir/config"
    export XDG_STATE_HOME="$dir/state"
    export HOME="$dir/home"
    write_wireplumber_config

    pipewire >"$dir/logs/pipewire.log" 2>&1 &
    pw_pid=$!
    wait_until 50 test -S "$XDG_RUNTIME_DIR/pipewire-0" || return 1
    daemon_alive "$pw_pid" || return 1

    wireplumber >"$dir/logs/wireplumber.log" 2>&1 &
    wp_pid=$!
    pipewire-pulse >"$dir/logs/pipewire-pulse.log" 2>&1 &
    pulse_pid=$!
    export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"

    wait_until 50 pactl info || return 1
    wait_until 50 default_metadata_ready || return 1
    daemon_alive "$wp_pid" || return 1

    pactl load-module module-null-sink sink_name="$SPEAKERS_SINK" channels=2 channel_map=front-left,front-right \
        sink_properties=device.description=Speakers >/dev/null || return 1
    pactl load-module module-null-sink sink_name="$MIC_SINK" channels=1 channel_map=mono \
        sink_properties=device.description=Microphone-Input >/dev/null || return 1
    pactl load-module module-remap-source master="$MIC_SINK.monitor" source_name="$MIC_SOURCE" channels=1 \
        channel_map=mono source_properties=device.description=Microphone >/dev/null || return 1
    pactl set-default-sink "$SPEAKERS_SINK" || return 1
    pactl set-default-source "$MIC_SOURCE" || return 1
    wait_until 50 pactl_shows_defaults || return 1
    return 0
}

print_environment() {
    cat <<EOF
XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR
XDG_CONFIG_HOME=$XDG_CONFIG_HOME
XDG_STATE_HOME=$XDG_STATE_HOME
HOME=$HOME
PULSE_SERVER=$PULSE_SERVER
QUORVIA_AUDIO_DIR=$base_dir
QUORVIA_AUDIO_PIPEWIRE_PID=$pw_pid
QUORVIA_AUDIO_WIREPLUMBER_PID=$wp_pid
QUORVIA_AUDIO_PULSE_PID=$pulse_pid
QUORVIA_AUDIO_SPEAKERS_SINK=$SPEAKERS_SINK
QUORVIA_AUDIO_MIC_SINK=$MIC_SINK
QUORVIA_AUDIO_MIC_SOURCE=$MIC_SOURCE
EOF
}

start_or_fail() {
    local dir=${1:-}
    if [[ -z "$dir" ]]; then
        dir=$(mktemp -d "${TMPDIR:-/tmp}/quorvia-audio.XXXXXX") || die "mktemp failed"
        owned_dir=$dir
    fi
    # A unix socket path holds at most 107 bytes.
    ((${#dir} < 80)) || die "directory path too long for the server sockets: $dir"
    if ! start_stack "$dir"; then
        echo "private-audio-server: the audio server did not come up; logs:" >&2
        tail -n 20 "$dir"/logs/*.log >&2 2>/dev/null
        owned_dir="" # keep the logs
        stop_daemons
        exit 1
    fi
}

cmd_serve() {
    require_tools
    local stopping=""
    trap 'stopping=1' TERM INT HUP
    start_or_fail "${1:-}"
    print_environment
    echo ready
    local parent=$PPID sleeper
    while [[ -z "$stopping" ]] && kill -0 "$parent" 2>/dev/null; do
        sleep 0.5 &
        sleeper=$!
        wait "$sleeper" 2>/dev/null
        kill "$sleeper" 2>/dev/null
        wait "$sleeper" 2>/dev/null
    done
    stop_daemons
    exit 0
}

make_tone_wav() {
    # 24-bit would hide nothing here; 16-bit mono at 48 kHz, amplitude 0.3 (about -10.5 dBFS).
    local hz=$1 seconds=$2 out=$3
    command -v sox >/dev/null 2>&1 || die "sox is needed for --tone"
    sox -n -r 48000 -c 1 -b 16 "$out" synth "$seconds" sine "$hz" vol 0.3 || die "sox failed"
}

cmd_run() {
    require_tools
    local dir="" tone=""
    while (($#)); do
        case $1 in
        --dir) dir=$2; shift 2 ;;
        --tone) tone=$2; shift 2 ;;
        --) shift; break ;;
        *) die "unknown option $1" ;;
        esac
    done
    (($#)) || die "run: no command given"
    trap 'stop_daemons; exit 130' INT
    trap 'stop_daemons; exit 143' TERM
    start_or_fail "$dir"
    while IFS= read -r line; do
        export "${line?}"
    done < <(print_environment)

    local player_pid=""
    if [[ -n "$tone" ]]; then
        make_tone_wav "$tone" 600 "$base_dir/tone.wav"
        PULSE_PROP='application.id=org.quorvia.test-tone application.name=test-tone' \
            paplay -d "$MIC_SINK" "$base_dir/tone.wav" >/dev/null 2>&1 &
        player_pid=$!
    fi

    "$@"
    local status=$?
    if [[ -n "$player_pid" ]]; then
        kill -TERM "$player_pid" 2>/dev/null
        wait "$player_pid" 2>/dev/null
    fi
    stop_daemons
    exit "$status"
}

case ${1:-} in
serve) shift; cmd_serve "$@" ;;
run) shift; cmd_run "$@" ;;
*)
    sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
