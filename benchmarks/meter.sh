#!/usr/bin/env bash
# Builds an optimised tree in build-release/ and measures the level meter.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release
build-release/benchmarks/bench_audioinfo "$@"
