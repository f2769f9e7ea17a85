#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks libktzclient there: the
# library with its soname and symlinks, exporting only ktzc_ functions; the
# one header, standing alone; a pkg-config file pointing into that prefix,
# with the library's version. A C program (and the same file as C++) is then
# built against the installed header with the flags pkg-config gives, linked
# and run: it must find no daemon at a socket path that does not exist and
# say so through the error interface.
#
# usage: check_client_install.sh BUILD_DIR LIBDIR CC CXX NM
set -euo pipefail
export LC_ALL=C

if [ $# -ne 5 ]; then
    echo "usage: $0 BUILD_DIR LIBDIR CC CXX NM" >&2
    exit 2
fi
build=$1 libdir=$2 cc=$3 cxx=$4 nm=$5

failures=0
fail()
{
    echo "FAIL: $*"
    failures=$((failures + 1))
}

prefix=$(mktemp -d "${TMPDIR:-/tmp}/ktzclient-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
if ! cmake --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1; then
    cat "$prefix/install.log"
    echo "FAIL: cmake --install failed"
    exit 1
fi
lib=$prefix/$libdir

[ -f "$lib/libktzclient.so.2.0.0" ] && [ ! -L "$lib/libktzclient.so.2.0.0" ] ||
    fail "$libdir/libktzclient.so.2.0.0 is missing or not a regular file"
[ "$(readlink "$lib/libktzclient.so.2" 2>/dev/null)" = libktzclient.so.2.0.0 ] ||
    fail "$libdir/libktzclient.so.2 does not point to libktzclient.so.2.0.0"
[ "$(readlink "$lib/libktzclient.so" 2>/dev/null)" = libktzclient.so.2 ] ||
    fail "$libdir/libktzclient.so does not point to libktzclient.so.2"
soname=$(objdump -p "$lib/libktzclient.so.2.0.0" 2>/dev/null | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libktzclient.so.2 ] || fail "soname is '$soname', expected libktzclient.so.2"
others=$("$nm" -D --defined-only "$lib/libktzclient.so.2.0.0" | awk '{ print $3 }' |
    grep -v -e '^ktzc_' -e '^KTZCLIENT_2$' || true)
[ -z "$others" ] || fail "exports beyond the ktzc_ interface: $(echo $others)"

pc=$lib/pkgconfig/ktzclient.pc
[ -f "$pc" ] || fail "$libdir/pkgconfig/ktzclient.pc is missing"
export PKG_CONFIG_PATH=$lib/pkgconfig PKG_CONFIG_LIBDIR=$lib/pkgconfig
cflags=$(pkg-config --cflags ktzclient) || fail "pkg-config --cflags ktzclient failed"
libs=$(pkg-config --libs ktzclient) || fail "pkg-config --libs ktzclient failed"

version=$(pkg-config --modversion ktzclient) || fail "pkg-config --modversion ktzclient failed"
[ "$version" = "2.0.0" ] || fail "pkg-config says version '$version', expected 2.0.0"

cat >"$prefix/consumer.c" <<'EOF'
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
cp "$prefix/consumer.c" "$prefix/consumer.cpp"
# shellcheck disable=SC2086
if "$cc" -std=c99 -Wall -Werror -pedantic $cflags "$prefix/consumer.c" -o "$prefix/consumer_c" $libs; then
    LD_LIBRARY_PATH=$lib "$prefix/consumer_c" || fail "the C consumer ran with status $?"
else
    fail "the installed header does not build as C"
fi
# shellcheck disable=SC2086
"$cxx" -std=c++17 -Wall -Werror $cflags "$prefix/consumer.cpp" -o "$prefix/consumer_cpp" $libs ||
    fail "the installed header does not build as C++"

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
