#!/usr/bin/env bash
# Synthesises the two built-in alarm sounds into sounds/.
# Both are 16-bit PCM WAV, mono, 22050 Hz, loud enough to wake a sleeper
# and well below clipping.
set -euo pipefail
cd "$(dirname "$0")/../sounds"

# A classic telephone ring: two short bursts of the 440 + 480 Hz pair.
sox -n -r 22050 -c 1 -b 16 -e signed-integer ringin.wav \
    synth 0.4 sine 440 sine mix 480 gain -n -2 \
    pad 0 0.2 repeat 1 pad 0 0.6

# A warning tone: fast alternating high beeps, harsh enough to cut through sleep.
sox -n -r 22050 -c 1 -b 16 -e signed-integer warning.wav \
    synth 0.15 square 1760 synth 0.15 square amod 8 gain -n -4 \
    pad 0 0.05 repeat 5 pad 0 0.3
