#!/usr/bin/env bash
# Builds the Debian package, build-deb/alarmclock_<version>_<arch>.deb, with
# Debian's build flags, and checks it with lintian (errors fail the build).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh dpkg-dev lintian fakeroot file

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
# Given explicitly, since CMake reads the environment only when it first
# configures a tree; it takes no CPPFLAGS of its own.
scripts/build.sh build-deb -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DALARMCLOCK_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$CXXFLAGS $CPPFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS"
rm -f build-deb/alarmclock_*.deb
(cd build-deb && cpack -G DEB >/dev/null)
deb=$(ls build-deb/alarmclock_*.deb)
echo "Package: $deb"
lintian --fail-on error --tag-display-limit 0 "$deb"
