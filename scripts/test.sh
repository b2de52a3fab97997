#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest on a
# virtual phone that this script starts and stops again: first in a clang
# build with AddressSanitizer, UndefinedBehaviorSanitizer and the fuzzers
# (build-asan/), then in the plain build (build/), whose tests of sound
# also run under PipeWire. Every case must run: a
# missing prerequisite fails its test, and the number of skipped cases,
# printed at the end, must be 0.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# gdb and file only read what a test that crashed left behind.
scripts/setup.sh gdb file
scripts/build.sh build
CC=clang CXX=clang++ scripts/build.sh build-asan -DALARMCLOCK_SANITIZE=ON -DALARMCLOCK_FUZZ=ON

state=$(mktemp -d /tmp/alarmclock-phone.XXXXXX)
trap '"$root"/scripts/virtual-phone.sh stop "$state" >/dev/null 2>&1; rm -rf "$state"' EXIT
eval "$(scripts/virtual-phone.sh start "$state" --display)"
# Each test chooses its own platform and motion hardware.
unset QT_QPA_PLATFORM QT_ACCEL_FILEPATH QT_ACCEL_DELIMITER
export ALARMCLOCK_RUN_ALL=1
rm -f build/tests/results/*.txt build-asan/tests/results/*.txt

# A process that dies by a signal the sanitizers cannot catch (a fault on
# a thread that blocks signals, such as the sound server library's own)
# leaves a core dump in its working directory: each is shown with the
# stacks of its threads, and removed.
ulimit -c unlimited 2>/dev/null || true
touch "$state/started"
show_cores() {
    find "$root/build" "$root/build-asan" "${TMPDIR:-/tmp}" -xdev -maxdepth 4 -type f -user "$(id -u)" \
        \( -name core -o -name 'core.[0-9]*' \) -newer "$state/started" 2>/dev/null |
        while read -r core; do
            exe=$(file -b "$core" | sed -n "s/.*execfn: '\([^']*\)'.*/\1/p")
            echo "== Core dump: $core, of ${exe:-an unknown program}"
            gdb -batch -nx -ex 'info threads' -ex 'thread apply all bt 25' ${exe:+"$exe"} "$core" 2>&1 |
                grep -v -e '^\[New LWP' -e '^warning: ' -e '^$' | tail -n 300
            rm -f "$core"
        done
}

status=0
echo "== Sanitizers and fuzzing (build-asan/)"
(cd build-asan && ctest --output-on-failure) || status=1
show_cores

echo "== Plain build (build/)"
set +e
(cd build && ctest --output-on-failure) | tee "$state/ctest.log"
[[ ${PIPESTATUS[0]} -eq 0 ]] || status=1
set -e
show_cores

# A fresh Debian 12 phone shell runs PipeWire's PulseAudio server, not
# PulseAudio: the tests of what the speaker and the microphone carry run
# there too, on a phone of their own.
echo "== PipeWire (build/)"
"$root"/scripts/virtual-phone.sh stop "$state" >/dev/null 2>&1
pipewire_state=$(mktemp -d /tmp/alarmclock-pipewire.XXXXXX)
trap '"$root"/scripts/virtual-phone.sh stop "$state" >/dev/null 2>&1; rm -rf "$state";
    "$root"/scripts/virtual-phone.sh stop "$pipewire_state" >/dev/null 2>&1; rm -rf "$pipewire_state"' EXIT
eval "$(scripts/virtual-phone.sh start "$pipewire_state" --display --pipewire)"
unset QT_QPA_PLATFORM QT_ACCEL_FILEPATH QT_ACCEL_DELIMITER
set +e
(cd build && ctest --output-on-failure -R '^(tst_endtoend|tst_alarmvolume|tst_lifecycle)$') | tee "$state/ctest-pipewire.log"
[[ ${PIPESTATUS[0]} -eq 0 ]] || status=1
set -e
show_cores

skipped=$(cat build/tests/results/*.txt build-asan/tests/results/*.txt 2>/dev/null \
    | sed -n 's/^Totals: .*, \([0-9]*\) skipped,.*/\1/p' | awk '{ n += $1 } END { print n + 0 }')
echo "== Skipped test cases in both builds: $skipped"
if [[ $skipped -ne 0 ]]; then
    echo "Every case must run here; see the SKIP lines above for what was missing."
    status=1
fi
# The ctest summaries, the plain build's last.
echo "PipeWire: $(grep -E '^[0-9]+% tests passed' "$state/ctest-pipewire.log" | tail -1)"
grep -E '^[0-9]+% tests passed' "$state/ctest.log" | tail -1
exit $status
