#!/usr/bin/env bash
# Builds an optimised tree in build-release/ and prints figures for the
# program on a virtual phone that this script starts and stops.
#   benchmarks/phone.sh [--echo-ms N] [--pipewire] [--waiting] [RUNS [ALARMS]]
# --pipewire: the phone's sound server is PipeWire's, as on a fresh phone
# shell, rather than PulseAudio.
# --waiting: what the program costs while it waits for an alarm, window
# closed, locked or shown (then the one argument is the seconds measured).
set -euo pipefail
echo_ms=60
server=()
figures=phone_figures
while [[ ${1:-} == --* ]]; do
    case $1 in
    --echo-ms) echo_ms=$2; shift 2 ;;
    --pipewire) server=(--pipewire); shift ;;
    --waiting) figures=waiting_figures; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release
state=$(mktemp -d /tmp/alarmclock-phone.XXXXXX)
trap '"$root"/scripts/virtual-phone.sh stop "$state" >/dev/null 2>&1; rm -rf "$state"' EXIT
eval "$(scripts/virtual-phone.sh start "$state" --display --echo-ms "$echo_ms" "${server[@]}")"
unset QT_ACCEL_FILEPATH QT_ACCEL_DELIMITER
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(free -g | awk '/Mem:/ {print $2}') GiB"
echo "Sound server: $(pactl info | sed -n 's/^Server Name: //p')"
QT_QPA_PLATFORM=offscreen build-release/benchmarks/$figures "$@"
