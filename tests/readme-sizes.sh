#!/bin/sh
# SPDX-License-Identifier: ISC
# The README's table gives each router build's stripped sizes in KiB, to a
# tenth: they must be those of the programs built, within 0.1 KiB.
#
#   tests/readme-sizes.sh ARCH README TOSSGRAM SERVER
eval "$(sh "$(dirname "$0")/../tools/facts.sh" "$1")" || exit 2
row=$(grep "^| \`$1\` |" "$2" | awk -F'|' '{ print $4 }')
set -- $(echo "$row" | tr -dc '0-9. ') "$3" "$4"
[ $# -eq 4 ] || { echo "README: no sizes for the build in '$row'" >&2; exit 1; }
status=0
for stated in "$1" "$2"; do
	f=$3
	shift
	tmp=$(mktemp)
	"$triplet-strip" -o "$tmp" "$f"
	kib=$(awk -v n="$(wc -c <"$tmp")" 'BEGIN { printf "%.2f", n / 1024 }')
	rm -f "$tmp"
	echo "$f: $kib KiB stripped, README: $stated KiB"
	awk -v a="$kib" -v b="$stated" 'BEGIN { d = a - b; exit !(d <= 0.1 && d >= -0.1) }' ||
		{ echo "$f: the README says $stated KiB" >&2; status=1; }
done
exit $status
