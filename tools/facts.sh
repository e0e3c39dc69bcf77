#!/bin/sh
# SPDX-License-Identifier: ISC
# Prints the facts of one router target from cmake/targets.txt as shell
# assignments, for eval:
#
#   eval "$(sh tools/facts.sh ARCH)"
#
# sets packages, triplet, prefix, processor, cpu, link, loader, qemu,
# runtime, elf and fpabi; fails naming the architectures known.
#
#   sh tools/facts.sh --list
#
# prints the architectures, one a line.
set -eu
table=$(dirname "$0")/../cmake/targets.txt
awk -F'|' -v arch="$1" '
	/^#/ { next }
	{ for (i = 1; i <= NF; i++) gsub(/^[ \t]+|[ \t]+$/, "", $i) }
	{ known = known " " $1 }
	arch == "--list" { print $1; found = 1 }
	$1 == arch {
		n = split("packages triplet prefix processor cpu link loader qemu runtime elf fpabi", f, " ")
		for (i = 1; i <= n; i++) {
			v = $(i + 1)
			gsub(/\047/, "\047\\\047\047", v)
			printf "%s=\047%s\047\n", f[i], v
		}
		found = 1
		exit
	}
	END { if (!found) { print "unknown target architecture \047" arch "\047; known:" known > "/dev/stderr"; exit 1 } }
' "$table"
