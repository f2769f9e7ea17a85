#!/usr/bin/env bash
# shellcheck disable=SC2016 # checks hand eval their commands in single quotes
# Builds the Debian packages (scripts/package.sh) and checks them: names,
# versions and dependencies, the files each holds, stripped binaries without
# RPATH or build-tree paths, lintian without errors, the systemd units against
# the unpacked packages, and the packaged daemon and client working together
# from a scratch root. The PowerPC module package too when the cross compiler
# is there.
#
# Prints one "ok"/"FAIL" line per check and last "N passed, M failed"; exits
# non-zero when anything failed.
#
# usage: tests/packaging/test_packages.sh
# Environment: KTZ_BUILD_ROOT (default: build/).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_root=${KTZ_BUILD_ROOT:-$root/build}
version=$(sed -nE 's/^project\(ktzmon VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
debver="$version-1"
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

passed=0
failed=0
check()
{
    local what=$1
    shift
    # Without pipefail: in "producer | grep -q" grep may exit at its first
    # match and the producer die of SIGPIPE, which is no failure.
    if (set +o pipefail && "$@"); then
        passed=$((passed + 1))
        echo "ok    $what"
    else
        failed=$((failed + 1))
        echo "FAIL  $what"
    fi
}

# shellcheck source=../../scripts/lib/tmp.sh
. "$root/scripts/lib/tmp.sh"
scratch=$(ktz_private_tmpdir ktzpkg)
daemon_pid=
cleanup()
{
    if [ -n "${exporter_pid:-}" ]; then
        kill -KILL "$exporter_pid" 2>/dev/null
        wait "$exporter_pid" 2>/dev/null
    fi
    if [ -n "$daemon_pid" ]; then
        kill -KILL "$daemon_pid" 2>/dev/null
        wait "$daemon_pid" 2>/dev/null
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

# ---- helpers ----------------------------------------------------------------------------
deb_of() { grep -E "/$1_${debver}_$2\.deb\$" <<<"$debs_all" | head -n 1; }
field() { dpkg-deb -f "$1" "$2"; }
contents() { dpkg-deb --contents "$1" | awk '{print $6}' | sed 's,^\./,/,; s,/$,,'; }
has_file() { contents "$1" | grep -qxF "$2"; }
lacks_file() { ! contents "$1" | grep -qxF "$2"; }
lacks_match() { ! contents "$1" | grep -qE "$2"; }
depends_has() { field "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/ *$//' | grep -qxF "$2"; }
equals() { [ "$1" = "$2" ]; }

# Every ELF file of an unpacked tree is stripped and has no RPATH/RUNPATH,
# and none names the build directory (a baked-in build-tree path).
elf_clean()
{
    local tree=$1 build=$2 f bad=0
    while IFS= read -r -d '' f; do
        file -b "$f" | grep -q '^ELF' || continue
        if ! file -b "$f" | grep -q ', stripped'; then
            echo "      not stripped: ${f#"$tree"}"
            bad=1
        fi
        if readelf -d "$f" | grep -qE '\((RPATH|RUNPATH)\)'; then
            echo "      has an RPATH: ${f#"$tree"}"
            bad=1
        fi
        if grep -qF "$build" "$f"; then
            echo "      names the build tree: ${f#"$tree"}"
            bad=1
        fi
    done < <(find "$tree" -type f -print0)
    [ "$bad" -eq 0 ]
}

# wait_for CMD... : CMD succeeds within 15 seconds (at most 300 tries).
wait_for()
{
    local i
    for ((i = 0; i < 300; i++)); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}

# wait_exit PID SECONDS: the status of PID once it exited, 255 if it did not.
wait_exit()
{
    local pid=$1 i
    for ((i = 0; i < $2 * 20; i++)); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            return
        fi
        sleep 0.05
    done
    return 255
}

# ---- native packages ---------------------------------------------------------------------
echo "== building the packages (scripts/package.sh)"
start=$SECONDS
if ! debs_all=$(KTZ_BUILD_ROOT=$build_root "$root/scripts/package.sh" 2>"$scratch/package.log"); then
    tail -n 40 "$scratch/package.log"
    check "scripts/package.sh builds the packages" false
    echo "$passed passed, $failed failed"
    exit 1
fi
echo "   built in $((SECONDS - start)) s:"
while IFS= read -r deb; do echo "   $deb"; done <<<"$debs_all"
build_dir=$build_root/package

exporter=0
[ -x "$build_dir/exporter/ktzmon-exporter" ] && exporter=1

mod=$(deb_of libktzmon1 "$arch")
moddev=$(deb_of libktzmon-dev "$arch")
plat=$(deb_of libktzplatform1 "$arch")
cli=$(deb_of libktzclient2 "$arch")
clidev=$(deb_of libktzclient-dev "$arch")
tools=$(deb_of ktzmon-tools "$arch")
check "six packages, named by version and architecture" \
    test -n "$mod" -a -n "$moddev" -a -n "$plat" -a -n "$cli" -a -n "$clidev" -a -n "$tools"
check "no other packages" equals "$(wc -l <<<"$debs_all")" 6
if [ -z "$mod" ] || [ -z "$moddev" ] || [ -z "$plat" ] || [ -z "$cli" ] || [ -z "$clidev" ] || [ -z "$tools" ]; then
    echo "$passed passed, $failed failed"
    exit 1
fi

lib=/usr/lib/$multiarch
for deb in "$mod" "$moddev" "$plat" "$cli" "$clidev" "$tools"; do
    pkg=$(field "$deb" Package)
    check "$pkg: version $debver" equals "$(field "$deb" Version)" "$debver"
    check "$pkg: architecture $arch" equals "$(field "$deb" Architecture)" "$arch"
    check "$pkg: maintainer, section and priority" \
        test -n "$(field "$deb" Maintainer)" -a -n "$(field "$deb" Section)" -a "$(field "$deb" Priority)" = optional
    check "$pkg: copyright and changelog.Debian.gz" \
        eval 'has_file "$deb" /usr/share/doc/$pkg/copyright && has_file "$deb" /usr/share/doc/$pkg/changelog.Debian.gz'
done

check "libktzmon1: the module under its soname" \
    eval 'has_file "$mod" $lib/libktzmon.so.1 && has_file "$mod" $lib/libktzmon.so.1.0.0'
check "libktzmon1: no development files" eval 'lacks_file "$mod" $lib/libktzmon.so && lacks_match "$mod" "^/usr/include"'
check "libktzmon1: shlibs and ldconfig trigger" \
    eval 'dpkg-deb --ctrl-tarfile "$mod" | tar -xO ./shlibs | grep -qx "libktzmon 1 libktzmon1 (>= $debver)" &&
          dpkg-deb --ctrl-tarfile "$mod" | tar -xO ./triggers | grep -qx "activate-noawait ldconfig"'
# The trigger alone runs ldconfig: no maintainer script calls it as well.
for deb in "$mod" "$plat" "$cli"; do
    check "$(field "$deb" Package): the ldconfig trigger and no maintainer scripts" \
        eval 'dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./triggers | grep -qx "activate-noawait ldconfig" &&
              ! dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qE "/(pre|post)(inst|rm)\$"'
done
check "libktzmon1: depends on the platform of its version" depends_has "$mod" "libktzplatform1 (= $debver)"
check "libktzmon1: depends on the C library" eval 'field "$mod" Depends | grep -q "libc6 (>= "'
check "libktzmon-dev: headers, link and pkg-config" \
    eval 'has_file "$moddev" /usr/include/ktzmon/ktzmon.h && has_file "$moddev" $lib/libktzmon.so &&
          has_file "$moddev" $lib/pkgconfig/ktzmon.pc'
check "libktzmon-dev: depends on libktzmon1 of its version" depends_has "$moddev" "libktzmon1 (= $debver)"
check "libktzplatform1: the library, no link" \
    eval 'has_file "$plat" $lib/libktzplatform.so.1 && lacks_file "$plat" $lib/libktzplatform.so'
check "libktzclient2: the library, no header" \
    eval 'has_file "$cli" $lib/libktzclient.so.2 && lacks_match "$cli" "^/usr/include"'
check "libktzclient-dev: header, link and pkg-config" \
    eval 'has_file "$clidev" /usr/include/ktzclient/ktzclient.h && has_file "$clidev" $lib/libktzclient.so &&
          has_file "$clidev" $lib/pkgconfig/ktzclient.pc'
check "libktzclient-dev: depends on libktzclient2 of its version" depends_has "$clidev" "libktzclient2 (= $debver)"
for prog in ktzmond ktzmonctl ktzmon-watch ktzmon-host; do
    check "ktzmon-tools: /usr/bin/$prog" has_file "$tools" /usr/bin/$prog
done
check "ktzmon-tools: ktzmond.service" has_file "$tools" /lib/systemd/system/ktzmond.service
for page in man8/ktzmond.8 man8/ktzmonctl.8 man1/ktzmon-watch.1 man1/ktzmon-host.1; do
    check "ktzmon-tools: man page ${page#*/}" has_file "$tools" "/usr/share/man/$page.gz"
done
check "ktzmon-tools: /etc/ktzmon/ktzmond.conf and linux.toml are conffiles" \
    eval 'has_file "$tools" /etc/ktzmon/ktzmond.conf && has_file "$tools" /etc/ktzmon/linux.toml &&
          dpkg-deb --ctrl-tarfile "$tools" | tar -xO ./conffiles | grep -qx /etc/ktzmon/ktzmond.conf &&
          dpkg-deb --ctrl-tarfile "$tools" | tar -xO ./conffiles | grep -qx /etc/ktzmon/linux.toml'
check "ktzmon-tools: the unit reads /etc/ktzmon/ktzmond.conf, which chooses the Linux chassis" \
    eval 'dpkg-deb --fsys-tarfile "$tools" | tar -xO ./lib/systemd/system/ktzmond.service |
              grep -qx "ExecStart=/usr/bin/ktzmond --config /etc/ktzmon/ktzmond.conf" &&
          dpkg-deb --fsys-tarfile "$tools" | tar -xO ./etc/ktzmon/ktzmond.conf |
              grep -qx "chassis = \"linux=/etc/ktzmon/linux.toml\""'
check "ktzmon-tools: postinst, prerm and postrm" \
    eval 'dpkg-deb --ctrl-tarfile "$tools" | tar -t | grep -qx ./postinst &&
          dpkg-deb --ctrl-tarfile "$tools" | tar -t | grep -qx ./prerm &&
          dpkg-deb --ctrl-tarfile "$tools" | tar -t | grep -qx ./postrm'
if [ "$exporter" -eq 1 ]; then
    check "ktzmon-tools: /usr/bin/ktzmon-exporter" has_file "$tools" /usr/bin/ktzmon-exporter
    check "ktzmon-tools: ktzmon-exporter.service" has_file "$tools" /lib/systemd/system/ktzmon-exporter.service
    check "ktzmon-tools: man page ktzmon-exporter.1" has_file "$tools" /usr/share/man/man1/ktzmon-exporter.1.gz
    check "ktzmon-tools: /etc/ktzmon/ktzmon-exporter.conf is a conffile" \
        eval 'has_file "$tools" /etc/ktzmon/ktzmon-exporter.conf &&
              dpkg-deb --ctrl-tarfile "$tools" | tar -xO ./conffiles | grep -qx /etc/ktzmon/ktzmon-exporter.conf'
    check "ktzmon-tools: the alert rules in /usr/share/ktzmon" has_file "$tools" /usr/share/ktzmon/ktzmon-alerts.yml
else
    echo "      (no ktzmon-exporter in this build: its program is not checked)"
fi
if [ -x "$build_dir/redfish/ktzmon-redfish" ]; then
    for f in /usr/bin/ktzmon-redfish /lib/systemd/system/ktzmon-redfish.service /etc/ktzmon/ktzmon-redfish.conf \
        /usr/share/man/man1/ktzmon-redfish.1.gz /usr/share/ktzmon/web/index.html /usr/share/ktzmon/web/app.js \
        /usr/share/ktzmon/web/app.css /usr/share/ktzmon/web/favicon.svg; do
        check "ktzmon-tools: $f" has_file "$tools" "$f"
    done
fi
for dep in libktzmon1 libktzplatform1 libktzclient2; do
    check "ktzmon-tools: depends on $dep of its version" depends_has "$tools" "$dep (= $debver)"
done
check "ktzmon-tools: system libraries found by dpkg-shlibdeps" \
    eval 'field "$tools" Depends | grep -q "libc6 (>= " && field "$tools" Depends | grep -q "libstdc++6 (>= "'

echo "== lintian"
if lintian --fail-on error \
    "$mod" "$moddev" "$plat" "$cli" "$clidev" "$tools" >"$scratch/lintian.log" 2>&1; then
    check "lintian: no errors" true
else
    sed 's/^/      /' "$scratch/lintian.log"
    check "lintian: no errors" false
fi
for tag in no-manual-page maintscript-calls-ldconfig maintainer-script-empty; do
    check "lintian: no $tag" eval '! grep -q " $tag " "$scratch/lintian.log"'
done
grep -E "^[WE]: " "$scratch/lintian.log" | sed 's/^/      /'

# The maintainer scripts with deb-systemd-helper replaced by a recorder: a
# first install enables both units, a removal masks them, a purge forgets
# them. (Starting and stopping need a running systemd, which a build machine
# may not have: the scripts skip it there, as Debian's own do.)
echo "== maintainer scripts"
mkdir -p "$scratch/ctrl" "$scratch/stub"
dpkg-deb -e "$tools" "$scratch/ctrl"
cat >"$scratch/stub/deb-systemd-helper" <<'STUB'
#!/bin/sh
echo "$*" >>"$KTZ_HELPER_LOG"
STUB
chmod +x "$scratch/stub/deb-systemd-helper"
helper_calls()
{
    : >"$scratch/helper.log"
    KTZ_HELPER_LOG=$scratch/helper.log PATH=$scratch/stub:$PATH sh "$scratch/ctrl/$1" "${@:2}" >/dev/null 2>&1 &&
        tr '\n' ';' <"$scratch/helper.log"
}
check "postinst configure (first install) enables both units" \
    equals "$(helper_calls postinst configure)" \
    "unmask ktzmond.service;--quiet was-enabled ktzmond.service;enable ktzmond.service;unmask ktzmon-exporter.service;--quiet was-enabled ktzmon-exporter.service;enable ktzmon-exporter.service;"
check "postinst restarts the units on an upgrade, starts them on an install" \
    eval 'grep -q "action=restart" "$scratch/ctrl/postinst" && grep -q "deb-systemd-invoke \"\$action\"" "$scratch/ctrl/postinst"'
check "prerm stops both units on removal" \
    grep -q "deb-systemd-invoke stop ktzmon-redfish.service ktzmon-exporter.service ktzmond.service" "$scratch/ctrl/prerm"
check "postrm remove masks both units" \
    equals "$(helper_calls postrm remove)" "mask ktzmond.service;mask ktzmon-exporter.service;mask ktzmon-redfish.service;"

# ---- the packages unpacked into a scratch root ------------------------------------------------
sroot=$scratch/root
mkdir -p "$sroot"
for deb in "$mod" "$plat" "$cli" "$tools"; do
    dpkg-deb -x "$deb" "$sroot"
done
check "binaries stripped, no RPATH, no build-tree path" elf_clean "$sroot" "$build_dir"

export LD_LIBRARY_PATH=$sroot$lib
check "ktzmond reports readiness (links libsystemd) and depends on libsystemd0" \
    eval 'readelf -d "$sroot/usr/bin/ktzmond" | grep -qF "[libsystemd.so.0]" && field "$tools" Depends | grep -qE "(^|, )libsystemd0( |,|\$)"'
check "ktzmond resolves its libraries from the scratch root" \
    eval 'ldd "$sroot/usr/bin/ktzmond" | grep -qF "libktzplatform.so.1 => $sroot$lib/libktzplatform.so.1"'
check "ktzmon-watch resolves libktzclient from the scratch root" \
    eval 'ldd "$sroot/usr/bin/ktzmon-watch" | grep -qF "libktzclient.so.2 => $sroot$lib/libktzclient.so.2"'

# The packaged units with their programs' paths moved into the scratch root
# (verify checks that they exist), against the system's own units. Any
# message (an unknown key is only a warning) fails the check. Without the
# exporter in this build its unit from the source tree is checked with
# ktzmond standing in for its program. The man pages the units name are in
# the package, not installed here: verify does not look for them.
echo "== systemd-analyze verify"
verify_unit()
{
    local unit=$1 src=$2 program=$3
    mkdir -p "$scratch/units"
    sed -E "s,^ExecStart=/usr/bin/[^ ]+,ExecStart=$sroot/usr/bin/$program," "$src" >"$scratch/units/$unit"
    grep -q "^ExecStart=$sroot/usr/bin/$program " "$scratch/units/$unit" &&
        systemd-analyze verify --man=no "$scratch/units/$unit" >"$scratch/verify.log" 2>&1 &&
        ! grep -q . "$scratch/verify.log"
}
check "systemd-analyze verify ktzmond.service" \
    verify_unit ktzmond.service "$sroot/lib/systemd/system/ktzmond.service" ktzmond
[ "$failed" -eq 0 ] || sed 's/^/      /' "$scratch/verify.log"
if [ "$exporter" -eq 1 ]; then
    check "systemd-analyze verify ktzmon-exporter.service" \
        verify_unit ktzmon-exporter.service "$sroot/lib/systemd/system/ktzmon-exporter.service" ktzmon-exporter
else
    check "systemd-analyze verify ktzmon-exporter.service (ktzmond standing in)" \
        verify_unit ktzmon-exporter.service "$root/packaging/systemd/ktzmon-exporter.service" ktzmond
fi
[ -s "$scratch/verify.log" ] && sed 's/^/      /' "$scratch/verify.log"
if [ -x "$sroot/usr/bin/ktzmon-redfish" ]; then
    check "systemd-analyze verify ktzmon-redfish.service" \
        verify_unit ktzmon-redfish.service "$sroot/lib/systemd/system/ktzmon-redfish.service" ktzmon-redfish
    [ -s "$scratch/verify.log" ] && sed 's/^/      /' "$scratch/verify.log"
fi

echo "== the packaged daemon and client"
run=$scratch/run
mkdir -p "$run"
# The module from the loader's search path (no --module): what the packaged
# daemon does on a system where the packages are installed.
TMPDIR=$scratch "$sroot/usr/bin/ktzmond" --socket "$run/d.sock" --quiet 2>"$run/ktzmond.log" &
daemon_pid=$!
check "ktzmond starts from the scratch root and listens" wait_for test -S "$run/d.sock"
check "ktzmonctl status: the module is running" \
    wait_for eval '"$sroot/usr/bin/ktzmonctl" --control-socket "$run/ktzmond.ctl" --json status 2>/dev/null |
                    grep -q "\"module\": *\"running\""'
timeout 60 "$sroot/usr/bin/ktzmon-watch" --socket "$run/d.sock" --until data-sync-complete --timeout 30 \
    >"$run/watch.out" 2>&1
watch_status=$?
check "ktzmon-watch --until data-sync-complete exits 0" equals "$watch_status" 0
check "ktzmon-watch saw the sensors and data-sync-complete" \
    eval 'grep -q "sensor-data" "$run/watch.out" && tail -n 1 "$run/watch.out" | grep -q "data-sync-complete"'
# The packaged exporter against the packaged daemon, on a free loopback port
# it reports on standard error.
exporter_pid=
exporter_port()
{
    sed -nE 's,.*serving http://127\.0\.0\.1:([0-9]+)/metrics.*,\1,p' "$run/exporter.log" | head -n 1 | grep .
}
# Connected, and the first picture complete (monitoring is up only after the
# module's data-sync-complete): before that a scrape may lack the readings.
exporter_pictured()
{
    curl -fsS --max-time 5 "http://127.0.0.1:$port/metrics" >"$run/metrics.txt" 2>/dev/null &&
        grep -qE '^ktzmon_exporter_connected 1$' "$run/metrics.txt" &&
        grep -qE '^ktzmon_monitoring_up 1$' "$run/metrics.txt"
}
if [ "$exporter" -eq 1 ] && command -v curl >/dev/null 2>&1; then
    "$sroot/usr/bin/ktzmon-exporter" --socket "$run/d.sock" --listen 127.0.0.1:0 2>"$run/exporter.log" &
    exporter_pid=$!
    port=
    check "ktzmon-exporter listens on loopback" wait_for eval 'exporter_port >/dev/null'
    port=$(exporter_port)
    check "ktzmon-exporter connects to ktzmond and serves its metrics" wait_for exporter_pictured
    check "the metrics hold the daemon's fan readings" grep -qE '^ktzmon_fan_speed_rpm\{' "$run/metrics.txt"
    kill -TERM "$exporter_pid"
    wait_exit "$exporter_pid" 20
    check "ktzmon-exporter stops on SIGTERM with status 0" equals "$?" 0
    exporter_pid=
fi
kill -TERM "$daemon_pid"
wait_exit "$daemon_pid" 20
daemon_status=$?
daemon_pid=
check "ktzmond stops on SIGTERM with status 0" equals "$daemon_status" 0
check "ktzmond removed its socket" test ! -e "$run/d.sock"
if [ "$watch_status" -ne 0 ] || [ "$daemon_status" -ne 0 ]; then
    sed 's/^/      watch: /' "$run/watch.out" | tail -n 20
    sed 's/^/      ktzmond: /' "$run/ktzmond.log" | tail -n 20
fi
for prog in ktzmond ktzmonctl ktzmon-watch ktzmon-host ktzmon-exporter ktzmon-redfish; do
    [ -x "$sroot/usr/bin/$prog" ] || continue
    check "$prog --version says $version" equals "$("$sroot/usr/bin/$prog" --version 2>&1)" "$prog $version"
done
# Every setting of a service's --help has its line in the shipped file, set or
# commented with its default ("name = " or "# name = "). Options that are
# commands rather than settings are named after the program.
conf_lists_options()
{
    local conf=$1 prog=$2 opt missing=
    shift 2
    for opt in $("$prog" --help 2>&1 | grep -oE '^ +(-[a-zA-Z],)?--[a-z][a-z-]*' | sed 's/.*--//' | sort -u); do
        case " help version config $* " in *" $opt "*) continue ;; esac
        grep -qE "^(# )?$opt = " "$conf" || missing="$missing $opt"
    done
    [ -z "$missing" ] || echo "      not in ${conf##*/}:$missing"
    [ -z "$missing" ]
}
for prog in ktzmond ktzmon-exporter ktzmon-redfish; do
    [ -x "$sroot/usr/bin/$prog" ] && [ -f "$sroot/etc/ktzmon/$prog.conf" ] || continue
    check "/etc/ktzmon/$prog.conf lists every setting of $prog --help" \
        conf_lists_options "$sroot/etc/ktzmon/$prog.conf" "$sroot/usr/bin/$prog" add-account role
done

# The unit's command as the packages install it, with the paths moved into
# the scratch root and a socket of its own: it serves this machine, the
# Linux chassis, as /etc/ktzmon/ktzmond.conf says.
unit_cmd=$(sed -n 's,^ExecStart=,,p' "$sroot/lib/systemd/system/ktzmond.service")
mkdir -p "$scratch/etc"
sed "s,/etc/ktzmon/,$sroot/etc/ktzmon/,g" "$sroot/etc/ktzmon/ktzmond.conf" >"$scratch/etc/ktzmond.conf"
read -r -a unit_argv <<<"${unit_cmd//\/etc\/ktzmon\/ktzmond.conf/$scratch/etc/ktzmond.conf}"
unit_argv[0]=$sroot${unit_argv[0]}
env -u RUNTIME_DIRECTORY TMPDIR=$scratch "${unit_argv[@]}" --socket "$run/u.sock" --quiet 2>"$run/unit.log" &
daemon_pid=$!
check "the unit's command serves the Linux chassis of /etc/ktzmon/linux.toml" \
    wait_for eval '"$sroot/usr/bin/ktzmonctl" --socket "$run/u.sock" status 2>/dev/null |
                    grep -qF "chassis           linux ($sroot/etc/ktzmon/linux.toml)"'
kill -TERM "$daemon_pid"
wait_exit "$daemon_pid" 20
unit_status=$?
daemon_pid=
check "the unit's command stops on SIGTERM with status 0" equals "$unit_status" 0
[ "$unit_status" -eq 0 ] || sed 's/^/      ktzmond: /' "$run/unit.log" | tail -n 20

if [ "$exporter" -eq 1 ] && command -v promtool >/dev/null 2>&1; then
    rules=$sroot/usr/share/ktzmon/ktzmon-alerts.yml
    sed "s,\.\./\.\./docs/ktzmon-alerts\.yml,$rules," "$root/tests/exporter/alerts_test.yml" >"$scratch/alerts_test.yml"
    check "the packaged alert rules pass promtool check and their unit tests" \
        eval 'promtool check rules "$rules" >/dev/null 2>&1 && promtool test rules "$scratch/alerts_test.yml" >/dev/null 2>&1'
fi
check "ktzmon-host runs the demonstration chassis with the packaged module" \
    eval 'timeout 60 "$sroot/usr/bin/ktzmon-host" --module "$sroot$lib/libktzmon.so.1" >"$run/host.out" 2>&1 &&
          grep -q "data-sync-complete" "$run/host.out"'
if [ "$exporter" -eq 1 ]; then
    check "ktzmon-exporter starts from the scratch root (--help)" \
        eval 'timeout 20 "$sroot/usr/bin/ktzmon-exporter" --help >/dev/null 2>&1'
fi
unset LD_LIBRARY_PATH

# ---- the PowerPC module package ------------------------------------------------------------
if command -v powerpc-linux-gnu-g++-12 >/dev/null 2>&1; then
    echo "== the PowerPC module package (scripts/package.sh --ppc)"
    if ppc_debs=$(KTZ_BUILD_ROOT=$build_root "$root/scripts/package.sh" --ppc 2>"$scratch/package-ppc.log"); then
        ppc=$(grep -E "/libktzmon1_${debver}_powerpc\.deb\$" <<<"$ppc_debs")
        check "PowerPC: one package, libktzmon1" equals "$(wc -l <<<"$ppc_debs") $(basename "$ppc")" \
            "1 libktzmon1_${debver}_powerpc.deb"
        check "PowerPC: Architecture powerpc" equals "$(field "$ppc" Architecture)" powerpc
        ppcroot=$scratch/ppc
        dpkg-deb -x "$ppc" "$ppcroot"
        so=$ppcroot/usr/lib/powerpc-linux-gnu/libktzmon.so.1.0.0
        check "PowerPC: the module under its soname" test -f "$so" -a -L "${so%.0.0}"
        check "PowerPC: a 32-bit big-endian PowerPC shared object, stripped" \
            eval 'file -b "$so" | grep -q "ELF 32-bit MSB shared object, PowerPC.*, stripped"'
        check "PowerPC: no RPATH" eval '! readelf -d "$so" | grep -qE "\((RPATH|RUNPATH)\)"'
        # The module needs the C library and the platform interfaces only;
        # libc6's version in Depends covers every symbol version it uses.
        needed=$(readelf -d "$so" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p' | sort | tr '\n' ' ')
        check "PowerPC: needs only libc.so.6 and libktzplatform.so.1" equals "$needed" \
            "libc.so.6 libktzplatform.so.1 "
        want=$(readelf -V "$so" | grep -oE 'GLIBC_[0-9.]+' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
        have=$(field "$ppc" Depends | sed -nE 's/.*libc6 \(>= ([0-9.]+)\).*/\1/p')
        check "PowerPC: Depends libc6 (>= $have) covers GLIBC_$want" \
            eval '[ -n "$have" ] && dpkg --compare-versions "$have" ge "$want"'
        if lintian --fail-on error "$ppc" >"$scratch/lintian-ppc.log" 2>&1; then
            check "PowerPC: lintian no errors" true
        else
            sed 's/^/      /' "$scratch/lintian-ppc.log"
            check "PowerPC: lintian no errors" false
        fi
    else
        tail -n 40 "$scratch/package-ppc.log"
        check "scripts/package.sh --ppc builds the module package" false
    fi
else
    echo "== no PowerPC cross compiler: the PowerPC package is not built"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
