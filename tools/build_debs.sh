#!/bin/bash
# Builds nmea-relay's Debian packages for one Debian release the way Debian builds them: in a clean
# chroot of that release, made by mmdebstrap from the archive apt already uses and kept as a
# tarball while what goes into it is unchanged. In it: natively for this machine's architecture
# (the build runs the test suite), cross-built for the other two of amd64, armhf and arm64, each
# package checked by that release's lintian, and the armhf package built a second time in another
# build path to show that the build is reproducible. The host gets nothing but mmdebstrap.
# Usage, as root: tools/build_debs.sh RELEASE OUTDIR CHROOTDIR
set -euo pipefail
top=$(dirname "$(dirname "$(realpath "$0")")")
native=$(dpkg --print-architecture)
cross=$(printf '%s\n' amd64 armhf arm64 | grep -vx "$native" | paste -sd' ')

# Inside the chroot, with the source tree in /build/src: every package into /build/out.
if [ "${1-}" = --in-chroot ]; then
    cd /build/src
    version=$2
    # One version per release, e.g. 1.1.0~deb12u1 and 1.1.0~deb13u1, so that apt orders them and
    # upgrades the package with the release. Dated a second after the entry below it: a new date
    # for the new version, and still the same one at every build.
    major=$(cut -d. -f1 /etc/debian_version)
    {
        printf '%s (%s~deb%su1) %s; urgency=medium\n\n' "$(dpkg-parsechangelog -S Source)" \
            "$version" "$major" "$(. /etc/os-release && echo "$VERSION_CODENAME")"
        printf '  * Built for Debian %s.\n\n -- %s  %s\n\n' "$major" \
            "$(dpkg-parsechangelog -S Maintainer)" \
            "$(TZ=UTC date -R -d "@$(($(dpkg-parsechangelog -S Timestamp) + 1))")"
        cat debian/changelog
    } >debian/changelog.new
    mv debian/changelog.new debian/changelog
    # build ARCH DIR: the package for ARCH, built in DIR/nmea-relay.
    build() {
        mkdir -p "$2"
        cp -a /build/src "$2/nmea-relay"
        if [ "$1" = "$native" ]; then
            (cd "$2/nmea-relay" && RELAY_REQUIRE_NETNS=1 dpkg-buildpackage -b -us -uc)
        else
            (cd "$2/nmea-relay" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc -a "$1" -Pcross,nocheck)
        fi >"/build/out/build-$1.log" 2>&1 || { tail -n 40 "/build/out/build-$1.log"; exit 1; }
    }
    for arch in $native $cross; do
        build "$arch" /build/a
        echo "built for $arch"
    done
    build armhf /build/elsewhere/b
    for deb in /build/elsewhere/b/*.deb; do
        cmp "$deb" "/build/a/${deb##*/}" || { echo "not reproducible: ${deb##*/}"; exit 1; }
        echo "reproducible: ${deb##*/} built in /build/a and /build/elsewhere/b is byte for byte the same"
    done
    lintian --version
    lintian --fail-on error,warning /build/a/*.changes
    echo "lintian: no error and no warning"
    cp /build/a/*.deb /build/a/*.changes /build/a/*.buildinfo /build/out/
    exit 0
fi

release=$1
[ "$(id -u)" = 0 ] || { echo "make deb: needs root (mmdebstrap's chroots)"; exit 1; }
# The version is CMake's project version; the changelog's newest entry must be that release's.
version=$(sed -n 's/^project(nmea-relay VERSION \([0-9.]*\) .*/\1/p' "$top/CMakeLists.txt")
logged=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
[ "$logged" = "$version" ] ||
    { echo "make deb: debian/changelog's newest entry is $logged, CMakeLists.txt says $version"; exit 1; }
. "$top/tools/chroot.sh"
# Absolute paths without spaces: mmdebstrap's special hooks split their arguments at spaces.
mkdir -p "$2" "$3"
out=$(realpath "$2") chroots=$(realpath "$3")
sources=$chroots/$release.sources
chroot_sources "$release" >"$sources"

# The chroot: Debian's build-essential, the cross compilers and the C library of each target,
# lintian, and the build dependencies that debian/control lists for each architecture.
deps="apt-get -y build-dep ./"
for arch in $cross; do deps+=" && apt-get -y build-dep -a $arch -P cross,nocheck ./"; done
chroot_tarball "$chroots/$release.tar" "$top/debian/control" "$release" "$sources" --variant=buildd \
    --architectures="$(echo "$native $cross" | tr ' ' ,)" \
    --include="lintian,$(for arch in $cross; do printf 'crossbuild-essential-%s,libc6-dev:%s,' "$arch" "$arch"; done)" \
    --customize-hook="mkdir -p \"\$1/build/deps\"" \
    --customize-hook="copy-in $top/debian /build/deps" \
    --customize-hook="chroot \"\$1\" sh -c 'cd /build/deps && $deps'" \
    --customize-hook='rm -rf "$1/build"'

# The builds, in a fresh copy of the chroot that nothing outlives.
tar -c -C "$top" --exclude-vcs --exclude='./build*' . >"$chroots/$release-src.tar"
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo "$out"/*.log
mmdebstrap --quiet --variant=custom --skip=update,setup,cleanup \
    --setup-hook="tar-in $chroots/$release.tar /" \
    --customize-hook='mkdir -p "$1/build/src" "$1/build/out"' \
    --customize-hook="tar-in $chroots/$release-src.tar /build/src" \
    --customize-hook='chroot "$1" /build/src/tools/build_debs.sh --in-chroot '"$version" \
    --customize-hook="sync-out /build/out $out" \
    "$release" /dev/null "$sources" </dev/null
rm -f "$chroots/$release-src.tar"
ls "$out"/*.deb
