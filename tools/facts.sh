#!/bin/sh
# SPDX-License-Identifier: ISC
# The facts of one router target of cmake/targets.txt as shell assignments
# (packages, triplet, prefix, processor, cpu, link, loader, qemu, runtime,
# elf, fpabi, labels), or with --list the architectures, one a line.
#   eval "$(sh tools/facts.sh ARCH)"
set -eu
table=$(dirname "$0")/../cmake/targets.txt
awk -F'|' -v arch="$1" '
	/^#/ { next }
	{ for (i = 1; i <= NF; i++) gsub(/^[ \t]+|[ \t]+$/, "", $i) }
	{ known = known " " $1 }
	arch == "--list" { print $1; found = 1 }
	$1 == arch {
		n = split("packages triplet prefix processor cpu link loader qemu runtime elf fpabi labels", f, " ")
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
