# shellcheck shell=bash
# Private temporary folders for the scripts' sockets and files.

# ktz_private_tmpdir PREFIX: makes a new folder and prints its path. Under
# $TMPDIR when that is an absolute path short enough for a Unix socket path
# inside the folder (they hold at most 107 bytes), else under /tmp.
ktz_private_tmpdir()
{
    local base=${TMPDIR:-/tmp}
    case $base in
    /*) [ "${#base}" -le 64 ] || base=/tmp ;;
    *) base=/tmp ;;
    esac
    mktemp -d "$base/$1.XXXXXX" 2>/dev/null || mktemp -d "/tmp/$1.XXXXXX"
}
