#!/usr/bin/env bash
# Builds an optimised tree in build-release/ and prints figures for the
# program on a virtual phone that this script starts and stops.
#   benchmarks/phone.sh [--echo-ms N] [RUNS [ALARMS]]
set -euo pipefail
echo_ms=60
if [[ ${1:-} == --echo-ms ]]; then
    echo_ms=$2
    shift 2
fi
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release
state=$(mktemp -d /tmp/alarmclock-phone.XXXXXX)
trap '"$root"/scripts/virtual-phone.sh stop "$state" >/dev/null 2>&1; rm -rf "$state"' EXIT
eval "$(scripts/virtual-phone.sh start "$state" --display --echo-ms "$echo_ms")"
unset QT_ACCEL_FILEPATH QT_ACCEL_DELIMITER
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(free -g | awk '/Mem:/ {print $2}') GiB"
QT_QPA_PLATFORM=offscreen build-release/benchmarks/phone_figures "$@"
