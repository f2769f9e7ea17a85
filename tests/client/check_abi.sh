#!/usr/bin/env bash
# Compares the ABI of the libktzclient just built with the one recorded in
# client/abi/libktzclient.so.2.abi (abidiff from abigail-tools): the exported
# functions and the structures of the public header (the opaque handle's
# inside is the library's own: client/abi/ktzclient.abignore). Any change
# fails: one that breaks programs built against the recorded header (a
# function removed or changed, a member moved, resized or retyped) must not
# happen under this soname; one that keeps them working (a function added, a
# member added at the end of a structure that carries its size) is recorded
# with --update once the report has been read, so that the record keeps up.
#
# usage: check_abi.sh [--update] LIBRARY SOURCE_DIR
set -uo pipefail
export LC_ALL=C

update=0
if [ "${1:-}" = --update ]; then
    update=1
    shift
fi
if [ $# -ne 2 ]; then
    echo "usage: $0 [--update] LIBRARY SOURCE_DIR" >&2
    exit 2
fi
lib=$1 src=$2
baseline=$src/client/abi/libktzclient.so.2.abi
ignore=$src/client/abi/ktzclient.abignore
headers=$src/include/ktzclient

if [ $update -eq 1 ]; then
    abidw --headers-dir "$headers" --drop-private-types --exported-interfaces-only --drop-undefined-syms \
        --no-corpus-path --no-comp-dir-path --short-locs --suppressions "$ignore" --out-file "$baseline" "$lib" ||
        exit 1
    echo "recorded the ABI of $lib in $baseline"
    exit 0
fi

abidiff --headers-dir2 "$headers" --drop-private-types --exported-interfaces-only --suppressions "$ignore" \
    --fail-no-debug-info "$baseline" "$lib"
status=$?
# abidiff's status is a bit set: 1 error, 2 usage error, 4 a change, 8 an incompatible change.
if [ $((status & 3)) -ne 0 ]; then
    echo "FAIL: abidiff could not compare (status $status)"
    exit 1
fi
if [ $((status & 8)) -ne 0 ]; then
    echo "FAIL: an incompatible ABI change against $baseline (above): programs built against"
    echo "libktzclient.so.2 would break. Undo it, or make a new major version with its own soname."
    exit 1
fi
if [ $((status & 4)) -ne 0 ]; then
    echo "FAIL: the ABI changed (above). If every change is a function added or a member added at the"
    echo "end of a structure that carries its size, record it with:"
    echo "  $0 --update $lib $src"
    echo "Anything else breaks programs built against libktzclient.so.2: undo it."
    exit 1
fi
echo "the ABI is the one recorded in $baseline"
