# Shell functions for making Debian root file systems with mmdebstrap; sourced by the scripts that
# build the packages and boot the boards.

# chroot_sources RELEASE: the archive apt already uses on this machine, as sources for RELEASE: its
# deb822 sources with the suites renamed, or Debian's own archive where apt is set up otherwise.
chroot_sources() {
    local host=/etc/apt/sources.list.d/debian.sources current
    current=$(. /etc/os-release && echo "$VERSION_CODENAME")
    if [ -f "$host" ]; then
        sed "/^Suites:/s/\b$current\b/$1/g" "$host"
    else
        printf 'deb http://deb.debian.org/debian %s %s-updates main\n' "$1" "$1"
        printf 'deb http://deb.debian.org/debian-security %s-security main\n' "$1"
    fi
}

# chroot_tarball TARBALL INPUTS RELEASE SOURCES MMDEBSTRAP-OPTIONS...: makes TARBALL with mmdebstrap
# from the apt sources in file SOURCES, unless it was made from the same options, sources, and
# files INPUTS (further files that go into it). Says which; fails if mmdebstrap does.
chroot_tarball() {
    local tarball=$1 inputs=$2 release=$3 sources=$4 key
    shift 4
    key=$({ printf '%s\n' "$release" "$@"; cat "$sources" $inputs; } | sha256sum | cut -d' ' -f1)
    if [ -f "$tarball" ] && [ "$(cat "$tarball.key" 2>/dev/null)" = "$key" ]; then
        echo "reused $tarball"
        return
    fi
    rm -f "$tarball" "$tarball.key"
    mkdir -p "$(dirname "$tarball")"
    # Called as $(chroot_tarball ...), where the callers' set -e does not reach.
    mmdebstrap --quiet --format=tar "$@" "$release" "$tarball.part" "$sources" </dev/null || return
    mv "$tarball.part" "$tarball" || return
    echo "$key" >"$tarball.key"
    echo "made $tarball"
}
