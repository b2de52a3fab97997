#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest on a
# virtual phone that this script starts and stops again: first in a clang
# build with AddressSanitizer, UndefinedBehaviorSanitizer and the fuzzers
# (build-asan/), then in the plain build (build/).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh
scripts/build.sh build
CC=clang CXX=clang++ scripts/build.sh build-asan -DALARMCLOCK_SANITIZE=ON -DALARMCLOCK_FUZZ=ON

state=$(mktemp -d /tmp/alarmclock-phone.XXXXXX)
trap '"$root"/scripts/virtual-phone.sh stop "$state" >/dev/null 2>&1; rm -rf "$state"' EXIT
eval "$(scripts/virtual-phone.sh start "$state" --display)"
# Each test chooses its own platform and motion hardware.
unset QT_QPA_PLATFORM QT_ACCEL_FILEPATH QT_ACCEL_DELIMITER

echo "== Sanitizers and fuzzing (build-asan/)"
sanitized=0
(cd build-asan && ctest --output-on-failure) || sanitized=1

echo "== Plain build (build/)"
cd build
ctest --output-on-failure
exit $sanitized
