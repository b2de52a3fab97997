#!/usr/bin/env bash
# A virtual phone for the alarm clock on a machine without one: a sound
# server with a speaker the program rings into and a room its microphone
# hears, a virtual display, an accelerometer file for the QtSensors
# backends, and a wall clock file for libfaketime.
#
#   eval "$(scripts/virtual-phone.sh start STATE_DIR [--display] [--echo-ms N] [--pipewire])"
#   scripts/virtual-phone.sh stop STATE_DIR
#   scripts/virtual-phone.sh restart-server STATE_DIR [SECONDS]
#
# "start" prints the environment the program and the tools need. "stop"
# ends what "start" started, by process id. "restart-server" kills the
# sound server as a crash does, and starts it again SECONDS later (0 unless
# given), as a phone's service manager does; the sound server the programs
# talk to is STATE_DIR/sound-server.pid. Sounds for the microphone:
#   paplay --device=room loud.wav
# What the speaker carries:
#   parec -d speaker.monitor --format=s16le --rate=8000 --channels=1
#
# As on a real phone:
# - the microphone hears the phone's own speaker: whatever the speaker
#   plays reaches the room after N ms (60 unless --echo-ms says otherwise;
#   0 turns the echo off);
# - the microphone is the room itself (the sink's monitor), so it adds no
#   delay of its own; a steady low-latency stream into the room keeps its
#   delivery small and steady, whatever else plays;
# - the room is never digitally silent: it hums quietly (peak 0.03);
# - a sound server started again comes back with the speaker muted and
#   turned as it was, and no program reaches it before that is so;
# - with --pipewire the sound server is PipeWire's PulseAudio server with
#   WirePlumber, as a fresh Debian 12 phone shell runs it, on a session bus
#   of its own; otherwise PulseAudio.
set -Eeuo pipefail
# A step that fails says which, where it would otherwise end the script
# without a word.
trap 'echo "virtual-phone.sh: line $LINENO failed (status $?): $BASH_COMMAND" >&2' ERR

cmd=${1:?start or stop}
state=${2:?state directory}
mkdir -p "$state"
state=$(cd "$state" && pwd)

start() {
    local display_wanted="" echo_ms=60 pipewire=""
    while [[ $# -gt 0 ]]; do
        case $1 in
        --display) display_wanted=1 ;;
        --echo-ms) echo_ms=$2; shift ;;
        --pipewire) pipewire=1 ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
        esac
        shift
    done

    local runtime="$state/runtime"
    mkdir -p "$runtime"
    chmod 700 "$runtime"
    export XDG_RUNTIME_DIR="$runtime"
    echo "$pipewire" >"$state/pipewire"
    echo "$echo_ms" >"$state/echo-ms"
    start_server

    # The phone lies still, face up.
    echo "0,0,-9.8" >"$state/accelerometer"

    echo "export XDG_RUNTIME_DIR='$runtime'"
    echo "export QT_ACCEL_FILEPATH='$state/accelerometer' QT_ACCEL_DELIMITER=,"
    echo "export PHONE_STATE='$state' PHONE_ECHO_MS=$echo_ms"
    # What names this phone to a test, for tests/on-phone.sh: each test
    # chooses its own platform and motion hardware.
    {
        echo "export XDG_RUNTIME_DIR='$runtime'"
        echo "export PHONE_STATE='$state' PHONE_ECHO_MS=$echo_ms"
    } >"$state/env"
    start_display
}

# The sound server with the phone's speaker, room and microphone, the echo
# and the room's hum. It listens where no program looks until all that is
# set up, and the speaker is muted and turned as it was before a restart:
# a phone's server comes back with its devices as the user left them.
start_server() {
    local pipewire echo_ms runtime="$state/runtime" setup="$state/pulse-setup"
    pipewire=$(cat "$state/pipewire")
    echo_ms=$(cat "$state/echo-ms")
    rm -rf "$setup"
    mkdir -p "$setup"
    chmod 700 "$setup"
    export PULSE_SERVER="unix:$setup/native"
    if [[ -n $pipewire ]]; then
        # WirePlumber asks the session bus for devices to reserve.
        # The same bus when the server starts again.
        local bus
        if [[ -e $state/dbus.pid ]] && kill -0 "$(cat "$state/dbus.pid")" 2>/dev/null; then
            bus=$(cat "$state/dbus.address")
        else
            bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
            echo "${bus##*$'\n'}" >"$state/dbus.pid"
            echo "$bus" >"$state/dbus.address"
        fi
        local server
        for server in pipewire wireplumber pipewire-pulse; do
            # A fresh phone's: what WirePlumber remembers of streams and
            # devices (volumes, routes) lives with this phone only.
            DBUS_SESSION_BUS_ADDRESS=${bus%%$'\n'*} XDG_STATE_HOME="$state/state" \
                XDG_CONFIG_HOME="$state/config" PULSE_RUNTIME_PATH="$setup" \
                setsid "$server" >"$state/$server.log" 2>&1 &
            # The programs talk to the last one.
            if [[ $server == pipewire-pulse ]]; then echo $! >"$state/sound-server.pid"; else echo $! >"$state/$server.pid"; fi
            [[ $server == pipewire-pulse ]] || sleep 1
        done
        wait_for_server pipewire-pulse
        pactl load-module module-null-sink sink_name=speaker >/dev/null
        pactl load-module module-null-sink sink_name=room >/dev/null
    else
        if ! PULSE_RUNTIME_PATH="$setup" pulseaudio -n --daemonize=yes --exit-idle-time=-1 \
            --disallow-exit --use-pid-file=yes \
            --load=module-native-protocol-unix \
            --load="module-null-sink sink_name=speaker" \
            --load="module-null-sink sink_name=room" \
            >"$state/pulseaudio.log" 2>&1; then
            echo "PulseAudio did not start:" >&2
            tail -n 20 "$state/pulseaudio.log" >&2
            exit 1
        fi
        wait_for_server pulseaudio
        # This phone's own server: others may run beside it.
        for _ in $(seq 50); do [[ -s $setup/pid ]] && break; sleep 0.1; done
        cp "$setup/pid" "$state/sound-server.pid"
    fi
    pactl set-default-sink speaker
    pactl set-default-source room.monitor
    if [[ -s $state/speaker ]]; then
        local mute volume
        read -r mute volume <"$state/speaker"
        pactl set-sink-mute speaker "$mute"
        pactl set-sink-volume speaker "$volume"
    fi

    if [[ $echo_ms -gt 0 ]]; then
        pactl load-module module-loopback source=speaker.monitor sink=room \
            latency_msec="$echo_ms" source_dont_move=true sink_dont_move=true >/dev/null
    fi
    # The room's hum: a sine at 120 Hz and pink noise, paced by a 20 ms stream.
    setsid bash -c 'sox -q -n -r 8000 -c 1 -b 16 -e signed-integer -t raw - \
            synth sine 120 synth pinknoise mix vol 0.03 \
        | pacat --device=room --latency-msec=20 --format=s16le --rate=8000 --channels=1 \
            --client-name=room-hum' >/dev/null 2>&1 &
    echo $! >"$state/hum.pid"
    for _ in $(seq 100); do pactl list sink-inputs | grep -q room-hum && break; sleep 0.05; done
    # Programs find the server from now on.
    mkdir -p "$runtime/pulse"
    chmod 700 "$runtime/pulse"
    mv -f "$setup/native" "$runtime/pulse/native"
    unset PULSE_SERVER
}

# Waits for the sound server to answer: on a machine busy with other
# phones that may take seconds. One that never does is told of, with its log.
wait_for_server() {
    for _ in $(seq 300); do pactl info >/dev/null 2>&1 && return; sleep 0.1; done
    echo "The phone's sound server ($1) did not answer within 30 s:" >&2
    tail -n 20 "$state/$1.log" >&2
    exit 1
}

start_display() {
    if [[ -n $display_wanted ]]; then
        # The server takes the first display number free, and says which:
        # phones started side by side never take the same one. X servers
        # also listen on abstract sockets, which every root on the machine
        # shares (a chroot's server and the host's among them); a number
        # taken there is passed over too.
        Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$state/display" >"$state/xvfb.log" 2>&1 &
        echo $! >"$state/xvfb.pid"
        local display=""
        for _ in $(seq 100); do
            display=$(cat "$state/display" 2>/dev/null)
            [[ -n $display ]] && break
            sleep 0.05
        done
        [[ -n $display ]] || { echo "Xvfb did not start: $(cat "$state/xvfb.log")" >&2; exit 1; }
        echo "export DISPLAY=:$display QT_QPA_PLATFORM=xcb"
        echo "export DISPLAY=:$display" >>"$state/env"
    fi
}

restart_server() {
    local delay=${1:-0} f
    export XDG_RUNTIME_DIR="$state/runtime"
    # What the server would have stored of the speaker.
    echo "$(pactl get-sink-mute speaker | cut -d' ' -f2) $(pactl get-sink-volume speaker | grep -o '[0-9]*%' | head -1)" >"$state/speaker"
    kill -- "-$(cat "$state/hum.pid")" 2>/dev/null || true
    for f in sound-server pipewire wireplumber; do
        [[ -e $state/$f.pid ]] && kill -9 "$(cat "$state/$f.pid")" 2>/dev/null || true
    done
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 || break; sleep 0.1; done
    sleep "$delay"
    start_server
}

stop() {
    local f
    if [[ -e $state/hum.pid ]]; then
        kill -- "-$(cat "$state/hum.pid")" 2>/dev/null || true
        rm -f "$state/hum.pid"
    fi
    for f in "$state"/*.pid; do
        [[ -e "$f" ]] || continue
        kill "$(cat "$f")" 2>/dev/null || true
        rm -f "$f"
    done
}

case "$cmd" in
start) shift 2; start "$@" ;;
restart-server) shift 2; restart_server "$@" ;;
stop) stop ;;
*) echo "usage: $0 start|stop STATE_DIR [--display] [--echo-ms N] [--pipewire]" >&2; exit 2 ;;
esac
