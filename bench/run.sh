#!/bin/sh
# SPDX-License-Identifier: ISC
# Benchmarks tossgram and server against OpenBSD nc and socat on loopback
# and writes bench/results/{results.md,results.csv,loss.dat,loss.png}.
# Prints figures; fails only when something could not be measured.
#
#   bench/run.sh [quick]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build/default
out=$top/bench/results

need=""
for p in netcat-openbsd socat strace; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || need="$need $p"
done
if [ -n "$need" ]; then
	apt-get update -q
	apt-get install -y -q $need
fi

cmake --preset default >/dev/null
cmake --build --preset default >/dev/null

mkdir -p "$out"
"$build/bench/bench" "$build/tossgram" "$build/server" "$build/bench/floor" "$out" "$@"

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
{
	echo "Measured $(date -u +%Y-%m-%d) on $(nproc) cores of ${cpu:-an unknown CPU}," \
		"Linux $(uname -r), $(ldd --version 2>/dev/null | head -n 1 | sed 's/^ldd //')."
	echo
	cat "$out/results.md"
} >"$out/results.tmp" && mv "$out/results.tmp" "$out/results.md"

if command -v gnuplot >/dev/null 2>&1; then
	gnuplot <<PLOT
set terminal png size 800,480
set output "$out/loss.png"
set title "Datagrams lost against offered rate, loopback"
set xlabel "offered rate (datagrams per second)"
set ylabel "lost (%)"
set logscale x
set key top left
set grid
plot for [i=2:4] "$out/loss.dat" using 1:i with linespoints title columnhead(i)
PLOT
fi
cat "$out/results.md"
