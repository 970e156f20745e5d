#!/usr/bin/env bash
# A long live session on a private PulseAudio server, speech looped on both
# streams, then stop (default 30 minutes; needs scripts/setup
# --with-test-servers and a build in build/). Prints sampled memory, the
# drift of final times against the wall clock, CPU per second of call, and
# whether every line was valid and none an error; exits non-zero otherwise.
#
#   bash bench/soak.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target capture_bench zorva-helper -j"$(nproc)" >/dev/null
exec build/bench/capture_bench soak "${1:-1800}"
