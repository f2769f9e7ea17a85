# shellcheck shell=bash
# Sourced by the check scripts: `fail` counts a failed check and says why,
# `finish` ends the script with the verdict (status 1 when any check failed).
failures=0
fail()
{
    echo "FAIL: $*"
    failures=$((failures + 1))
}
finish()
{
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
}
