#!/usr/bin/env bash
# Unpacks each Debian package given and checks what a boat owner's machine gets from it: the
# relay for the package's architecture, its unit (accepted by systemd and locked down to an
# exposure of 2.0 or lower) and its man page.
set -u
passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
}

for deb in "$@"; do
    echo "== $deb"
    root=$(mktemp -d)
    dpkg-deb -x "$deb" "$root"
    arch=$(dpkg-deb -f "$deb" Architecture)
    relay=$root/usr/sbin/nmea-relay
    unit=$root/usr/lib/systemd/system/nmea-relay.service
    man=$root/usr/share/man/man8/nmea-relay.8.gz

    check "$arch: package is named nmea-relay" test "$(dpkg-deb -f "$deb" Package)" = nmea-relay
    check "$arch: relay installed as an executable" test -x "$relay"
    check "$arch: unit installed" test -f "$unit"
    check "$arch: man page installed" test -f "$man"
    case $arch in
    amd64) check "amd64: relay is an x86-64 program" sh -c "readelf -h '$relay' | grep -q 'X86-64'" ;;
    armhf)
        check "armhf: relay is an ARM program" sh -c "readelf -h '$relay' | grep -q 'Machine: *ARM'"
        check "armhf: relay uses the hard-float ABI" \
            sh -c "readelf -A '$relay' | grep -q 'Tag_ABI_VFP_args: VFP registers'"
        ;;
    *) check "known architecture ($arch)" false ;;
    esac
    check "$arch: relay needs no library but the C library" \
        sh -c "test \"\$(readelf -d '$relay' | grep NEEDED | grep -v 'libc.so.6')\" = ''"
    check "$arch: man page renders without warnings" \
        sh -c "zcat '$man' | groff -man -Tutf8 -ww -z 2>&1 | (! grep .)"

    # verify looks for the program and the man page the unit names: point it at the unpacked ones.
    mkdir "$root/check"
    sed "s|^ExecStart=/|ExecStart=$root/|" "$unit" >"$root/check/nmea-relay.service"
    check "$arch: systemd-analyze verify accepts the unit" \
        env MANPATH="$root/usr/share/man" systemd-analyze verify "$root/check/nmea-relay.service"
    exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for nmea-relay.service: \([0-9.]*\).*/\1/p')
    echo "$arch: unit exposure $exposure"
    check "$arch: unit exposure $exposure is 2.0 or lower" \
        systemd-analyze security --offline=true --threshold=20 "$unit"
    rm -rf "$root"
done

echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
