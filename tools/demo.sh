#!/bin/sh
# SPDX-License-Identifier: ISC
# The pair end to end on loopback: starts server on a free port, sends the
# default text and a message with tossgram from two more free ports, shows
# the lines, stops server.
#   tools/demo.sh [BUILD-DIR]     (default: build/default)
set -eu
bin=${1:-build/default}
out=$(mktemp)
pid=""
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -f "$out"' EXIT

# Any UDP socket on the port, bound or connected, holds it.
held() { ss -Huan "sport = :$1" | grep -q .; }

# The first port from $1 on that nothing holds. The ports lie below the
# ephemeral range, so that no outgoing socket takes one meanwhile.
free() {
	p=$1
	while held "$p"; do
		p=$((p + 1))
		[ "$p" -lt $(($1 + 100)) ] || { echo "demo: no free port from $1" >&2; return 1; }
	done
	echo "$p"
}

port=$(free 20001)
src1=$(free $((port + 1)))
src2=$(free $((src1 + 1)))

# Waits up to 2 s for the command to hold.
waits() {
	i=0
	until "$@"; do
		i=$((i + 1))
		[ "$i" -lt 200 ] || return 1
		sleep 0.01
	done
}

"$bin/server" "$port" >"$out" &
pid=$!
waits held "$port" || { echo "demo: server did not start" >&2; exit 1; }
echo "server listening on UDP port $port"

echo "\$ tossgram $src1 127.0.0.1 $port"
"$bin/tossgram" "$src1" 127.0.0.1 "$port"
echo "\$ tossgram $src2 127.0.0.1 $port 'hello, router'"
"$bin/tossgram" "$src2" 127.0.0.1 "$port" 'hello, router'

two_lines() { [ "$(wc -l <"$out")" -ge 2 ]; }
waits two_lines || { echo "demo: lines missing" >&2; exit 1; }
echo "server printed:"
sed 's/^/  | /' "$out"
