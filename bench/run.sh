#!/bin/sh
# SPDX-License-Identifier: ISC
# Benchmarks tossgram and server against OpenBSD nc and socat on loopback,
# server built against glibc and against musl (the x86_64 router build).
# Writes its tables, dated, to build/bench/results.txt and, with gnuplot,
# the loss to build/bench/loss.png. Fails only where it cannot measure.
#   bench/run.sh [quick]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build/bench-build
out=$top/build/bench

sh "$top/tools/deps.sh" netcat-openbsd socat strace

cd "$top"
cmake --workflow --preset bench >/dev/null
sh tools/prepare-target.sh x86_64 >/dev/null
cmake --workflow --preset x86_64 >/dev/null

mkdir -p "$out"
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
{
	echo "Measured $(date -u +%Y-%m-%d) on $(nproc) cores of ${cpu:-an unknown CPU}," \
		"Linux $(uname -r), $(ldd --version 2>/dev/null | head -n 1 | sed 's/^ldd //')" \
		"and musl $(cat "$top/build/src/musl/VERSION")."
	echo
	"$build/bench" "$build/tossgram" "$build/server" "$out" \
		"${1:-full}" "$top/build/sysroot-x86_64/lib/libc.so" "$top/build/x86_64/server"
} | tee "$out/results.txt"

if command -v gnuplot >/dev/null 2>&1; then
	gnuplot <<PLOT
set terminal png size 800,480
set output "$out/loss.png"
set title "Datagrams lost against offered rate, loopback: $(head -n 1 "$out/results.txt")"
set xlabel "offered rate (datagrams per second)"
set ylabel "lost (%)"
set logscale x
set key top left
set grid
plot for [i=2:*] "$out/loss.dat" using 1:i with linespoints title columnhead(i)
PLOT
fi
