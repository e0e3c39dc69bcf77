#!/bin/sh
# SPDX-License-Identifier: ISC
# The same source at two paths of different lengths gives the same bytes:
# builds a copy at each with each preset ("default", or a router target
# with its compiler pair from build/sysroot-ARCH) and compares the programs,
# the packages and the feed.
#   tests/repro.sh PRESET...
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
# One pair of throwaway keys signs the feed at both paths, under one name:
# signify writes its key's file name into each signature. Private keys
# stay under build/, never in /tmp.
keys=$top/build/repro-keys
trap 'rm -rf "$tmp" "$keys"' EXIT
status=0
rm -rf "$keys"
mkdir -p "$keys"
openssl genrsa -out "$keys/repro.rsa" 2048 2>/dev/null
signify-openbsd -G -n -p "$keys/repro.pub" -s "$keys/repro.sec"

for dir in "$tmp/a" "$tmp/a-longer-path/src"; do
	mkdir -p "$dir"
	(cd "$top" && git ls-files --cached --others --exclude-standard -z |
		xargs -0 cp --parents -t "$dir")
done

# build DIR PRESET: configuring is most of it, and runs on one core, so
# the two paths build side by side.
build() {
	dir=$1 preset=$2
	set --
	[ "$preset" = default ] || set -- -DTARGET_SYSROOT="$top/build/sysroot-$preset" \
		-DFEED_APK_KEY="$keys/repro.rsa" -DFEED_OPKG_KEY="$keys/repro.sec"
	{ cmake -S "$dir" --preset "$preset" -DBUILD_TESTING=OFF "$@" &&
		cmake --build "$dir/build/$preset"; } >"$dir.$preset.log" 2>&1 ||
		{ cat "$dir.$preset.log" >&2; echo "repro: $preset: build failed" >&2; return 1; }
}

for preset in "$@"; do
	build "$tmp/a" "$preset" &
	first=$!
	build "$tmp/a-longer-path/src" "$preset" || exit 1
	wait "$first" || exit 1
	# A router build's packages and feed too, each file of them.
	for p in tossgram server $(cd "$tmp/a/build/$preset" &&
		find packages feed feed-keys -type f 2>/dev/null | sort); do
		if cmp -s "$tmp/a/build/$preset/$p" "$tmp/a-longer-path/src/build/$preset/$p"; then
			echo "repro: $preset: $p: identical"
		else
			echo "repro: $preset: $p differs between the two paths" >&2
			status=1
		fi
	done
done
exit $status
