#!/usr/bin/env bash
# Runs a test where it belongs:
#   tests/on-phone.sh none|pulse|pipewire COMMAND [ARGS...]
# "none" is a quick test: no sound server and no display reach it. "pulse"
# and "pipewire" run it on a virtual phone of its own with that sound server
# (scripts/virtual-phone.sh), started for it and stopped after it, so that
# tests run side by side (ctest -j) never share a speaker and each finds the
# phone as it is new.
set -uo pipefail
kind=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)

case $kind in
none | pulse) server_option="" packages="xvfb, pulseaudio, pulseaudio-utils" ;;
pipewire) server_option="--pipewire" packages="xvfb, pipewire-pulse, wireplumber, pulseaudio-utils" ;;
*)
    echo "on-phone.sh: unknown kind $kind" >&2
    exit 2
    ;;
esac

state=$(mktemp -d "${TMPDIR:-/tmp}/alarmclock-phone.XXXXXX")
cleanup() {
    "$root"/scripts/virtual-phone.sh stop "$state" >/dev/null 2>&1
    rm -rf "$state"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [[ $kind == none ]]; then
    unset DISPLAY WAYLAND_DISPLAY PHONE_STATE
    mkdir -m 700 "$state/runtime"
    export XDG_RUNTIME_DIR="$state/runtime"
    export PULSE_SERVER="unix:$state/runtime/no-sound-server"
    "$@"
    exit
fi
# A phone that fails to start under a machine's load is started once more;
# the first failure is told all the same.
start_phone() {
    "$root"/scripts/virtual-phone.sh start "$state" --display $server_option >/dev/null 2>"$state.err"
}
if ! start_phone; then
    echo "on-phone.sh: the virtual phone did not start, trying once more: $(cat "$state.err")" >&2
    "$root"/scripts/virtual-phone.sh stop "$state" >/dev/null 2>&1
    rm -rf "$state"
    mkdir -m 700 "$state"
fi
if [[ ! -s $state/env ]] && ! start_phone; then
    echo "missing prerequisite: a virtual phone with its $kind sound server (packages $packages)" \
        "did not start: $(cat "$state.err")"
    rm -f "$state.err"
    [[ -n ${CI:-} || -n ${ALARMCLOCK_RUN_ALL:-} ]] && exit 1
    exit 77
fi
rm -f "$state.err"
# shellcheck disable=SC1091
. "$state/env"
# Not exec'd: the phone is stopped once the test is over.
"$@"
