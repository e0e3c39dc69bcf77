#!/bin/sh
# SPDX-License-Identifier: ISC
# Runs the probe (through the command that runs target programs) and checks
# every number it prints against what the C and C++ rules make of them.
#   probe.sh [RUNNER...] PROBE
out=$("$@") || { echo "probe: exit status $?" >&2; exit 1; }
expected='123456789012 345 2635249153387078793 6
-123580369381
1.5 0.5 1.5e+10 0.5
1500 1500000000000000
5.436564 2.718e-06 1
destroyed at exit'
[ "$out" = "$expected" ] && exit 0
printf 'probe printed:\n%s\nexpected:\n%s\n' "$out" "$expected" >&2
exit 1
