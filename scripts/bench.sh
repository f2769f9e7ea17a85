#!/usr/bin/env bash
# Builds the benchmarks (Release, in build/bench), runs them and regenerates
# BENCHMARKS.md from that run: the command, the machine, the date and every
# figure beside its floor with the ratio and the goal. Installs Google
# Benchmark with apt-get when it is missing.
#
# usage: scripts/bench.sh [--wait-quiet[=SECONDS]] [--live-only] [benchmark flags...]
#   --wait-quiet  before running, wait (at most SECONDS, default 600) until the
#                 1-minute load average is below the number of processors
#   --live-only   run only the live daemon benchmark and replace only its
#                 section of BENCHMARKS.md (about ten minutes)
#   Further arguments go to the benchmark binary (e.g. --benchmark_filter=idle).
# Environment: KTZ_BUILD_ROOT (default build/), KTZ_BENCH_REPETITIONS (default 5).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/deps.sh
. "$root/scripts/lib/deps.sh"

wait_quiet=0
live_only=0
extra=()
for arg in "$@"; do
    case "$arg" in
    --wait-quiet) wait_quiet=600 ;;
    --wait-quiet=*) wait_quiet=${arg#--wait-quiet=} ;;
    --live-only) live_only=1 ;;
    -h | --help)
        sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *) extra+=("$arg") ;;
    esac
done

build_root=${KTZ_BUILD_ROOT:-$root/build}
build=$build_root/bench
reps=${KTZ_BENCH_REPETITIONS:-5}
cpus=$(nproc 2>/dev/null || echo 1)

ktz_ensure_packages cmake g++ make libbenchmark-dev || exit 1

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKTZMON_BENCH=ON -DBUILD_TESTING=OFF >/dev/null ||
    exit 1
targets=(ktzmon_live_bench ktzmon_live_relay)
[ "$live_only" -eq 0 ] && targets+=(ktzmon_bench ktzmon_redfish_bench)
cmake --build "$build" -j"$cpus" --target "${targets[@]}" || exit 1

load1() { cut -d' ' -f1 /proc/loadavg; }
if [ "$wait_quiet" -gt 0 ]; then
    waited=0
    while awk -v l="$(load1)" -v n="$cpus" 'BEGIN { exit !(l >= n) }' && [ "$waited" -lt "$wait_quiet" ]; do
        [ "$waited" -eq 0 ] && echo "waiting for the machine to quieten (load $(load1), $cpus processors)..." >&2
        sleep 10
        waited=$((waited + 10))
    done
fi

tables=$(mktemp)
output=$(mktemp)
live=$(mktemp)
section=$(mktemp)
redfish=$(mktemp)
trap 'rm -f "$tables" "$output" "$live" "$section" "$redfish"' EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
args=(--benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true "${extra[@]}")
status=0
if [ "$live_only" -eq 0 ]; then
    "$build/bench/ktzmon_bench" "${args[@]}" --ktz_markdown="$tables" | tee "$output"
    status=${PIPESTATUS[0]}
fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# The live daemon: ktzmond as a real process with its clients on a Unix socket.
live_started=$(date -u '+%Y-%m-%d %H:%M UTC')
live_load_before=$(cut -d' ' -f1-3 /proc/loadavg)
live_args=(--markdown="$live")
"$build/bench/ktzmon_live_bench" "${live_args[@]}"
live_status=$?
if [ ! -s "$live" ]; then
    echo "The live daemon benchmark produced no figures (exit status $live_status)." >"$live"
fi
live_load_after=$(cut -d' ' -f1-3 /proc/loadavg)
[ "$live_status" -ne 0 ] && status=$live_status

# The live section, the same in a full run and in a --live-only one.
{
    echo "## Live daemon"
    echo
    echo "Run by \`${KTZ_BUILD_ROOT:+KTZ_BUILD_ROOT=$KTZ_BUILD_ROOT }scripts/bench.sh${*:+ $*}\` on $live_started"
    echo "(binary: \`${build#"$root"/}/bench/ktzmon_live_bench --markdown=FILE\`); load average (1/5/15 min)"
    echo "before: $live_load_before; after: $live_load_after."
    echo
    echo "\`ktzmond\` (this Release build, with its module) runs as a child process on the demonstration"
    echo "chassis without its timeline and batch clients, at the real clock's pace (sensor passes every 5 s);"
    echo "once the sensor types have attached (36 s after the start), the benchmark's clients connect over its"
    echo "Unix socket with a version 2 hello stating chassis log events among their capabilities, and wait for"
    echo "data-sync-complete. Then 10"
    echo "untimed and 200 timed changes: each is a chassis log event posted through the control socket (the"
    echo "request \`ktzmonctl\` sends), timed from just before the request is written to the moment the last"
    echo "client has read the event's Message frame; the next change follows once every client has it. The"
    echo "relay floor, measured in the same run with the same client count, is a minimal process"
    echo "(\`ktzmon_live_relay\`) that reads the same request line from its Unix control socket and writes one"
    echo "Message frame of the same size to each of its N connections, read by the same epoll reader: the one"
    echo "hop every design needs, the change arriving from another process, and nothing else. The last column"
    echo "(for information; no goal) is the writing-alone floor of earlier runs: the time from the relay's"
    echo "first write to the last read, a writer that already holds the change. Times are wall-clock"
    echo "microseconds (median and 99th percentile over the 200 changes). Goals: the daemon's median at most"
    echo "2x the relay's, its 99th percentile at most 3x the relay's."
    echo
    sed -n '1,/^$/p' "$live" | sed '/^$/d'
    echo
    echo "Memory: the daemon's VmRSS (from /proc/PID/status) with the module running and no client, and with"
    echo "the clients of the run connected, idle after its timed changes; goal at most 8 KiB per client. Idle"
    echo "CPU: the daemon's time on a processor (its threads' /proc/PID/task/TID/schedstat) over 60 s with 100 synced clients on"
    echo "the demonstration chassis without its timeline at the real clock's pace (sensor passes every 5 s),"
    echo "measured from once the sensor types have attached; goal at most 0.5% of one core."
    echo
    sed -n '/^$/,$p' "$live" | sed '/^$/d'
} >"$section"

if [ "$live_only" -eq 1 ]; then
    # Only the live section is replaced; the rest of the file is kept as it was.
    target="$root/BENCHMARKS.md"
    if [ -f "$target" ] && grep -q '^## Live daemon$' "$target"; then
        awk -v file="$section" '
            /^## Live daemon$/ { while ((getline line < file) > 0) print line; print ""; skip = 1; next }
            skip && /^## / { skip = 0 }
            !skip { print }
        ' "$target" >"$target.new" && mv "$target.new" "$target"
    else
        { [ -f "$target" ] && cat "$target" && echo; cat "$section"; } >"$target.new" && mv "$target.new" "$target"
    fi
    # The analysis that closes the file is the one in the tree now.
    analysis="$root/bench/analysis.md"
    if [ -f "$analysis" ]; then
        first=$(head -1 "$analysis")
        awk -v first="$first" '$0 == first { exit } { print }' "$target" >"$target.new"
        sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$target.new" >"$target"
        rm -f "$target.new"
        { echo; cat "$analysis"; } >>"$target"
    fi
    echo
    echo "BENCHMARKS.md: live section regenerated."
    [ "$status" -ne 0 ] && echo "Some goals were missed (see BENCHMARKS.md)." >&2
    exit 0
fi

# The Redfish service: ktzmon-redfish beside ktzmond, TLS clients on loopback.
"$build/bench/ktzmon_redfish_bench" --markdown="$redfish"
redfish_status=$?
if [ ! -s "$redfish" ]; then
    echo "The Redfish service benchmark produced no figures (exit status $redfish_status)." >"$redfish"
fi
redfish_load_after=$(cut -d' ' -f1-3 /proc/loadavg)
[ "$redfish_status" -ne 0 ] && status=$redfish_status

if [ ! -s "$tables" ]; then
    echo "error: the benchmark run produced no figures (exit status $status)" >&2
    exit 1
fi

cpu_model=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
{
    echo "# Benchmarks"
    echo
    echo "Generated by \`scripts/bench.sh\` from one run; rerun it to regenerate this file."
    echo
    echo "- Command: \`${KTZ_BUILD_ROOT:+KTZ_BUILD_ROOT=$KTZ_BUILD_ROOT }scripts/bench.sh${*:+ $*}\` (binary: \`${build#"$root"/}/bench/ktzmon_bench ${args[*]}\`)"
    echo "- Build: Release (\`-DCMAKE_BUILD_TYPE=Release -DKTZMON_BENCH=ON\`), $(g++ --version | head -1)"
    echo "- Machine: ${cpu_model:-unknown CPU}, $cpus processors (nproc), kernel $(uname -sr)"
    echo "- Date: $started"
    echo "- Load average (1/5/15 min) before: $load_before; after: $load_after"
    echo
    echo "Figures were taken on a shared $cpus-core machine while other builds may have been running."
    echo "Each timed figure is the median over $reps repetitions (run in random order) of the thread's CPU"
    echo "time per iteration, which leaves out time the thread spent waiting for a processor; the floor"
    echo "is measured in the same run, on the same chassis, so the ratio is the steadier number."
    echo
    echo "## Timing"
    echo
    echo "The module runs in-process, linked from its objects with the platform stand-in, on the reference"
    echo "chassis: platform 0x10, 12 two-sensor fans, the chassis and 7 stash temperatures, 6 power-supply"
    echo "bays with readable FRU data, power redundancy, 8 clients connected; the diagnostic log writing is"
    echo "off unless said otherwise. The host callback does nothing but answer the capability query."
    echo
    sed -n '1,/^$/p' "$tables" | sed '/^$/d'
    echo
    echo "## Memory"
    echo
    echo "Live bytes and blocks from the platform allocator's accounting (bytes as requested, without the"
    echo "allocator's own headers). A cycle is Load, Start-monitor, the settling delay on the virtual clock"
    echo "(every sensor type attaches and is sent), a capable client connects, one chassis log event is"
    echo "forwarded, the client leaves, one event is queued, Stop-monitor, Unload."
    echo
    sed -n '/^$/,$p' "$tables" | sed '/^$/d'
    echo
    cat "$section"
    echo
    echo "## Redfish service"
    echo
    echo "\`ktzmon-redfish\` (this Release build) runs as a child process beside \`ktzmond\` (the demonstration"
    echo "chassis without its timeline and batch clients, 50 times faster than real time), with its self-signed"
    echo "certificate. GET: one kept-alive TLS connection sends a GET of one fan sensor with a session token,"
    echo "each once the one before is answered; the floor is the same server library (Boost.Beast on Asio"
    echo "and OpenSSL, one I/O thread, asynchronous) answering every request with the very response the"
    echo "service gave, over the same kind of connection with the same key; the goal is at most 1.5x the"
    echo "floor's time per request. Events: a chassis log event posted on the control socket (as in the live"
    echo "daemon benchmark), timed to the moment the last of N event-stream subscribers (TLS, one session,"
    echo "read by one thread) has read its event, against its arrival at N clients of ktzmond itself (what"
    echo "ktzmon-watch is, read by the live benchmark's reader); 10 untimed and 100 timed changes, wall-clock"
    echo "microseconds; the goal is at most 2x at both the median and the 99th percentile. The last rows show,"
    echo "for scale, the same library writing one event frame to as many TLS streams by itself. Command:"
    echo "\`${build#"$root"/}/bench/ktzmon_redfish_bench --markdown=FILE\`; load average after it: $redfish_load_after."
    echo
    sed -n '1,/^$/p' "$redfish" | sed '/^$/d'
    echo
    sed -n '/^$/,$p' "$redfish" | sed '/^$/d'
    if [ -f "$root/bench/analysis.md" ]; then
        echo
        cat "$root/bench/analysis.md"
    fi
} >"$root/BENCHMARKS.md"

echo
echo "BENCHMARKS.md regenerated."
if [ "$status" -ne 0 ]; then
    echo "Some goals were missed (see BENCHMARKS.md)." >&2
fi
exit 0
