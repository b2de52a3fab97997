#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest on
# virtual phones that the tests start and stop again: the plain build
# (build/), whose tests of what the speaker and the microphone carry run
# under PulseAudio and under PipeWire; and beside it a clang build with
# AddressSanitizer, UndefinedBehaviorSanitizer and the fuzzers
# (build-asan/), which runs the tests inside one process, the fuzzers and a
# whole alarm under the leak check. Tests run side by side, each on a
# phone of its own. Every case must run: a missing
# prerequisite fails its test, and the number of skipped cases, printed at
# the end, must be 0. The plain build's ctest summary ends the output.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# gdb and file only read what a test that crashed left behind.
scripts/setup.sh gdb file
scripts/build.sh build

state=$(mktemp -d /tmp/alarmclock-test.XXXXXX)
# Each test on a phone starts one of its own (tests/on-phone.sh) under
# TMPDIR: whatever a test killed on its timeout left running is stopped here.
export TMPDIR="$state/tmp"
mkdir -p "$TMPDIR"
asan_pid=""
cleanup() {
    [[ -n $asan_pid ]] && kill -- "-$asan_pid" 2>/dev/null
    local phone
    for phone in "$TMPDIR"/alarmclock-phone.*; do
        [[ -d $phone ]] && "$root"/scripts/virtual-phone.sh stop "$phone" >/dev/null 2>&1
    done
    rm -rf "$state"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Tests on phones of their own run side by side, as many as the machine
# keeps up with while each keeps to the clock.
plain_jobs=4
asan_jobs=2

export ALARMCLOCK_RUN_ALL=1
rm -f build/tests/results/* build-asan/tests/results/* 2>/dev/null || true

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

# The sanitizer build compiles at the lowest priority while the plain
# build's tests run, which mostly wait on the clock; its tests then run on
# a phone of their own.
set -m
(
    CC=clang CXX=clang++ nice -n 19 scripts/build.sh build-asan -DALARMCLOCK_SANITIZE=ON -DALARMCLOCK_FUZZ=ON &&
        cd build-asan && ctest -j$asan_jobs --output-on-failure
) >"$state/asan.log" 2>&1 &
asan_pid=$!
set +m

status=0
echo "== Plain build (build/), under PulseAudio and PipeWire"
set +e
(cd build && ctest -j$plain_jobs --output-on-failure) |
    tee "$state/ctest.log"
[[ ${PIPESTATUS[0]} -eq 0 ]] || status=1
wait "$asan_pid"
[[ $? -eq 0 ]] || status=1
asan_pid=""
set -e
echo "== Sanitizers and fuzzing (build-asan/)"
cat "$state/asan.log"
show_cores

skipped=$(cat build/tests/results/*.txt build-asan/tests/results/*.txt 2>/dev/null \
    | sed -n 's/^Totals: .*, \([0-9]*\) skipped,.*/\1/p' | awk '{ n += $1 } END { print n + 0 }')
echo "== Skipped test cases in both builds: $skipped"
if [[ $skipped -ne 0 ]]; then
    echo "Every case must run here; see the SKIP lines above for what was missing."
    status=1
fi
# The ctest summaries, the plain build's last.
echo "Sanitizers: $(grep -E '^[0-9]+% tests passed' "$state/asan.log" | tail -1)"
grep -E '^[0-9]+% tests passed' "$state/ctest.log" | tail -1
exit $status
