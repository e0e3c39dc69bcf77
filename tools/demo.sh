#!/bin/sh
# SPDX-License-Identifier: ISC
# The pair end to end on loopback: starts server on a free port, sends the
# default text and a message with tossgram, shows the lines, stops server.
#
#   tools/demo.sh [BUILD-DIR]     (default: build/default)
set -eu
bin=${1:-build/default}
out=$(mktemp)
pid=""
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -f "$out"' EXIT

bound() { ss -Hlun "sport = :$1" | grep -q .; }

port=""
for p in 47001 47002 47003 47004 47005 47006 47007 47008 47009 47010; do
	bound "$p" || { port=$p; break; }
done
[ -n "$port" ] || { echo "demo: no free port" >&2; exit 1; }

"$bin/server" "$port" >"$out" &
pid=$!
i=0
until bound "$port"; do
	i=$((i + 1))
	[ "$i" -lt 200 ] || { echo "demo: server did not start" >&2; exit 1; }
	sleep 0.01
done
echo "server listening on UDP port $port"

echo "\$ tossgram 40000 127.0.0.1 $port"
"$bin/tossgram" 40000 127.0.0.1 "$port"
echo "\$ tossgram 40001 127.0.0.1 $port 'hello, router'"
"$bin/tossgram" 40001 127.0.0.1 "$port" 'hello, router'

i=0
until [ "$(wc -l <"$out")" -ge 2 ]; do
	i=$((i + 1))
	[ "$i" -lt 200 ] || { echo "demo: lines missing" >&2; break; }
	sleep 0.01
done
echo "server printed:"
sed 's/^/  | /' "$out"
