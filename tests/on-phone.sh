#!/bin/sh
# Runs a test where it belongs:
#   tests/on-phone.sh none|pulse|pipewire COMMAND [ARGS...]
# "none" is a quick test: no sound server and no display reach it.
# "pulse" and "pipewire" run on a virtual phone (scripts/virtual-phone.sh)
# with that sound server. scripts/test.sh starts several phones and gives
# ctest a resource spec that lists them (ALARMCLOCK_PHONES holds their state
# directories, one per id), so that tests on different phones run side by
# side and no two ever share a speaker. Run by hand without one, a test
# uses the phone of its environment.
kind=$1
shift
case $kind in
none)
    unset DISPLAY WAYLAND_DISPLAY PHONE_STATE
    export PULSE_SERVER="unix:/nonexistent/alarmclock-quick-test"
    exec "$@"
    ;;
pulse | pipewire) ;;
*)
    echo "on-phone.sh: unknown kind $kind" >&2
    exit 2
    ;;
esac

if [ -n "${CTEST_RESOURCE_GROUP_COUNT:-}" ]; then
    upper=$(echo "$kind" | tr a-z A-Z)
    eval "given=\${CTEST_RESOURCE_GROUP_0_$upper:-}"
    id=${given#id:}
    id=${id%%,*}
    if [ -z "$id" ] || [ ! -r "${ALARMCLOCK_PHONES:-}/$id/env" ]; then
        echo "on-phone.sh: ctest gave no $kind phone that ALARMCLOCK_PHONES holds ($given)" >&2
        exit 1
    fi
    . "$ALARMCLOCK_PHONES/$id/env"
fi

# A test meant for PipeWire's server says so when it would run on another.
if [ "$kind" = pipewire ] && ! pactl info 2>/dev/null | grep -q "on PipeWire"; then
    echo "missing prerequisite: PipeWire's PulseAudio server (packages pipewire-pulse, wireplumber; scripts/test.sh starts one)"
    if [ -n "${CI:-}" ] || [ -n "${ALARMCLOCK_RUN_ALL:-}" ]; then
        exit 1
    fi
    exit 77
fi
exec "$@"
