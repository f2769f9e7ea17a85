#!/usr/bin/env bash
# Builds the Debian packages: a build at -O2 -g with the install prefix /usr
# in build/package (or, with --ppc, the PowerPC cross build of the module in
# build/package-ppc), then cpack, which strips the installed files. -O2 -g is
# how Debian builds its own packages, and the test command's native and
# PowerPC builds use the same flags, so here the compiler cache finds most
# objects already made. Prints the path of every .deb it made, one a
# line, on standard output; the build's own output goes to standard error.
#
# usage: scripts/package.sh [--ppc]
# Environment: KTZ_BUILD_ROOT (default: build/), KTZ_JOBS (default: 2).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/deps.sh
. "$root/scripts/lib/deps.sh"

ppc=0
case "${1:-}" in
"") ;;
--ppc) ppc=1 ;;
*)
    echo "usage: scripts/package.sh [--ppc]" >&2
    exit 2
    ;;
esac

ktz_ensure_build_deps >&2

build_root=${KTZ_BUILD_ROOT:-$root/build}
jobs=${KTZ_JOBS:-2}
args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF
    -DKTZMON_BUILD_TREE_MODULE=OFF)
if [ "$ppc" -eq 1 ]; then
    dir=$build_root/package-ppc
    args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-powerpc.cmake"
        -DCMAKE_INSTALL_LIBDIR=lib/powerpc-linux-gnu -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON)
    # Only the module is packaged for the chassis.
    targets=(--target ktzmon)
else
    dir=$build_root/package
    targets=()
fi

cmake -S "$root" -B "$dir" "${args[@]}" >&2
cmake --build "$dir" -j"$jobs" "${targets[@]}" >&2
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB --config CPackConfig.cmake) >&2
find "$dir" -maxdepth 1 -name '*.deb' | sort
