#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks what lands there: the
# module library with its two symlinks, its public headers, and a pkg-config
# file that points into that prefix; a C and a C++ translation unit are then
# compiled against the installed headers with the flags pkg-config gives, to
# prove the headers stand on their own. Then libktzclient in the same
# prefix: its soname and symlinks, exporting only ktzc_ functions, its
# pkg-config version, and a C program (and the same file as C++) built
# against the installed header, linked and run: it must find no daemon at a
# socket path that does not exist and say so through the error interface.
#
# usage: check_install.sh BUILD_DIR SOURCE_DIR LIBDIR INCLUDEDIR CC CXX NM
set -euo pipefail
export LC_ALL=C

if [ $# -ne 7 ]; then
    echo "usage: $0 BUILD_DIR SOURCE_DIR LIBDIR INCLUDEDIR CC CXX NM" >&2
    exit 2
fi
build=$1 src=$2 libdir=$3 incdir=$4 cc=$5 cxx=$6 nm=$7

# shellcheck source=SCRIPTDIR/../support/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

prefix=$(mktemp -d "${TMPDIR:-/tmp}/ktzmon-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1 || {
    cat "$prefix.log"
    rm -f "$prefix.log"
    echo "FAIL: cmake --install failed"
    exit 1
}
rm -f "$prefix.log"

lib=$prefix/$libdir
# ---- libraries and symlinks -----------------------------------------------------------
check_file()
{
    if [ -f "$lib/$1" ] && [ ! -L "$lib/$1" ]; then
        echo "installed: $libdir/$1"
    else
        fail "$libdir/$1 is missing or not a regular file"
    fi
}
check_link()
{
    local link=$1 target=$2
    if [ ! -L "$lib/$link" ]; then
        fail "$libdir/$link is not a symlink"
    elif [ "$(readlink "$lib/$link")" != "$target" ]; then
        fail "$libdir/$link points to '$(readlink "$lib/$link")', expected '$target'"
    elif [ ! -e "$lib/$link" ]; then
        fail "$libdir/$link dangles"
    else
        echo "installed: $libdir/$link -> $target"
    fi
}
check_file libktzmon.so.1.0.0
check_link libktzmon.so.1 libktzmon.so.1.0.0
check_link libktzmon.so libktzmon.so.1

# ---- headers ------------------------------------------------------------------------------
want=$(cd "$src/include/ktzmon" && ls -1 ./*.h | sed 's|^\./||' | sort)
have=$(cd "$prefix/$incdir/ktzmon" 2>/dev/null && ls -1 ./*.h 2>/dev/null | sed 's|^\./||' | sort || true)
if [ -z "$want" ]; then
    fail "no public headers in $src/include/ktzmon"
elif [ "$want" != "$have" ]; then
    fail "installed headers differ from include/ktzmon: want [$(echo $want)] have [$(echo $have)]"
else
    for h in $want; do
        cmp -s "$src/include/ktzmon/$h" "$prefix/$incdir/ktzmon/$h" || fail "$incdir/ktzmon/$h differs from its source"
    done
    echo "installed: $incdir/ktzmon/{$(echo $want | tr ' ' ,)}"
fi

# ---- pkg-config ---------------------------------------------------------------------------------
export PKG_CONFIG_PATH=$lib/pkgconfig PKG_CONFIG_LIBDIR=$lib/pkgconfig
# NAME's pkg-config file gives version WANT and flags (left in cflags, libs
# and incpath) whose paths lead into this prefix, whatever prefix the build
# was configured with; false when the file is missing.
check_pc()
{
    local name=$1 want=$2 version libpath
    if [ ! -f "$lib/pkgconfig/$name.pc" ]; then
        fail "$libdir/pkgconfig/$name.pc is missing"
        return 1
    fi
    echo "installed: $libdir/pkgconfig/$name.pc"
    cflags=$(pkg-config --cflags "$name") || fail "pkg-config --cflags $name failed"
    libs=$(pkg-config --libs "$name") || fail "pkg-config --libs $name failed"
    version=$(pkg-config --modversion "$name") || fail "pkg-config --modversion $name failed"
    [ "$version" = "$want" ] || fail "pkg-config version of $name is '$version', expected $want"
    incpath=$(sed -n 's/.*-I\([^ ]*\).*/\1/p' <<<"$cflags")
    libpath=$(sed -n 's/.*-L\([^ ]*\).*/\1/p' <<<"$libs")
    if [ -z "$incpath" ] || [ "$(realpath -m "$incpath")" != "$(realpath "$prefix/$incdir")" ]; then
        fail "pkg-config --cflags $name gives '$cflags', not the installed include directory $prefix/$incdir"
    fi
    if [ -z "$libpath" ] || [ "$(realpath -m "$libpath")" != "$(realpath "$lib")" ]; then
        fail "pkg-config --libs $name gives '$libs', not the installed library directory $lib"
    fi
    grep -qw -- "-l$name" <<<"$libs" || fail "pkg-config --libs $name gives '$libs', without -l$name"
}

# ---- a consumer compiles against the installed headers alone -------------------------------
if check_pc ktzmon 1.0.0 && [ -n "$incpath" ]; then
    cat >"$prefix/consumer.c" <<'EOF'
#include <ktzmon/ktzmon.h>
#include <ktzmon/protocol.h>
KTZMonDispatchFn entry = &KTZMON_RCESPDispatch;
EOF
    cp "$prefix/consumer.c" "$prefix/consumer.cpp"
    # shellcheck disable=SC2086
    "$cc" -std=c99 -Wall -Werror -pedantic $cflags -c "$prefix/consumer.c" -o "$prefix/consumer_c.o" ||
        fail "the installed headers do not compile as C"
    # shellcheck disable=SC2086
    "$cxx" -std=c++17 -Wall -Werror $cflags -c "$prefix/consumer.cpp" -o "$prefix/consumer_cpp.o" ||
        fail "the installed headers do not compile as C++"
fi

# ---- libktzclient --------------------------------------------------------------------------
check_file libktzclient.so.2.0.0
check_link libktzclient.so.2 libktzclient.so.2.0.0
check_link libktzclient.so libktzclient.so.2
soname=$(objdump -p "$lib/libktzclient.so.2.0.0" 2>/dev/null | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libktzclient.so.2 ] || fail "soname is '$soname', expected libktzclient.so.2"
others=$("$nm" -D --defined-only "$lib/libktzclient.so.2.0.0" | awk '{ print $3 }' |
    grep -v -e '^ktzc_' -e '^KTZCLIENT_2$' || true)
[ -z "$others" ] || fail "exports beyond the ktzc_ interface: $(echo $others)"
check_pc ktzclient 2.0.0 || true

cat >"$prefix/client.c" <<'EOF'
#include <ktzclient/ktzclient.h>
#include <stdio.h>
#include <string.h>

int main(void)
{
    if (ktzc_version() != KTZC_VERSION)
        return 12;
    ktzc_options o;
    ktzc_options_init(&o, sizeof o);
    o.caps = KTZC_CAP_BASE | KTZC_CAP_LOG_EVENTS;
    ktzc_client* c = ktzc_new(&o);
    if (c == NULL)
        return 10;
    ktzc_error e = ktzc_connect_unix(c, "/nonexistent/ktzmond.sock");
    int ok = e == KTZC_ERR_CONNECT && strstr(ktzc_error_text(c), "/nonexistent/ktzmond.sock") != NULL &&
             strcmp(ktzc_error_name(e), "cannot connect") == 0 && ktzc_fd(c) == -1;
    printf("%s: %s\n", ktzc_error_name(e), ktzc_error_text(c));
    ktzc_free(c);
    return ok ? 0 : 11;
}
EOF
cp "$prefix/client.c" "$prefix/client.cpp"
# shellcheck disable=SC2086
if "$cc" -std=c99 -Wall -Werror -pedantic $cflags "$prefix/client.c" -o "$prefix/client_c" $libs; then
    LD_LIBRARY_PATH=$lib "$prefix/client_c" || fail "the C consumer ran with status $?"
else
    fail "the installed header does not build as C"
fi
# shellcheck disable=SC2086
"$cxx" -std=c++17 -Wall -Werror $cflags "$prefix/client.cpp" -o "$prefix/client_cpp" $libs ||
    fail "the installed header does not build as C++"

finish
