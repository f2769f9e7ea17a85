#!/bin/sh
# Builds the libFuzzer targets with clang and runs the chassis log event
# target and ktzmond's session target for a while each. Usage: scripts/fuzz.sh [seconds] (default 30).
# BUILD_DIR overrides the build directory (default: build-fuzz in the
# repository). Exits non-zero when the build fails or the target finds a
# crash, a leak or a sanitizer report.
set -eu

seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz.sh: clang++ not found (apt-get install clang libclang-rt-14-dev)" >&2
    exit 2
fi

cmake -S "$root/fuzz" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 --target fuzz_logevent

# New inputs go to a corpus in the build directory; the seeds stay untouched.
corpus="$build/corpus/logevent"
mkdir -p "$corpus"
"$build/fuzz_logevent" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/" "$corpus" "$root/fuzz/corpus/logevent"

# ktzmond's per-connection protocol state machine.
cmake --build "$build" -j2 --target fuzz_session
mkdir -p "$build/corpus/session"
"$build/fuzz_session" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/session-" "$build/corpus/session" "$root/fuzz/corpus/session"
