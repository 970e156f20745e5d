#!/usr/bin/env bash
# Echo cancellation on rooms made from speech: the far side (two flite
# voices) played into the room at -3, -6 and -10 dB, 20 to 500 ms late, dry
# or with sox's reverb, once with the clocks 0.1% apart; the user (LibriVox
# recordings) speaking between and once over it; and headphones (no echo).
# Each room goes through the file mode as a session's microphone does, with
# and without the far side as its reference. Prints per room: far-side
# content words heard in the user's finals, how many of them after the far
# side's first 3 s, the user's WER and its distance from the clean room, the
# echo-return-loss enhancement over the far-only stretches, the canceller's
# CPU and the delay it found.
#   JOBS=N        transcriptions at once (default 6; each runs at live pace)
#   VERBOSE=1     also print each run's finals
#   ROOMS=a,b     only these rooms (by name, as printed)
#   USERS=DIR     the user's speech from an evaluation set instead of the
#                 five LibriVox sentences (DIR/refs.tsv: "path<TAB>text"), in
#   ROUNDS=N      rounds of five of its sentences (default 4), each round a
#                 call of its own; WER is over all of them, leaks the mean
#   ANCHOR=1      also each room through PulseAudio's module-echo-cancel, with
#                 its defaults and tuned (needs pulseaudio, paplay, parecord)
# Run after scripts/setup --with-test-servers.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build -j"$(nproc)" --target zorva-helper echo_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 bench/echo.py "$work"
