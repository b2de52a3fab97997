#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest on a
# virtual phone that this script starts and stops again: first in a clang
# build with AddressSanitizer, UndefinedBehaviorSanitizer and the fuzzers
# (build-asan/), then in the plain build (build/). Every case must run: a
# missing prerequisite fails its test, and the number of skipped cases,
# printed at the end, must be 0.
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
export ALARMCLOCK_RUN_ALL=1
rm -f build/tests/results/*.txt build-asan/tests/results/*.txt

status=0
echo "== Sanitizers and fuzzing (build-asan/)"
(cd build-asan && ctest --output-on-failure) || status=1

echo "== Plain build (build/)"
set +e
(cd build && ctest --output-on-failure) | tee "$state/ctest.log"
[[ ${PIPESTATUS[0]} -eq 0 ]] || status=1
set -e

skipped=$(cat build/tests/results/*.txt build-asan/tests/results/*.txt 2>/dev/null \
    | sed -n 's/^Totals: .*, \([0-9]*\) skipped,.*/\1/p' | awk '{ n += $1 } END { print n + 0 }')
echo "== Skipped test cases in both builds: $skipped"
if [[ $skipped -ne 0 ]]; then
    echo "Every case must run here; see the SKIP lines above for what was missing."
    status=1
fi
# The plain build's ctest summary, last.
grep -E '^[0-9]+% tests passed' "$state/ctest.log" | tail -1
exit $status
