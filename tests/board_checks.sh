#!/bin/bash
# Runs on the emulated board at every boot, after multi-user.target, as root. It does to the
# installed package what a boat owner does and checks what they would see, one line per check in
# /var/lib/board-test/results; a failed check is followed by the board's own output for it. It
# reboots the board once, between its two halves, and powers it off at the end.
set -u
dir=/var/lib/board-test
deb=/root/nmea-relay.deb
unit=nmea-relay.service
mkdir -p "$dir"

# check NAME COMMAND...: runs the command and records whether it held, with its output if not.
check() {
    local name=$1 output
    shift
    if output=$("$@" 2>&1); then
        echo "ok: $name" >>"$dir/results"
    else
        printf 'FAILED: %s\n%s\n' "$name" "$(sed 's/^/    | /' <<<"$output")" >>"$dir/results"
    fi
}

# wait_for SECONDS COMMAND...: true as soon as the command succeeds, false if it never does.
wait_for() {
    local until=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$until" ] || return 1
        sleep 0.2
    done
}

main_pid() { systemctl show -P MainPID "$unit"; }

# What systemd says of the unit, and its recent log, for a check that failed.
unit_report() {
    echo "is-enabled: $(systemctl is-enabled "$unit" 2>&1), is-active: $(systemctl is-active "$unit" 2>&1)"
    systemctl status --no-pager "$unit" 2>&1 | head -n 15
    journalctl --no-pager -n 15 -u "$unit"
}

unit_is() { # ENABLED ACTIVE
    [ "$(systemctl is-enabled "$unit" 2>&1)" = "$1" ] && [ "$(systemctl is-active "$unit" 2>&1)" = "$2" ] ||
        { unit_report; return 1; }
}

port_closed() { ! (exec 3<>/dev/tcp/127.0.0.1/10110) 2>/dev/null; }

# The relay's own lines in the journal, since systemd last started it, as journald keeps them:
# without their line ends; --all prints whatever bytes a client's text holds, not a summary.
relay_log() {
    journalctl --no-pager -q --all -o cat \
        _SYSTEMD_INVOCATION_ID="$(systemctl show -P InvocationID "$unit")"
}
logged() { relay_log | grep -q "$1"; }

# The relay's first client on the board's loopback gets a datagram of every byte value byte for
# byte; the relay's log holds exactly its connection, its text and its disconnection. A system
# call refused by the unit's filter would add a line of its own.
relays() {
    local held=0
    exec 3<>/dev/tcp/127.0.0.1/10110 || { unit_report; return 1; }
    # A client is admitted at the next pass; a datagram sent before that could go to no one.
    if ! wait_for 10 logged 'Connected Session 1 from 127.0.0.1'; then
        exec 3>&-
        echo "no connection line in the relay's log"
        unit_report
        return 1
    fi
    printf "$(printf '\\%03o' {0..255})" >"$dir/sent"
    cat "$dir/sent" >/dev/udp/127.0.0.1/10110
    timeout 10 head -c 256 <&3 >"$dir/received"
    printf 'Position fix from the board\r\n' >&3
    wait_for 10 logged 'Position fix from the board'
    exec 3>&-
    wait_for 10 logged 'Session 1 Disconnected'
    cmp "$dir/sent" "$dir/received" || { echo "received: $(od -An -tx1 "$dir/received")"; held=1; }
    printf 'Connected Session 1 from 127.0.0.1\nPosition fix from the board\nSession 1 Disconnected\n' >"$dir/log.expected"
    relay_log >"$dir/log"
    cmp "$dir/log.expected" "$dir/log" || { echo "the relay's log:"; cat -A "$dir/log"; held=1; }
    return $held
}

# The relay runs as a dynamic user (systemd's range 61184-65519) under a system-call filter.
confined() {
    local status uid
    status=$(cat "/proc/$(main_pid)/status") || return 1
    read -r _ uid _ < <(grep '^Uid:' <<<"$status")
    grep -E '^(Uid|Gid|Seccomp|NoNewPrivs):' <<<"$status"
    [ "$uid" -ge 61184 ] && [ "$uid" -le 65519 ] && grep -q '^Seccomp:[[:space:]]*2$' <<<"$status"
}

# The unit takes away every privilege the relay can live without (systemd's 0 to 10 scale).
exposure() {
    systemd-analyze security --no-pager "$unit" | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p'
}

stays_up() { # SECONDS: the same process all along, never restarted
    local pid
    pid=$(main_pid)
    sleep "$1"
    [ "$pid" != 0 ] && [ "$(main_pid)" = "$pid" ] && [ "$(systemctl show -P NRestarts "$unit")" = 0 ] ||
        { echo "MainPID was $pid"; unit_report; return 1; }
}

new_main_pid() { # OLD
    local pid
    pid=$(main_pid)
    [ "$pid" != 0 ] && [ "$pid" != "$1" ]
}

restarted_after_kill() {
    local pid
    pid=$(main_pid)
    systemctl kill -s KILL "$unit"
    wait_for 15 new_main_pid "$pid" || { echo "MainPID still $pid"; unit_report; return 1; }
    unit_is enabled active
}

purged() {
    local left
    left=$(dpkg -s nmea-relay 2>/dev/null | grep '^Status:')
    left+=$(find /etc/systemd /lib/systemd /usr/lib/systemd /var/lib/systemd /usr/sbin /usr/share/man \
        /usr/share/doc /var/lib/dpkg/info -name '*nmea-relay*' 2>/dev/null)
    [ -z "$left" ] || { echo "left: $left"; return 1; }
}

if [ ! -e "$dir/rebooted" ]; then
    echo "== first boot, with the package installed into the image" >>"$dir/results"
    check "installed into the image: enabled and active at first boot" unit_is enabled active
    check "installed into the image: relaying at first boot" relays
    check "dpkg -r: succeeds" dpkg -r nmea-relay
    check "dpkg -r: stopped" sh -c "! systemctl is-active $unit"
    check "dpkg -r: port 10110 closed" port_closed
    check "dpkg -P: succeeds" dpkg -P nmea-relay
    check "dpkg -P: nothing of the package left" purged
    check "fresh dpkg -i: succeeds" dpkg -i "$deb"
    check "fresh dpkg -i: enabled and active" unit_is enabled active
    check "fresh dpkg -i: dynamic unprivileged user, system-call filter on" confined
    check "fresh dpkg -i: systemd-analyze verify accepts the unit" \
        systemd-analyze verify --man=no "$unit"
    check "fresh dpkg -i: exposure $(exposure) is 2.0 or lower" \
        systemd-analyze security --threshold=20 "$unit"
    check "fresh dpkg -i: stays up for 15 s without a restart" stays_up 15
    check "fresh dpkg -i: a client gets a datagram byte for byte; the log holds exactly its lines" relays
    check "killed: restarted by systemd" restarted_after_kill
    touch "$dir/rebooted"
    systemctl reboot
    exit 0
fi

echo "== after a reboot" >>"$dir/results"
check "after a reboot: enabled and active" unit_is enabled active
check "after a reboot: relaying" relays
systemctl disable --now "$unit" >/dev/null 2>&1
check "disabled, then installed again: dpkg -i succeeds" dpkg -i "$deb"
check "disabled, then installed again: still disabled and stopped" unit_is disabled inactive
systemctl mask "$unit" >/dev/null 2>&1
check "masked, then installed again: dpkg -i succeeds" dpkg -i "$deb"
check "masked, then installed again: still masked" unit_is masked inactive
echo "== done" >>"$dir/results"
systemctl poweroff
