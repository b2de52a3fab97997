#!/usr/bin/env bash
# Installs the Debian package into a fresh Debian 12 root, as a new user's
# machine gets it (apt-get install ./alarmclock_*.deb, with what it depends
# on and recommends), and runs tests/tst_install there against /usr, on a
# virtual phone inside that root. Needs root; takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/package.sh
scripts/setup.sh debootstrap
scripts/build.sh build
deb=$(ls build-deb/alarmclock_*.deb)

root=$(mktemp -d /tmp/alarmclock-root.XXXXXX)
mounts=(proc sys dev dev/pts)
cleanup() {
    local m
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        m=${mounts[i]}
        mountpoint -q "$root/$m" && umount "$root/$m"
    done
    # Never remove through a mount that is still there.
    for m in "${mounts[@]}"; do mountpoint -q "$root/$m" && return; done
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT

mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
echo "Making a fresh Debian 12 root in $root from $mirror"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 \
    || { cat "$root.debootstrap.log"; exit 1; }
rm -f "$root.debootstrap.log"
for m in "${mounts[@]}"; do mount --bind "/$m" "$root/$m"; done
mkdir -p "$root/check"
cp "$deb" build/tests/tst_install scripts/virtual-phone.sh "$root/check/"

chroot "$root" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb bash -c '
    set -euo pipefail
    export DEBIAN_FRONTEND=noninteractive
    cd /check
    apt-get update -q >/dev/null
    echo "== apt-get install ./$(ls alarmclock_*.deb)"
    apt-get install -y -q ./alarmclock_*.deb >apt.log 2>&1 || { cat apt.log; exit 1; }
    echo "$(grep -c "^Setting up" apt.log) packages set up"
    echo "== The test tools: a virtual display, the sound tools, libfaketime, Qt Test"
    apt-get install -y -q --no-install-recommends xvfb xauth xdotool imagemagick \
        pulseaudio-utils faketime libqt5test5 appstream desktop-file-utils >/dev/null 2>&1
    state=$(mktemp -d)
    trap "/check/virtual-phone.sh stop $state" EXIT
    eval "$(/check/virtual-phone.sh start "$state" --display)"
    unset QT_ACCEL_FILEPATH QT_ACCEL_DELIMITER
    cd /tmp
    ALARMCLOCK_INSTALLED_PREFIX=/usr ALARMCLOCK_RUN_ALL=1 QT_QPA_PLATFORM=offscreen /check/tst_install
'
echo "The package installs and works on a fresh Debian 12."
