#!/usr/bin/env bash
# Checks the dynamic interface of the built module library:
#  - it exports exactly the names of expected_symbols.txt, each with its kind
#    (function or data), and nothing else;
#  - its soname is libktzmon.so.1;
#  - it needs nothing but the C/C++ runtime and libktzplatform.so.1.
# Uses the binutils of the target (nm and readelf as CMake found them), so it
# checks the cross-built library too.
#
# usage: check_symbols.sh NM READELF LIBRARY EXPECTED_LIST [SANITIZER]
#   SANITIZER: address or thread when the library was built with one; its
#   runtime is then an allowed dependency and its instrumentation names are
#   not counted as exports.
set -euo pipefail
export LC_ALL=C

if [ $# -lt 4 ] || [ $# -gt 5 ]; then
    echo "usage: $0 NM READELF LIBRARY EXPECTED_LIST [address|thread]" >&2
    exit 2
fi
nm=$1 readelf=$2 lib=$3 expected=$4 sanitizer=${5:-}
extra_needed=()
instrumentation='^$'
case "$sanitizer" in
"") ;;
# AddressSanitizer adds an ODR indicator beside every exported global.
address)
    extra_needed=(libasan.so.8 libubsan.so.1)
    instrumentation='^__odr_asan[._]'
    ;;
thread) extra_needed=(libtsan.so.2) ;;
*)
    echo "unknown sanitizer: $sanitizer" >&2
    exit 2
    ;;
esac

# shellcheck source=SCRIPTDIR/../support/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

[ -f "$lib" ] || {
    echo "FAIL: no library at $lib"
    exit 1
}
echo "library: $lib"

# ---- exported names -------------------------------------------------------------
# Symbols the linker defines in every shared object; they are not the module's.
linker_names=" _init _fini _edata _end __bss_start _etext __end__ __bss_start__ __bss_end__ _bss_end__ "

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# nm lines: "ADDRESS TYPE NAME[@VERSION]".
"$nm" -D --defined-only "$lib" >"$tmp/nm.raw"
awk '{ name = $NF; sub(/@.*/, "", name); print name, $(NF-1) }' "$tmp/nm.raw" |
    while read -r name type; do
        case "$linker_names" in *" $name "*) continue ;; esac
        [[ "$name" =~ $instrumentation ]] && continue
        echo "$name $type"
    done | sort -u >"$tmp/actual"

grep -Ev '^[[:space:]]*(#|$)' "$expected" | awk '{ print $2, $1 }' | sort -u >"$tmp/expected"

cut -d' ' -f1 "$tmp/actual" | sort -u >"$tmp/actual.names"
cut -d' ' -f1 "$tmp/expected" | sort -u >"$tmp/expected.names"

missing=$(comm -13 "$tmp/actual.names" "$tmp/expected.names")
extra=$(comm -23 "$tmp/actual.names" "$tmp/expected.names")
if [ -n "$missing" ]; then
    fail "$(wc -l <<<"$missing") expected name(s) not exported:"
    sed 's/^/  missing: /' <<<"$missing"
fi
if [ -n "$extra" ]; then
    fail "$(wc -l <<<"$extra") name(s) exported beyond the list:"
    # Show the demangled form too: a stray C++ name usually points at its cause.
    while read -r name; do
        echo "  extra: $name $(awk -v n="$name" '$1 == n { print $2; exit }' "$tmp/actual")" \
            "$(c++filt "$name" 2>/dev/null | grep -v "^$name\$" || true)"
    done <<<"$extra"
fi

# Kinds: functions are text (T, or i for an indirect function), data is an
# initialised, zeroed, small or read-only object (D, B, G, S, R).
wrong_kind=$(join "$tmp/expected" "$tmp/actual" | awk '
    $2 == "func" && $3 !~ /^[Ti]$/ { print $1 " should be a function but nm shows type " $3 }
    $2 == "data" && $3 !~ /^[DBGSR]$/ { print $1 " should be data but nm shows type " $3 }')
if [ -n "$wrong_kind" ]; then
    while read -r line; do fail "$line"; done <<<"$wrong_kind"
fi

echo "exported: $(wc -l <"$tmp/actual.names") name(s), expected: $(wc -l <"$tmp/expected.names")"

# ---- soname and needed libraries ------------------------------------------------------
"$readelf" -d "$lib" >"$tmp/dynamic"
soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p' "$tmp/dynamic")
if [ "$soname" != "libktzmon.so.1" ]; then
    fail "soname is '${soname}', expected 'libktzmon.so.1'"
else
    echo "soname: $soname"
fi

allowed_needed=(libc.so.6 libstdc++.so.6 libm.so.6 libgcc_s.so.1 libatomic.so.1 libpthread.so.0 libdl.so.2
    libktzplatform.so.1 "${extra_needed[@]}")
while read -r needed; do
    [ -n "$needed" ] || continue
    ok=0
    case "$needed" in
    ld-linux*.so.* | ld.so.* | ld64.so.*) ok=1 ;;
    *)
        for a in "${allowed_needed[@]}"; do
            [ "$needed" = "$a" ] && ok=1
        done
        ;;
    esac
    if [ $ok -eq 1 ]; then
        echo "needed: $needed"
    else
        fail "needs $needed, which is neither the C/C++ runtime nor libktzplatform.so.1"
    fi
done < <(sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p' "$tmp/dynamic")
grep -q '(NEEDED).*\[libktzplatform\.so\.1\]' "$tmp/dynamic" ||
    fail "does not record libktzplatform.so.1 as needed"

finish
