#!/bin/bash
# What the service does on a board where another program holds TCP port 10110 for 20 minutes: the
# installed unit beside 1.1.0's (restarted every 2 s for ever), started together against the same
# listener. For each it prints the journal lines about it and how often it started; then, 1.1.0's
# stopped and the port freed, how soon the relay held it, and how soon it was back once killed.
# A measurement, not a test: about 30 minutes on an emulated PC.
# Usage, as root, with make deb's packages: bench/port_taken.sh DEBDIR WORKDIR [RELEASE:ARCH:KERNEL]
#   (the board defaults to bookworm:amd64:amd64; WORKDIR may be make test-board's, build/board)
set -euo pipefail
exec "$(dirname "$0")/../tests/board_test.sh" "$1" "$2" "${3:-bookworm:amd64:amd64}:port-taken-20min"
