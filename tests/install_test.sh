#!/bin/sh
# Installs the build as a packager would, under another prefix into a staging directory, and checks
# what lands there: the relay, its units naming that relay and accepted by systemd, the man page
# filled in, the example drop-in.
# Usage: tests/install_test.sh BUILD-DIR UNIT-DIR
set -eu
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
command -v systemd-analyze >/dev/null || { echo "FAILED: systemd-analyze is not installed: the units cannot be verified"; exit 1; }
# The staging directory stands for the machine's root: systemd's targets there as on this machine.
mkdir -p "$stage/usr/lib/systemd/system"
cp "$(realpath /lib/systemd/system)"/*.target "$stage/usr/lib/systemd/system/"
DESTDIR=$stage cmake --install "$1" --prefix /usr/local >/dev/null
units=$stage$2
fail() { echo "FAILED: $*"; find "$stage" -type f ! -name '*.target' | sed "s#^$stage#    #"; exit 1; }

[ -x "$stage/usr/local/sbin/nmea-relay" ] || fail "no /usr/local/sbin/nmea-relay"
grep -qx 'ExecStart=/usr/local/sbin/nmea-relay' "$units/nmea-relay.service" ||
    fail "the unit does not start /usr/local/sbin/nmea-relay: $(grep ExecStart "$units/nmea-relay.service")"
[ -f "$units/nmea-relay-retry.timer" ] || fail "no nmea-relay-retry.timer beside the unit"
grep -q '^\.TH NMEA-RELAY 8 "[0-9-]*" "nmea-relay [0-9][0-9.]*"' "$stage/usr/local/share/man/man8/nmea-relay.8" ||
    fail "the man page's title is not filled in"
[ -f "$stage/usr/local/share/doc/nmea-relay/examples/boat-network-only.conf" ] || fail "no example drop-in"
systemd-analyze verify --man=no --root="$stage" "$units/nmea-relay.service" "$units/nmea-relay-retry.timer" ||
    fail "systemd-analyze verify refused the units"
echo "installed under /usr/local: the relay, $2/nmea-relay.service starting it, the timer, the man page, the example"
