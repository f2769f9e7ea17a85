#!/usr/bin/env bash
# Fleet metrics on one workstation: builds what is needed (in build/native),
# then starts ktzmond on the demonstration chassis (or a scenario file), a
# ktzmon-exporter connected to it and a Prometheus server on loopback that
# scrapes the exporter every second with the alerting rules of
# docs/ktzmon-alerts.yml loaded. Prints where to look and stops everything on
# Ctrl-C (or when one of the three ends). Everything lives in a temporary
# directory that is removed at the end. Missing Debian packages are installed
# first (needs root or sudo only when something is missing).
#
# usage: scripts/fleet.sh [--port N] [--exporter-port N] [--speed N] [SCENARIO]
#   --port N           Prometheus's port on 127.0.0.1 (default 9090)
#   --exporter-port N  the exporter's port on 127.0.0.1 (default 9464)
#   --speed N          ktzmond's chassis clock speed (default 1, real time)
# Environment: KTZ_BUILD_ROOT, where the build directories go (default: build/).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/deps.sh
. "$root/scripts/lib/deps.sh"
# shellcheck source=lib/tmp.sh
. "$root/scripts/lib/tmp.sh"

usage()
{
    sed -n 's/^# \{0,1\}//; /^usage:/,/^Environment/p' "${BASH_SOURCE[0]}" >&2
    exit 2
}

prom_port=9090
exporter_port=9464
speed=1
scenario=()
while [ $# -gt 0 ]; do
    case "$1" in
    --port)
        [ $# -ge 2 ] || usage
        prom_port=$2
        shift
        ;;
    --exporter-port)
        [ $# -ge 2 ] || usage
        exporter_port=$2
        shift
        ;;
    --speed)
        [ $# -ge 2 ] || usage
        speed=$2
        shift
        ;;
    -h | --help) usage ;;
    -*)
        echo "unknown option: $1" >&2
        usage
        ;;
    *) scenario=("$(cd "$(dirname "$1")" && pwd)/$(basename "$1")") ;;
    esac
    shift
done

ktz_ensure_build_deps

dir=${KTZ_BUILD_ROOT:-$root/build}/native
{
    [ -f "$dir/CMakeCache.txt" ] || cmake -S "$root" -B "$dir"
    cmake --build "$dir" -j2 --target ktzmon ktzmond ktzmonctl ktzmon-exporter
} >&2

tmp=$(ktz_private_tmpdir ktzmon-fleet)
pids=()
cleanup()
{
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'echo; echo "stopping"; exit 0' INT TERM

"$dir/daemon/ktzmond" --socket "$tmp/ktzmond.sock" --control-socket "$tmp/ktzmond.ctl" --quiet \
    --speed "$speed" "${scenario[@]}" 2>"$tmp/ktzmond.log" &
pids+=($!)
"$dir/exporter/ktzmon-exporter" --socket "$tmp/ktzmond.sock" --listen "127.0.0.1:$exporter_port" \
    2>"$tmp/exporter.log" &
pids+=($!)

cp "$root/docs/ktzmon-alerts.yml" "$tmp/ktzmon-alerts.yml"
cat >"$tmp/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - ktzmon-alerts.yml
scrape_configs:
  - job_name: ktzmon
    static_configs:
      - targets: ['127.0.0.1:$exporter_port']
        labels:
          chassis: demo
EOF
prometheus --config.file="$tmp/prometheus.yml" --storage.tsdb.path="$tmp/data" \
    --web.listen-address="127.0.0.1:$prom_port" 2>"$tmp/prometheus.log" &
pids+=($!)

# Up to 30 s for Prometheus to be ready; a component that ended is reported.
for _ in $(seq 1 150); do
    if curl -fsS "http://127.0.0.1:$prom_port/-/ready" >/dev/null 2>&1; then
        break
    fi
    for pid in "${pids[@]}"; do
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "a component did not start; its log:" >&2
            tail -n 5 "$tmp"/*.log >&2
            exit 1
        fi
    done
    sleep 0.2
done

cat <<EOF
Fleet metrics are running (Ctrl-C stops everything):
  Prometheus  http://127.0.0.1:$prom_port/graph?g0.expr=ktzmon_fan_speed_rpm&g0.tab=0&g0.range_input=15m
  alerts      http://127.0.0.1:$prom_port/alerts
  exporter    http://127.0.0.1:$exporter_port/metrics
The sensors appear about $((30 / speed)) seconds after the start. Change the chassis with:
  '$dir/ctl/ktzmonctl' --control-socket '$tmp/ktzmond.ctl' set-fan 1 --reading 3100
  '$dir/ctl/ktzmonctl' --control-socket '$tmp/ktzmond.ctl' pull-psu 2
EOF

# Until Ctrl-C, or until one of the three ends by itself.
set +e
wait -n "${pids[@]}"
echo "a component ended; stopping the others (logs were in $tmp)" >&2
tail -n 5 "$tmp"/*.log >&2
exit 1
