#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks what lands there: the
# library with its two symlinks, the public headers, and a pkg-config file
# that points into that prefix. A C and a C++ translation unit are then
# compiled against the installed headers with the flags pkg-config gives, to
# prove the headers stand on their own.
#
# usage: check_install.sh BUILD_DIR SOURCE_DIR LIBDIR INCLUDEDIR CC CXX
set -euo pipefail
export LC_ALL=C

if [ $# -ne 6 ]; then
    echo "usage: $0 BUILD_DIR SOURCE_DIR LIBDIR INCLUDEDIR CC CXX" >&2
    exit 2
fi
build=$1 src=$2 libdir=$3 incdir=$4 cc=$5 cxx=$6

failures=0
fail()
{
    echo "FAIL: $*"
    failures=$((failures + 1))
}

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
# ---- library and symlinks ---------------------------------------------------------------
if [ -f "$lib/libktzmon.so.1.0.0" ] && [ ! -L "$lib/libktzmon.so.1.0.0" ]; then
    echo "installed: $libdir/libktzmon.so.1.0.0"
else
    fail "$libdir/libktzmon.so.1.0.0 is missing or not a regular file"
fi
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
pc=$lib/pkgconfig/ktzmon.pc
if [ ! -f "$pc" ]; then
    fail "$libdir/pkgconfig/ktzmon.pc is missing"
else
    echo "installed: $libdir/pkgconfig/ktzmon.pc"
    export PKG_CONFIG_PATH=$lib/pkgconfig PKG_CONFIG_LIBDIR=$lib/pkgconfig
    cflags=$(pkg-config --cflags ktzmon) || fail "pkg-config --cflags ktzmon failed"
    libs=$(pkg-config --libs ktzmon) || fail "pkg-config --libs ktzmon failed"
    version=$(pkg-config --modversion ktzmon) || fail "pkg-config --modversion ktzmon failed"
    [ "$version" = "1.0.0" ] || fail "pkg-config version is '$version', expected 1.0.0"
    # The paths pkg-config hands out must lead into this prefix, whatever
    # prefix the build was configured with.
    incpath=$(sed -n 's/.*-I\([^ ]*\).*/\1/p' <<<"$cflags")
    libpath=$(sed -n 's/.*-L\([^ ]*\).*/\1/p' <<<"$libs")
    if [ -z "$incpath" ] || [ "$(realpath -m "$incpath")" != "$(realpath "$prefix/$incdir")" ]; then
        fail "pkg-config --cflags gives '$cflags', not the installed include directory $prefix/$incdir"
    fi
    if [ -z "$libpath" ] || [ "$(realpath -m "$libpath")" != "$(realpath "$lib")" ]; then
        fail "pkg-config --libs gives '$libs', not the installed library directory $lib"
    fi
    grep -qw -- '-lktzmon' <<<"$libs" || fail "pkg-config --libs gives '$libs', without -lktzmon"

    # ---- a consumer compiles against the installed headers alone -------------------------------
    if [ -n "$incpath" ]; then
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
fi

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
