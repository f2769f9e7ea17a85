#!/usr/bin/env bash
# Builds what a client writer builds from this tree, as C11 with every
# warning an error, through pkg-config against the build tree
# (ktzclient-uninstalled.pc): the two examples of docs/client.md and the
# header's own example. Checks that docs/client.md carries the examples'
# sources as they are, and that pkg-config's version is the header's.
#
# usage: check_examples.sh BUILD_DIR SOURCE_DIR CC
set -euo pipefail
export LC_ALL=C

if [ $# -ne 3 ]; then
    echo "usage: $0 BUILD_DIR SOURCE_DIR CC" >&2
    exit 2
fi
build=$1 src=$2 cc=$3

# shellcheck source=SCRIPTDIR/../support/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/ktzclient-examples.XXXXXX")
trap 'rm -rf "$work"' EXIT
export PKG_CONFIG_PATH=$build
unset PKG_CONFIG_DISABLE_UNINSTALLED
flags=$(pkg-config --cflags --libs ktzclient) || fail "pkg-config finds no ktzclient in $build"
case "$flags" in
*"-I${src// /\\ }/include"*) ;;
*) fail "pkg-config's flags do not name the source tree's headers: $flags" ;;
esac

header=$src/include/ktzclient/ktzclient.h
major=$(awk '$2 == "KTZC_VERSION_MAJOR" { print $3 }' "$header")
minor=$(awk '$2 == "KTZC_VERSION_MINOR" { print $3 }' "$header")
patch=$(awk '$2 == "KTZC_VERSION_PATCH" { print $3 }' "$header")
[ "$(pkg-config --modversion ktzclient)" = "$major.$minor.$patch" ] ||
    fail "pkg-config's version $(pkg-config --modversion ktzclient) is not the header's $major.$minor.$patch"

# build NAME SOURCE [EXTRA_PKG]: compiles and links; an example is run once
# without arguments, which it answers with its usage (status 2).
build()
{
    local name=$1 source=$2 extra=${3:-}
    # pkg-config writes a space inside a path as "\ ": read its flags as a
    # shell reads a command line, so that such a path stays one word.
    local pc
    # shellcheck disable=SC2086
    pc=$(pkg-config --cflags --libs ktzclient $extra)
    eval "local pcflags=($pc)"
    if ! "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror "$source" -o "$work/$name" "${pcflags[@]}"; then
        fail "$name does not build"
        return
    fi
    [ "$name" != header_example ] || return 0 # it would connect to the system's daemon
    local status=0
    "$work/$name" >/dev/null 2>&1 || status=$?
    [ "$status" -eq 2 ] || fail "$name without arguments ended with status $status, expected its usage (2)"
}

examples=$src/client/examples
build poll_client "$examples/poll_client.c"
if pkg-config --exists libsystemd; then
    build sdevent_client "$examples/sdevent_client.c" libsystemd
else
    echo "note: libsystemd's pkg-config file is missing, the sd-event example is not built"
fi

# The header's example: from "A minimal client" to the next paragraph, in a main().
{
    echo '#include <ktzclient/ktzclient.h>'
    echo '#include <stdio.h>'
    echo 'int main(void)'
    echo '{'
    awk '/^ \* A minimal client/ { on = 1; next }
        on && /^ \*     / { sub(/^ \*     /, "    "); print; got = 1; next }
        on && got { exit }' "$header"
    echo '    return 0;'
    echo '}'
} >"$work/header_example.c"
grep -q ktzc_receive "$work/header_example.c" || fail "no example found in $header"
build header_example "$work/header_example.c"

# docs/client.md carries each example under a heading with its path.
for f in poll_client.c sdevent_client.c; do
    if ! awk -v want="### client/examples/$f" '
        $0 == want { found = 1; next }
        found == 1 && /^```c$/ { inside = 1; found = 2; next }
        inside && /^```$/ { exit }
        inside { print }' "$src/docs/client.md" | cmp -s - "$examples/$f"; then
        fail "docs/client.md does not carry client/examples/$f as it is"
    fi
done

finish
