#!/bin/sh
# SPDX-License-Identifier: ISC
# Each program must need the libc alone: a router without libstdc++ or
# libm must still run it.
status=0
for f in "$@"; do
	needed=$(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
	echo "$f: $needed"
	[ "$needed" = libc.so ] || [ "$needed" = libc.so.6 ] ||
		{ echo "$f: needs more or other than the libc" >&2; status=1; }
done
exit $status
