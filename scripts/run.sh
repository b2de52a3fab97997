#!/usr/bin/env bash
# Installs what is missing, builds, and starts the alarm clock in run/, a
# working directory that holds the built-in sounds and keeps alarm.conf.
# Without a display it starts a virtual phone (display, speaker and
# microphone) and writes a screenshot of the window to run/window.png.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh
scripts/build.sh build

mkdir -p run/sounds
cp sounds/*.wav run/sounds/
cd run

if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
    exec "$root/build/alarmclock"
fi

echo "No display found: starting a virtual phone (virtual display, speaker and microphone)."
state=$(mktemp -d /tmp/alarmclock-phone.XXXXXX)
pid=""
cleanup() {
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null
    "$root/scripts/virtual-phone.sh" stop "$state" >/dev/null 2>&1
    rm -rf "$state"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
eval "$("$root/scripts/virtual-phone.sh" start "$state" --display)"
echo "Virtual display $DISPLAY; the program rings into the sink 'speaker' and hears the sink 'room'."

"$root/build/alarmclock" &
pid=$!
sleep 3
import -display "$DISPLAY" -window root "$root/run/window.png"
echo "Screenshot of the window: run/window.png. Press Ctrl+C to stop the program."
wait "$pid"
