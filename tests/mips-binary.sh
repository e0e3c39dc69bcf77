#!/bin/sh
# Checks that each program is what the routers run: an ELF32 big-endian
# MIPS32r2 executable with the soft-float ABI, musl's soft-float dynamic
# linker, and libc.so as its only NEEDED entry. Prints the stripped size.
#
#   mips-binary.sh READELF STRIP FILE...
readelf=$1 strip=$2
shift 2
status=0
bad() { echo "$f: $*" >&2; status=1; }
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
for f in "$@"; do
	h=$("$readelf" -h "$f") || { bad "not an ELF file"; continue; }
	echo "$h" | grep -q 'Class: *ELF32' || bad "not ELF32"
	echo "$h" | grep -q 'Data: .*big endian' || bad "not big-endian"
	echo "$h" | grep -q 'Machine: *MIPS' || bad "not MIPS"
	echo "$h" | grep -q 'Flags:.*mips32r2' || bad "not MIPS32r2"
	echo "$h" | grep -q 'Type: *\(EXEC\|DYN\)' || bad "not an executable"
	"$readelf" -A "$f" | grep -q 'FP ABI: *Soft float' || bad "not the soft-float ABI"
	interp=$("$readelf" -l "$f" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
	[ "$interp" = /lib/ld-musl-mips-sf.so.1 ] || bad "interpreter is '$interp'"
	needed=$("$readelf" -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
	[ "$needed" = "libc.so " ] || bad "NEEDED is '$needed'"
	"$strip" -o "$tmp" "$f" && echo "$f: stripped size $(wc -c <"$tmp") bytes"
done
exit $status
