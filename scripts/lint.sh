#!/usr/bin/env bash
# Checks the sources against the repository's rules: clang-format (.clang-format)
# over every C/C++ file in the repository, and clang-tidy (.clang-tidy) over
# the module (src/) and the platform stand-in (platform/), using the compile
# commands of the native build (configured in build/native when missing).
# Changes nothing; exits non-zero when either tool reports something.
#
# usage: scripts/lint.sh [--format-only | --tidy-only]
# Environment: KTZ_BUILD_ROOT, where the build directories go (default: build/).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=lib/deps.sh
. "$root/scripts/lib/deps.sh"

run_format=1 run_tidy=1
case "${1:-}" in
"") ;;
--format-only) run_tidy=0 ;;
--tidy-only) run_format=0 ;;
*)
    echo "usage: scripts/lint.sh [--format-only | --tidy-only]" >&2
    exit 2
    ;;
esac

ktz_ensure_packages clang-format clang-tidy || exit 1
cd "$root" || exit 1
jobs=$(nproc 2>/dev/null || echo 2)

# Tracked files when this is a git checkout, else whatever is on disk.
list_sources()
{
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -- "$@"
    else
        local pattern
        for pattern in "$@"; do
            find . -path ./build -prune -o -path "./${pattern}" -type f -print | sed 's|^\./||'
        done
    fi
}

status=0

if [ $run_format -eq 1 ]; then
    mapfile -t files < <(list_sources '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | sort -u)
    echo "clang-format: ${#files[@]} file(s)"
    if [ ${#files[@]} -gt 0 ] && ! clang-format --dry-run -Werror "${files[@]}"; then
        echo "clang-format: the files above differ from .clang-format (fix: clang-format -i FILE)"
        status=1
    fi
fi

if [ $run_tidy -eq 1 ]; then
    dir=${KTZ_BUILD_ROOT:-$root/build}/native
    if [ ! -f "$dir/compile_commands.json" ]; then
        ktz_ensure_build_deps || exit 1
        cmake -S "$root" -B "$dir" >/dev/null || exit 1
    fi
    mapfile -t files < <(list_sources 'src/*.cpp' 'platform/*.cpp' | sort -u)
    echo "clang-tidy: ${#files[@]} file(s)"
    # One process per file, two at a time; only findings are shown.
    out=$(mktemp)
    printf '%s\n' "${files[@]}" |
        xargs -r -P "$jobs" -n 1 clang-tidy -p "$dir" --quiet --extra-arg=-Wno-unknown-warning-option >"$out" 2>&1
    tidy_status=$?
    grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Use -system-headers' "$out"
    rm -f "$out"
    if [ $tidy_status -ne 0 ]; then
        echo "clang-tidy: findings above"
        status=1
    fi
fi

[ $status -eq 0 ] && echo "lint: clean"
exit $status
