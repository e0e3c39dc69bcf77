#!/bin/sh
# SPDX-License-Identifier: ISC
# The same source at two paths of different lengths gives the same bytes:
# builds a copy at each with each preset ("default", or a router target
# with its compiler pair from build/sysroot-ARCH) and compares the programs
# and the packages.
#   tests/repro.sh PRESET...
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0

for dir in "$tmp/a" "$tmp/a-longer-path/src"; do
	mkdir -p "$dir"
	(cd "$top" && git ls-files --cached --others --exclude-standard -z |
		xargs -0 cp --parents -t "$dir")
done

# build DIR PRESET: configuring is most of it, and runs on one core, so
# the two paths build side by side.
build() {
	dir=$1 preset=$2 sysroot=""
	[ "$preset" = default ] || sysroot=-DTARGET_SYSROOT=$top/build/sysroot-$preset
	{ cmake -S "$dir" --preset "$preset" -DBUILD_TESTING=OFF ${sysroot:+"$sysroot"} &&
		cmake --build "$dir/build/$preset"; } >"$dir.$preset.log" 2>&1 ||
		{ cat "$dir.$preset.log" >&2; echo "repro: $preset: build failed" >&2; return 1; }
}

for preset in "$@"; do
	build "$tmp/a" "$preset" &
	first=$!
	build "$tmp/a-longer-path/src" "$preset" || exit 1
	wait "$first" || exit 1
	# A router build's packages too, each of them.
	for p in tossgram server $(cd "$tmp/a/build/$preset" && find packages -type f 2>/dev/null | sort); do
		if cmp -s "$tmp/a/build/$preset/$p" "$tmp/a-longer-path/src/build/$preset/$p"; then
			echo "repro: $preset: $p: identical"
		else
			echo "repro: $preset: $p differs between the two paths" >&2
			status=1
		fi
	done
done
exit $status
