# Installs the Debian packages the build needs, and only those missing.
# Sourced by scripts/test.sh, scripts/run.sh and scripts/lint.sh.
#
#   ktz_ensure_packages pkg...   installs whichever of pkg... is not installed
#   ktz_ensure_build_deps        everything the build, tests, fuzzing, benchmarks and lint use
#
# apt-get update runs at most once, and only when something is missing, so an
# up-to-date machine installs nothing and needs neither root nor the network.
# Recommended packages are left out; the few that matter (the C library
# headers, natively and for PowerPC) are listed by name instead.

KTZ_BUILD_PACKAGES=(
    cmake g++ make pkg-config binutils libc6-dev ccache
    libgtest-dev libgmock-dev googletest
    g++-12-powerpc-linux-gnu libc6-dev-powerpc-cross qemu-user
    clang libclang-rt-14-dev
    libbenchmark-dev nlohmann-json3-dev libtomlplusplus-dev libasio-dev libcli11-dev
    clang-format clang-tidy
    libpugixml-dev librsvg2-bin
    libsensors-dev umockdev libumockdev-dev
    prometheus-cpp-dev prometheus libfreeipmi-dev
    libsystemd-dev systemd dpkg-dev fakeroot lintian file xz-utils curl help2man
    abigail-tools
    libboost-dev libssl-dev libcrypt-dev redfishtool python3-sushy
    nodejs chromium python3
)

ktz_package_installed()
{
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = "installed" ]
}

ktz_ensure_packages()
{
    local missing=() pkg
    for pkg in "$@"; do
        ktz_package_installed "$pkg" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "Installing missing packages: ${missing[*]}" >&2
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "error: need root or sudo to install: ${missing[*]}" >&2
            return 1
        fi
        sudo=(sudo)
    fi
    if [ -z "${KTZ_APT_UPDATED:-}" ]; then
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q || return 1
        KTZ_APT_UPDATED=1
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${missing[@]}" </dev/null || return 1
}

ktz_ensure_build_deps()
{
    # npm: Debian's package, unless a Node.js build that brings its own npm
    # (and conflicts with Debian's) is installed already.
    local npm=()
    command -v npm >/dev/null 2>&1 || npm=(npm)
    ktz_ensure_packages "${KTZ_BUILD_PACKAGES[@]}" "${npm[@]}"
}
