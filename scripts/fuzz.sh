#!/bin/sh
# Builds the libFuzzer targets with clang and runs them one after another.
# Usage: scripts/fuzz.sh [seconds] [target...]
#   seconds  the whole run, shared equally between the targets (default 30)
#   target   logevent (the chassis log event listener), scenario (the
#            ktzmon-host scenario reader), session (ktzmond's per-connection
#            protocol state), inbound (what a welcomed client sends
#            ktzmond), control (ktzmond's control request lines),
#            requests (the host's requests through the
#            module's boundary), cfgvalue (the KTZ setting's value text), ini
#            (the module's INI file), answers (the platform's sensor
#            answers), redfish (ktzmon-redfish's requests through its HTTP
#            parser and router); default: all of them
# BUILD_DIR overrides the build directory (default: build-fuzz in the
# repository). New inputs go to BUILD_DIR/corpus/TARGET; the seeds in
# fuzz/corpus/TARGET stay untouched. Exits non-zero when the build fails or a
# target finds a crash, a hang, a leak or a sanitizer report.
set -eu

all_targets="logevent scenario session inbound control requests cfgvalue ini answers redfish fru"
seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=${*:-$all_targets}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}

case $seconds in
'' | *[!0-9]*)
    echo "fuzz.sh: seconds must be a whole number, not '$seconds'" >&2
    exit 2
    ;;
esac
count=0
for t in $targets; do
    case " $all_targets " in
    *" $t "*) count=$((count + 1)) ;;
    *)
        echo "fuzz.sh: unknown target '$t' (one of: $all_targets)" >&2
        exit 2
        ;;
    esac
done
each=$((seconds / count))
[ "$each" -ge 1 ] || each=1

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz.sh: clang++ not found (apt-get install clang libclang-rt-14-dev)" >&2
    exit 2
fi

cmake -S "$root/fuzz" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
for t in $targets; do
    cmake --build "$build" -j2 --target "fuzz_$t"
done

for t in $targets; do
    corpus="$build/corpus/$t"
    mkdir -p "$corpus"
    echo "fuzz.sh: fuzz_$t for $each seconds"
    # Scenario texts are small; a larger -max_len only slows the search down.
    max_len=4096
    [ "$t" = scenario ] && max_len=16384
    # Requests: past the 16 KiB header limit.
    [ "$t" = redfish ] && max_len=20480
    # FRU records: 256 bytes are read, a few more show that the rest is not.
    [ "$t" = fru ] && max_len=320
    "$build/fuzz_$t" -max_total_time="$each" -max_len="$max_len" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$build/$t-" "$corpus" "$root/fuzz/corpus/$t"
done
