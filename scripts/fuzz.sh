#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a while: the
# chassis log event target for the given time, every other target for a few
# seconds (a smoke run; docs/fuzzing.md has the long campaign).
# Usage: scripts/fuzz.sh [seconds] (default 30).
# BUILD_DIR overrides the build directory (default: build-fuzz in the
# repository). Exits non-zero when the build fails or a target finds a
# crash, a leak or a sanitizer report.
set -eu

seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}

# Targets after the first, each run for this many seconds.
short_seconds=${KTZ_FUZZ_SHORT_SECONDS:-5}
targets="
logevent
requests
cfgvalue
ini
answers
"

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz.sh: clang++ not found (apt-get install clang libclang-rt-14-dev)" >&2
    exit 2
fi

cmake -S "$root/fuzz" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
for t in $targets; do
    cmake --build "$build" -j2 --target "fuzz_$t"
done

# New inputs go to a corpus in the build directory; the seeds stay untouched.
time_for=$seconds
for t in $targets; do
    corpus="$build/corpus/$t"
    mkdir -p "$corpus"
    echo "fuzz.sh: fuzz_$t for ${time_for}s"
    "$build/fuzz_$t" -max_total_time="$time_for" -max_len=4096 -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$build/fuzz_$t-" "$corpus" "$root/fuzz/corpus/$t"
    time_for=$short_seconds
done
