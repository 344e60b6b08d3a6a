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
# Asked once it holds the port: until systemd's child has set up the sandbox and become the
# relay, the main process is still root and unfiltered.
confined() {
    local status uid
    wait_for 20 held_by nmea-relay || { echo "the relay does not hold port 10110"; return 1; }
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

# The relay process that listens on TCP port 10110, from the kernel's socket table.
holder_pid() { ss -Hltnp 'sport = :10110' | sed -n 's/.*(("nmea-relay",pid=\([0-9]*\),.*/\1/p'; }
new_holder() { # OLD
    local pid
    pid=$(holder_pid)
    [ -n "$pid" ] && [ "$pid" != "$1" ]
}

# back_after_kill LIMIT: killed, the relay is back, holding port 10110 as a new process, within
# LIMIT seconds; says how long it took. Watched through the socket table alone, as a client would
# see it: asking systemd five times a second would slow the restart it is timing.
back_after_kill() {
    local pid killed
    pid=$(holder_pid)
    [ -n "$pid" ] || { echo "the relay does not hold port 10110"; unit_report; return 1; }
    killed=${EPOCHREALTIME/./}
    systemctl kill -s KILL "$unit"
    wait_for "$1" new_holder "$pid" || { echo "no new relay on port 10110 after $1 s"; unit_report; return 1; }
    echo "killed, the relay was back $(((${EPOCHREALTIME/./} - killed) / 1000)) ms later" | tee -a "$dir/measured"
    [ $((${EPOCHREALTIME/./} - killed)) -le $(($1 * 1000000)) ] && unit_is enabled active
}

purged() {
    local left
    left=$(dpkg-query -W -f='${db:Status-Status}' nmea-relay 2>/dev/null | grep -vx not-installed)
    left+=$(find /etc/systemd /lib/systemd /usr/lib/systemd /var/lib/systemd /usr/sbin /usr/share/man \
        /usr/share/doc /var/lib/dpkg/info -name '*nmea-relay*' 2>/dev/null)
    [ -z "$left" ] || { echo "left: $left"; return 1; }
}

# On an ARMv6 board (uname -m faked to say armv6l, as on a Raspberry Pi Zero) dpkg -i refuses the
# package with one line that says why, and installs nothing of it.
armv6_refused() {
    local output
    mkdir -p "$dir/armv6"
    printf '#!/bin/sh\n[ "$1" = -m ] && echo armv6l || exec /usr/bin/uname "$@"\n' >"$dir/armv6/uname"
    chmod +x "$dir/armv6/uname"
    if output=$(PATH=$dir/armv6:$PATH dpkg -i "$deb" 2>&1); then
        echo "dpkg -i succeeded: $output"
        return 1
    fi
    echo "$output"
    grep -qx "nmea-relay: this board's processor is armv6l; the relay needs an ARMv7 or newer processor (Raspberry Pi 2 or later, Zero 2 W)" <<<"$output" &&
        purged
}

# The boat's and the marina's networks: a host each, in a network namespace of its own joined to
# the board by a veth pair, with addresses of the documentation ranges. Nothing leaves the board.
host_up() { # NAME BOARD-ADDRESS HOST-ADDRESS
    ip netns add "$1" &&
        ip link add "$1" type veth peer name eth0 netns "$1" &&
        ip addr add "$2/24" dev "$1" && ip link set "$1" up &&
        ip -n "$1" addr add "$3/24" dev eth0 && ip -n "$1" link set eth0 up && ip -n "$1" link set lo up
}
hosts_up() { host_up boat 192.0.2.1 192.0.2.2 && host_up marina 198.51.100.1 198.51.100.2; }
on() { ip netns exec "$@"; }
boat=192.0.2.1 marina=198.51.100.1

# reader NAME: a client on the host NAME, reading the relay's feed into $dir/NAME.feed.
reader() {
    local address=$boat
    [ "$1" = marina ] && address=$marina
    : >"$dir/$1.feed"
    on "$1" timeout 120 bash -c "exec 3<>/dev/tcp/$address/10110 && exec cat <&3" >"$dir/$1.feed" 2>&1 &
}
feed_has() { grep -aq "$2" "$dir/$1.feed"; } # NAME TEXT
feed_bytes() { [ "$(stat -c %s "$dir/$1.feed")" -ge "$2" ]; } # NAME COUNT: at least COUNT bytes
send_from() { on "$1" bash -c "cat >/dev/udp/$2/10110"; } # NAME ADDRESS, the datagram on stdin

# flood_then_boat: thousands of datagrams from the marina in a few seconds, then one from the boat;
# says how long the boat's datagram took to reach the boat's client, and what the relay's datagram
# queue held meanwhile.
flood_then_boat() {
    local sent
    on marina bash -c "exec 4>/dev/udp/$marina/10110; for i in {1..3000}; do printf '\$GPTXT,marina %d\r\n' \$i >&4; done"
    sent=${EPOCHREALTIME/./}
    printf '$GPTXT,boat after the flood\r\n' | send_from boat $boat
    if wait_for 10 feed_has boat 'boat after the flood'; then
        echo "the boat's datagram reached the boat's client after $(((${EPOCHREALTIME/./} - sent) / 1000)) ms"
    else
        echo "the boat's datagram had not reached the boat's client after 10 s"
    fi
    # The relay's UDP socket (port 10110 is 277E) in /proc/net/udp: the memory its queue takes, in
    # hexadecimal, and the datagrams it dropped.
    local address queues drops
    while read -r _ address _ _ queues _ _ _ _ _ _ _ drops; do
        [[ $address == *:277E ]] &&
            echo "the relay's datagram queue: $((16#${queues#*:})) bytes in use, $drops datagrams dropped"
    done </proc/net/udp
}

# The boat's client, reading, and admitted as the relay's first session.
boat_admitted() {
    reader boat
    wait_for 10 logged "Connected Session 1 from 192.0.2.2" ||
        { echo "the boat's client was not admitted: $(cat "$dir/boat.feed")"; unit_report; return 1; }
}
# A client on the marina's host gets an answer within 5 s.
marina_connects() { on marina timeout 5 bash -c "exec 3<>/dev/tcp/$marina/10110"; }

# What the last check measured, under it.
measured() {
    [ -f "$dir/measured" ] && sed "s/^/    measured: /" "$dir/measured" >>"$dir/results"
    rm -f "$dir/measured"
}

# With the example drop-in, edited to allow the boat's network: the boat's client gets the boat's
# datagram byte for byte; the marina's client cannot connect and is not logged; the marina's
# datagrams reach no client and, thousands of them, do not hold up the boat's next one.
boat_only() {
    local held=0 delay
    boat_admitted || return 1
    if marina_connects; then
        echo "the marina's client connected"; held=1
    fi
    printf '$GPGGA,marina position\r\n' | send_from marina $marina
    printf "$(printf '\\%03o' {0..255})" >"$dir/sent"
    send_from boat $boat <"$dir/sent"
    wait_for 10 feed_bytes boat 256
    sleep 2
    cmp "$dir/sent" "$dir/boat.feed" || { echo "the boat's client got: $(od -An -tx1 "$dir/boat.feed")"; held=1; }
    flood_then_boat | tee "$dir/measured"
    delay=$(sed -n 's/.*client after \([0-9]*\) ms/\1/p' "$dir/measured")
    # Nothing of the flood waits ahead of the boat's datagram; the delay allows for the emulated
    # board's own slowness in seeing it arrive.
    grep -q "queue: 0 bytes in use" "$dir/measured" || { echo "the flood took places in the queue"; held=1; }
    [ -n "$delay" ] && [ "$delay" -le 3000 ] || { echo "held up by more than a pass"; held=1; }
    if relay_log | grep -a '198\.51\.100\|marina'; then
        echo "the marina is in the relay's log"; held=1
    fi
    return $held
}

# Without the drop-in (the control): the marina's client is served, and its flood holds up the
# boat's datagram.
open_to_all() {
    local held=0
    boat_admitted || return 1
    reader marina
    wait_for 10 logged "Connected Session 2 from 198.51.100.2" ||
        { echo "the marina's client was not admitted: $(cat "$dir/marina.feed")"; held=1; }
    printf '$GPGGA,marina position\r\n' | send_from marina $marina
    wait_for 10 feed_has marina 'marina position' || { echo "the marina's client got no feed"; held=1; }
    flood_then_boat | tee "$dir/measured"
    grep -q 'had not reached' "$dir/measured" || held=1
    return $held
}

# restricted EXAMPLE-EDIT: the example drop-in installed with the boat's network in place of the
# example's, or removed when EXAMPLE-EDIT is empty; the service restarted, which ends the clients
# and empties the datagram queue.
restricted() {
    local dropins=/etc/systemd/system/$unit.d
    if [ -n "$1" ]; then
        mkdir -p "$dropins"
        sed "$1" /usr/share/doc/nmea-relay/examples/boat-network-only.conf >"$dropins/boat-network-only.conf"
    else
        rm -rf "$dropins"
    fi
    systemctl daemon-reload && systemctl restart "$unit" && wait_for 20 listening
}
# The relay listens on TCP port 10110: asked of the kernel, since a client would be a session.
listening() { [ -n "$(ss -Hltn 'sport = :10110')" ]; }

# held_by NAME: the program NAME listens on TCP port 10110, says the kernel's socket table.
held_by() { ss -Hltnp 'sport = :10110' | grep -q "((\"$1\","; }

# Another program listening on TCP port 10110, as Signal K server's own NMEA-0183 server does by
# default: systemd's socket-activation tool, which only listens while no client comes, under the
# name port-holder, the name the socket table then shows.
holder_up() {
    install -m 755 /usr/bin/systemd-socket-activate /usr/local/bin/port-holder
    systemctl reset-failed port-holder 2>/dev/null
    systemd-run --quiet --unit=port-holder /usr/local/bin/port-holder -l 0.0.0.0:10110 /bin/true &&
        wait_for 10 held_by port-holder
}

# unit_lines UNIT...: the journal's lines about these units since mark_journal.
mark_journal() { journalctl -q -n 1 --show-cursor | sed -n 's/^-- cursor: //p' >"$dir/cursor"; }
unit_lines() {
    local units=() name
    for name; do units+=(-u "$name"); done
    journalctl --no-pager -q --all --after-cursor="$(cat "$dir/cursor")" "${units[@]}"
}

# With port-holder on TCP port 10110, the package is installed: dpkg -i succeeds and says in one
# line which program holds the port, and the service stays enabled.
installed_over_holder() {
    local output pid line
    dpkg -r nmea-relay >/dev/null && holder_up || { echo "port-holder did not start"; return 1; }
    pid=$(systemctl show -P MainPID port-holder)
    mark_journal
    date +%s >"$dir/installed"
    output=$(dpkg -i "$deb" 2>&1) || { echo "dpkg -i failed: $output"; return 1; }
    line="nmea-relay: port 10110 is held by port-holder (pid $pid, TCP); the relay takes it once it is free, trying once a minute (see \"Port 10110 is taken\" in the README, or man nmea-relay)"
    grep '^nmea-relay: ' <<<"$output" | sed 's/^/dpkg -i said: /' | tee -a "$dir/measured"
    [ "$(grep -c '^nmea-relay: ' <<<"$output")" = 1 ] && grep -qxF "$line" <<<"$output" ||
        { echo "dpkg -i said: $output"; echo "expected: $line"; return 1; }
    [ "$(systemctl is-enabled "$unit")" = enabled ] || { unit_report; return 1; }
}

# held_quietly SECONDS LINES STARTS: the port held for SECONDS since the install, the relay's units
# (the service and its retry timer) wrote at most LINES journal lines and started it at most
# STARTS times; says what they wrote, and what 1.1.0's unit did beside.
held_quietly() {
    local lines starts left
    left=$(($(cat "$dir/installed") + $1 - $(date +%s)))
    [ "$left" -le 0 ] || sleep "$left"
    journal_report "$1" nmea-relay-1.1.0.service
    journal_report "$1" "$unit" nmea-relay-retry.timer
    lines=$(wc -l <"$dir/unit-lines")
    starts=$(grep -c 'bind(sock) failed Port 10110' "$dir/unit-lines")
    [ "$lines" -le "$2" ] && [ "$starts" -le "$3" ] || { cat "$dir/unit-lines"; return 1; }
}
journal_report() { # SECONDS UNIT...: what these units wrote, into $dir/unit-lines, and how often they started
    local seconds=$1
    shift
    unit_lines "$@" >"$dir/unit-lines"
    echo "$*, port held for $seconds s: $(wc -l <"$dir/unit-lines") journal lines, $(grep -c 'bind(sock) failed Port 10110' "$dir/unit-lines") starts, NRestarts $(systemctl show -P NRestarts "$1")" |
        tee -a "$dir/measured"
}

# freed_then_held LIMIT: once port-holder ends, the relay holds the port within LIMIT seconds.
freed_then_held() {
    local freed
    freed=${EPOCHREALTIME/./}
    systemctl stop port-holder
    wait_for 90 held_by nmea-relay || { echo "the relay did not take the port in 90 s"; unit_report; return 1; }
    echo "port freed: the relay held it $(((${EPOCHREALTIME/./} - freed) / 1000)) ms later" | tee -a "$dir/measured"
    [ $((${EPOCHREALTIME/./} - freed)) -le $(($1 * 1000000)) ]
}

# A relay that dies at every start (killed at once, through a drop-in) is started again and
# again until the start limit stops it, within LIMIT seconds; then nothing starts it for 10 s,
# and the retry timer waits to try again. How long a start takes under emulation varies, so the
# check waits for systemd's own line rather than sampling at a fixed time.
limit_met() { unit_lines "$unit" | grep -q 'Start request repeated too quickly'; }
deaths() { unit_lines "$unit" | grep -c 'Main process exited, code=killed'; }
crash_loop_braked() { # LIMIT
    local dropins=/etc/systemd/system/$unit.d began took started stopped held=0
    mkdir -p "$dropins"
    printf '[Service]\nExecStart=\nExecStart=/bin/sh -c "kill -9 $$$$"\n' >"$dropins/crash.conf"
    systemctl daemon-reload
    mark_journal
    began=$SECONDS
    systemctl restart "$unit"
    wait_for "$1" limit_met || held=1
    took=$((SECONDS - began))
    started=$(deaths)
    sleep 10
    stopped=$(deaths)
    echo "dying at every start: $started starts, then the start limit after $took s, $((stopped - started)) starts in the 10 s after; the retry timer $(systemctl is-active nmea-relay-retry.timer)" |
        tee -a "$dir/measured"
    [ "$held" = 0 ] && [ "$stopped" = "$started" ] && [ "$(systemctl is-active nmea-relay-retry.timer)" = active ] ||
        { unit_report; held=1; }
    systemctl stop "$unit"
    rm -rf "$dropins"
    systemctl daemon-reload && systemctl reset-failed "$unit" && systemctl start "$unit" &&
        wait_for 10 held_by nmea-relay || held=1
    return $held
}

# The unit as 1.1.0 shipped it, beside the installed one: restarted every 2 s for ever, whatever
# the exit status.
unit_before() {
    sed -e '/^OnFailure=/d' -e '/^RestartPreventExitStatus=/d' -e 's/^StartLimitIntervalSec=.*/StartLimitIntervalSec=0/' \
        -e 's/^RestartSec=.*/RestartSec=2/' "$(systemctl show -P FragmentPath "$unit")" \
        >/etc/systemd/system/nmea-relay-1.1.0.service
    systemctl daemon-reload && systemctl start nmea-relay-1.1.0
}

# port_taken SECONDS LINES STARTS: another program holds TCP port 10110 while the package is
# installed and for SECONDS after, with 1.1.0's unit beside the installed one, which may write at
# most LINES journal lines and start at most STARTS times; then 1.1.0's stops and the port is freed.
port_taken() {
    check "port 10110 held: dpkg -i succeeds, names the program in one line, leaves the service enabled" \
        installed_over_holder
    measured
    check "1.1.0's unit started beside it" unit_before
    check "port 10110 held for $1 s: at most $2 journal lines about the unit, at most $3 starts" held_quietly "$@"
    measured
    systemctl stop nmea-relay-1.1.0
    check "port 10110 freed: the relay holds it within 75 s" freed_then_held 75
    measured
    check "port 10110 freed: a client gets a datagram byte for byte; the log holds exactly its lines" relays
    check "port 10110 freed, then killed: back within 5 s" back_after_kill 5
    measured
    check "dying at every start: stopped by the start limit within 60 s, then the retry timer" crash_loop_braked 60
    measured
}

check=$(cat "$dir/check" 2>/dev/null)
if [ "$check" = port-taken-20min ]; then
    echo "== port 10110 taken for 20 minutes" >>"$dir/results"
    port_taken 1200 300 21
    echo "== done" >>"$dir/results"
    systemctl poweroff
    exit 0
fi

if [ ! -e "$dir/rebooted" ]; then
    echo "== first boot, with the package installed into the image" >>"$dir/results"
    check "installed into the image: enabled and active at first boot" unit_is enabled active
    check "installed into the image: relaying at first boot" relays
    check "dpkg -r: succeeds" dpkg -r nmea-relay
    check "dpkg -r: stopped" sh -c "! systemctl is-active $unit"
    check "dpkg -r: port 10110 closed" port_closed
    check "dpkg -P: succeeds" dpkg -P nmea-relay
    check "dpkg -P: nothing of the package left" purged
    check "on an ARMv6 board: dpkg -i refuses with one line saying why, installs nothing" armv6_refused
    check "fresh dpkg -i: succeeds" dpkg -i "$deb"
    check "fresh dpkg -i: enabled and active" unit_is enabled active
    check "fresh dpkg -i: dynamic unprivileged user, system-call filter on" confined
    check "fresh dpkg -i: systemd-analyze verify accepts the unit" \
        systemd-analyze verify --man=no "$unit"
    check "fresh dpkg -i: exposure $(exposure) is 2.0 or lower" \
        systemd-analyze security --threshold=20 "$unit"
    check "fresh dpkg -i: stays up for 15 s without a restart" stays_up 15
    check "fresh dpkg -i: a client gets a datagram byte for byte; the log holds exactly its lines" relays
    check "killed: restarted by systemd" back_after_kill 15
    measured
    if [ "$check" = port-taken ]; then
        echo "== port 10110 taken by another program" >>"$dir/results"
        port_taken 120 60 3
    fi
    touch "$dir/rebooted"
    systemctl reboot
    exit 0
fi

echo "== after a reboot" >>"$dir/results"
check "after a reboot: enabled and active" unit_is enabled active
check "after a reboot: relaying" relays
check "the boat's and the marina's hosts, each on a veth pair" hosts_up
restricted 's#192.168.1.0/24#192.0.2.0/24#'
check "boat network only: the boat's datagram byte for byte; the marina shut out, unlogged, not holding up the boat" boat_only
measured
restricted ''
check "open to all (the control): the marina served, and its flood holds up the boat" open_to_all
measured
restricted 's#192.168.1.0/24#192.0.2.0/24#'
check "boat network only: dpkg -i again succeeds" dpkg -i "$deb"
check "boat network only, installed again: the marina still shut out" eval '! marina_connects'
restricted ''
systemctl disable --now "$unit" >/dev/null 2>&1
check "disabled, then installed again: dpkg -i succeeds" dpkg -i "$deb"
check "disabled, then installed again: still disabled and stopped" unit_is disabled inactive
systemctl mask "$unit" >/dev/null 2>&1
check "masked, then installed again: dpkg -i succeeds" dpkg -i "$deb"
check "masked, then installed again: still masked" unit_is masked inactive
echo "== done" >>"$dir/results"
systemctl poweroff
