#!/usr/bin/env bash
# Builds the module, the platform stand-in and the host simulator natively
# (in build/native, shared with scripts/test.sh) and runs the simulator:
# with no arguments it plays the built-in demonstration chassis. Arguments
# are passed to ktzmon-host unchanged. Missing Debian packages are installed
# first (needs root or sudo only when something is missing).
# Environment: KTZ_BUILD_ROOT, where the build directories go (default: build/).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/deps.sh
. "$root/scripts/lib/deps.sh"
ktz_ensure_build_deps

dir=${KTZ_BUILD_ROOT:-$root/build}/native
jobs=$(nproc 2>/dev/null || echo 2)
{
    # Later builds re-run the configuration by themselves when it changed.
    [ -f "$dir/CMakeCache.txt" ] || cmake -S "$root" -B "$dir"
    cmake --build "$dir" -j"$jobs" --target ktzmon ktzplatform ktzmon-host
} >&2
exec "$dir/host/ktzmon-host" "$@"
