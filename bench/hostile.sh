#!/usr/bin/env bash
# The hostile-host test in its long form: rounds of malformed, huge, chopped
# and interleaved lines, session bursts and 10 s pauses in reading, for
# SECONDS (default 30 minutes) on a private PulseAudio server.
#
#   bash bench/hostile.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target hostile_tests zorva-helper -j"$(nproc)" >/dev/null
ZORVA_HOSTILE_SECONDS="${1:-1800}" exec build/tests/hostile_tests
