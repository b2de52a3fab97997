#!/usr/bin/env bash
# Installs what building, running and testing the alarm clock needs on
# Debian 12, and only what is missing. Further packages can be named as
# arguments.
set -euo pipefail

packages=(
    cmake make g++ pkg-config libsystemd-dev libpulse-dev
    qtbase5-dev qtbase5-dev-tools
    qtmultimedia5-dev libqt5multimedia5-plugins
    libqt5sensors5-dev libqt5sensors5
    pulseaudio pulseaudio-utils pipewire pipewire-pulse pipewire-bin wireplumber
    xvfb xauth xdotool imagemagick
    faketime sox libbenchmark-dev
    clang libclang-rt-14-dev
    desktop-file-utils appstream
    dbus libglib2.0-bin python3-gi python3-xlib
    phosh phoc gnome-settings-daemon-common xwayland grim
    libwayland-bin libwayland-dev qtwayland5
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -q >/dev/null
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
