#!/usr/bin/env bash
# Builds the project and runs every test, four ways, each in its own build
# directory: natively, with AddressSanitizer and UndefinedBehaviorSanitizer,
# with ThreadSanitizer, and cross-compiled for 32-bit big-endian PowerPC
# (run under qemu-ppc); then a short fuzzing run. The lint way runs
# scripts/lint.sh (clang-format and clang-tidy) and counts as one test; the
# pkg way builds the Debian packages with scripts/package.sh (build/package, and
# build/package-ppc for the PowerPC module) and checks them with
# tests/packaging/test_packages.sh, one test per check. Missing
# Debian packages are installed first (needs root or sudo only when something
# is missing).
#
# It goes through every way even when one fails, prints one summary line per
# way with its wall time and, last, "N passed, M failed" on a line of its own;
# the exit status is non-zero when anything failed.
#
# usage: scripts/test.sh [--only WAY[,WAY...]] [--quick]
#   WAY      native, lint, asan, tsan, ppc, fuzz or pkg (default: all of them)
#   --quick  native only, for development
# Environment: KTZ_BUILD_ROOT, where the build directories go (default: build/).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/deps.sh
. "$root/scripts/lib/deps.sh"

all_ways=(native lint asan tsan ppc fuzz pkg)
ways=("${all_ways[@]}")

usage()
{
    echo "usage: scripts/test.sh [--only WAY[,WAY...]] [--quick]   (WAY: ${all_ways[*]})" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
    --quick) ways=(native) ;;
    --only)
        [ $# -ge 2 ] || usage
        IFS=, read -r -a ways <<<"$2"
        shift
        ;;
    --only=*) IFS=, read -r -a ways <<<"${1#--only=}" ;;
    -h | --help) usage ;;
    *)
        echo "unknown argument: $1" >&2
        usage
        ;;
    esac
    shift
done
for way in "${ways[@]}"; do
    case " ${all_ways[*]} " in
    *" $way "*) ;;
    *)
        echo "unknown way: $way (one of: ${all_ways[*]})" >&2
        exit 2
        ;;
    esac
done

build_root=${KTZ_BUILD_ROOT:-$root/build}
export KTZ_BUILD_ROOT=$build_root
jobs=$(nproc 2>/dev/null || echo 2)

# Sanitizer findings end the test process with a failure; leaks count.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:history_size=4"

summary=()
total_passed=0
total_failed=0

# Each way's tests get a private temporary folder of their own: short (Unix
# socket paths hold at most 107 bytes, and the checkout and its build tree
# can be deep), apart from the other ways, and removed at the end however
# the run ends.
scratch_dirs=()
remove_scratch()
{
    local d
    for d in "${scratch_dirs[@]}"; do
        rm -rf "$d"
    done
}
trap remove_scratch EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# new_scratch WAY: makes a new private folder under /tmp, named in $scratch.
scratch=
new_scratch()
{
    scratch=$(mktemp -d "/tmp/ktz-$1.XXXXXX") || return 1
    scratch_dirs+=("$scratch")
}

# record WAY PASSED FAILED SECONDS [NOTE]
record()
{
    local line
    line="$1: $2 passed, $3 failed ($(($4 / 60))m$(printf %02d $(($4 % 60)))s${5:+, $5})"
    summary+=("$line")
    total_passed=$((total_passed + $2))
    total_failed=$((total_failed + $3))
    echo "==== $line"
}

banner()
{
    echo
    echo "==== $* ===="
}

# run_ctest_way WAY CMAKE_ARGS...: configure, build and run the tests of one way.
run_ctest_way()
{
    local way=$1
    shift
    local dir=$build_root/$way start=$SECONDS
    banner "$way: configure and build in $dir"
    if ! cmake -S "$root" -B "$dir" "$@"; then
        record "$way" 0 1 $((SECONDS - start)) "configure failed"
        return
    fi
    if ! cmake --build "$dir" -j"$jobs"; then
        record "$way" 0 1 $((SECONDS - start)) "build failed"
        return
    fi

    banner "$way: tests"
    # Tests put their sockets and their per-test INI and log directories
    # under TMPDIR.
    if ! new_scratch "$way"; then
        record "$way" 0 1 $((SECONDS - start)) "no temporary folder"
        return
    fi
    local tmp=$scratch log=$dir/ctest.log
    TMPDIR=$tmp KTZPLAT_INI_DIR=$tmp/ini KTZPLAT_LOG_ROOT=$tmp/log \
        ctest --test-dir "$dir" --output-on-failure -j2 --timeout 900 </dev/null 2>&1 | tee "$log"
    local ctest_status=${PIPESTATUS[0]}
    rm -rf "$tmp"

    # "100% tests passed, 0 tests failed out of 57"
    local line total failed
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        record "$way" 0 1 $((SECONDS - start)) "no test results"
        return
    fi
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    if [ "$total" -eq 0 ]; then
        record "$way" 0 1 $((SECONDS - start)) "no tests registered"
    elif [ "$ctest_status" -ne 0 ] && [ "$failed" -eq 0 ]; then
        record "$way" "$total" 1 $((SECONDS - start)) "ctest exited with $ctest_status"
    else
        record "$way" $((total - failed)) "$failed" $((SECONDS - start))
    fi
}

run_fuzz_way()
{
    local start=$SECONDS
    if [ ! -f "$root/scripts/fuzz.sh" ]; then
        banner "fuzz: skipped, scripts/fuzz.sh is not there"
        return
    fi
    banner "fuzz: smoke run"
    if BUILD_DIR=$build_root/fuzz sh "$root/scripts/fuzz.sh" 45 </dev/null; then
        record fuzz 1 0 $((SECONDS - start))
    else
        record fuzz 0 1 $((SECONDS - start))
    fi
}

# The lint script finds (or configures) the native build's compile commands
# under KTZ_BUILD_ROOT, exported above.
run_lint_way()
{
    local start=$SECONDS
    banner "lint: clang-format and clang-tidy"
    if "$root/scripts/lint.sh" </dev/null; then
        record lint 1 0 $((SECONDS - start))
    else
        record lint 0 1 $((SECONDS - start))
    fi
}

# The packages: each check of the package test counts as one test.
run_pkg_way()
{
    local start=$SECONDS log=$build_root/package-test.log
    banner "pkg: Debian packages"
    mkdir -p "$build_root"
    if ! new_scratch pkg; then
        record pkg 0 1 $((SECONDS - start)) "no temporary folder"
        return
    fi
    TMPDIR=$scratch "$root/tests/packaging/test_packages.sh" </dev/null 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]} line
    rm -rf "$scratch"
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        record pkg 0 1 $((SECONDS - start)) "no test results"
    elif [ "$status" -ne 0 ] && [ "${line#* passed, }" = "0 failed" ]; then
        record pkg "${line%% passed*}" 1 $((SECONDS - start)) "exited with $status"
    else
        local p=${line%% passed*} f=${line#* passed, }
        record pkg "$p" "${f%% failed}" $((SECONDS - start))
    fi
}

overall_start=$SECONDS
if ! ktz_ensure_build_deps; then
    echo "error: the build dependencies could not be installed" >&2
    echo "0 passed, 1 failed"
    exit 1
fi

for way in "${ways[@]}"; do
    case "$way" in
    native) run_ctest_way native ;;
    lint) run_lint_way ;;
    asan) run_ctest_way asan -DKTZMON_SANITIZE=address ;;
    tsan) run_ctest_way tsan -DKTZMON_SANITIZE=thread ;;
    ppc) run_ctest_way ppc -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-powerpc.cmake" ;;
    fuzz) run_fuzz_way ;;
    pkg) run_pkg_way ;;
    esac
done

elapsed=$((SECONDS - overall_start))
echo
echo "==== summary ($((elapsed / 60))m$(printf %02d $((elapsed % 60)))s in all) ===="
for line in "${summary[@]}"; do
    echo "$line"
done
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
