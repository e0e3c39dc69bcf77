#!/bin/sh
# SPDX-License-Identifier: ISC
# Checks that each file is what the routers of ARCH run (cmake/targets.txt):
# ELF class, byte order and machine, float ABI, musl's dynamic linker and
# libc.so as the only NEEDED entry; prints the stripped size. With
# --no-fpu, that no file holds a floating-point instruction: the routers
# have no FPU, and their kernels no FPU emulation.
#
# With --readme, the stripped sizes are those README's table gives for ARCH
# in KiB, to a tenth, file by file.
#   target-binary.sh [--no-fpu | --readme README] ARCH FILE...
nofpu=no readme=""
[ "$1" != --no-fpu ] || { nofpu=yes; shift; }
[ "$1" != --readme ] || { readme=$2; shift 2; }
eval "$(sh "$(dirname "$0")/../tools/facts.sh" "$1")" || exit 2
[ -z "$readme" ] || sizes=$(echo $(grep "^| \`$1\` |" "$readme" | awk -F'|' '{ print $4 }' | tr -dc '0-9. '))
shift
status=0
bad() { echo "$f: $*" >&2; status=1; }

if [ "$nofpu" = yes ]; then
	for f in "$@"; do
		# Coprocessor 1 is the FPU: its mnemonics carry a format
		# suffix (add.d, cvt.s.w, c.lt.d) or name it (mtc1, lwc1,
		# bc1t); movt/movf test its condition codes. Data words in
		# the text (.word) are no instructions.
		n=$("$triplet-objdump" -d "$f" | awk -F'\t' '
			NF >= 3 && $3 !~ /^\./ && ($3 ~ /\./ || $3 ~ /c1/ || $3 ~ /^mov[tf]$/) { n++ }
			END { print n + 0 }')
		[ "$n" -eq 0 ] || bad "$n floating-point instructions"
		echo "$f: $n floating-point instructions"
	done
	exit $status
fi

set -- $elf "$@"
class=$1 order=$2 machine=$3
shift 3
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
for f in "$@"; do
	h=$("$triplet-readelf" -h "$f") || { bad "not an ELF file"; continue; }
	echo "$h" | grep -q "Class: *$class" || bad "not $class"
	echo "$h" | grep -q "Data: .*$order endian" || bad "not $order-endian"
	echo "$h" | grep -q "Machine: .*$machine" || bad "not $machine"
	echo "$h" | grep -q 'Type: *\(EXEC\|DYN\)' || bad "not an executable"
	[ "$fpabi" = - ] || "$triplet-readelf" -A "$f" | grep -q "$fpabi" ||
		bad "float ABI is not '$fpabi'"
	interp=$("$triplet-readelf" -l "$f" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
	[ "$interp" = "$loader" ] || bad "interpreter is '$interp'"
	needed=$("$triplet-readelf" -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
	[ "$needed" = "libc.so " ] || bad "NEEDED is '$needed'"
	"$triplet-strip" -o "$tmp" "$f" && echo "$f: stripped size $(wc -c <"$tmp") bytes"
	[ -z "$readme" ] && continue
	stated=${sizes%% *} sizes=${sizes#"$stated"} sizes=${sizes# }
	awk -v n="$(wc -c <"$tmp")" -v s="$stated" 'BEGIN { d = n / 1024 - s; exit !(s != "" && d <= 0.1 && d >= -0.1) }' ||
		bad "the README says '$stated' KiB stripped"
done
exit $status
