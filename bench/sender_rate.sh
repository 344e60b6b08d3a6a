#!/bin/bash
# How late a sender's sentences reach a client when it sends more datagrams than the relay takes
# (one a second): the real relay in a private network namespace, a sender of RATE numbered
# datagrams a second on loopback for SECONDS, and one client that prints, every 30 s, how late
# the datagrams reach it and how many the kernel dropped. The receive buffer is the kernel's
# default (net.core.rmem_default).
# Usage: bench/sender_rate.sh RELAY [RATE [SECONDS]]   (as root, or with user namespaces)
set -euo pipefail
relay=$(realpath "$1") rate=${2:-10} seconds=${3:-420}
[ "$(id -u)" = 0 ] && isolate=(unshare -n) || isolate=(unshare -rn)
echo "rmem_default $(cat /proc/sys/net/core/rmem_default) bytes; $rate datagrams a second for $seconds s"
exec "${isolate[@]}" bash -s "$relay" "$rate" "$seconds" <<'EOF'
set -euo pipefail
ip link set lo up
"$1" 2>/dev/null &
relay=$!
trap 'kill $relay $sender' EXIT
sleep 0.5
exec 3<>/dev/tcp/127.0.0.1/10110
sleep 1.5
# The sender: datagram N carries N and the time it was sent, in microseconds.
(
    exec 4>/dev/udp/127.0.0.1/10110
    interval=$(awk "BEGIN { print 1 / $2 }")
    for ((n = 1; n <= $2 * $3; n++)); do
        printf '$GPTXT,%d,%d\r\n' "$n" "${EPOCHREALTIME/./}" >&4
        sleep "$interval"
    done
) &
sender=$!
# The client: every 30 s, how late the datagram that has just arrived is, and how many of those
# sent before it never arrived; with the relay's queue in /proc/net/udp (its memory in use, in
# hexadecimal, and the datagrams the kernel dropped).
start=${EPOCHREALTIME/./} report=30 received=0
while IFS=, read -r -t 5 _ n sent <&3; do
    now=${EPOCHREALTIME/./} received=$((received + 1))
    if (((now - start) / 1000000 >= report)); then
        late=$(((now - ${sent%$'\r'}) / 1000))
        printf '%4d s: datagram %5d arrived %4d.%03d s late; %5d before it lost; queue %s\n' "$report" \
            "$n" $((late / 1000)) $((late % 1000)) $((n - received)) \
            "$(awk '$2 ~ /:277E$/ { print $5 ", dropped " $NF }' /proc/net/udp)"
        report=$((report + 30))
    fi
    (((now - start) / 1000000 < $3)) || break
done
EOF
