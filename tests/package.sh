#!/bin/sh
# Builds a copy of the tree the way OpenWrt, Buildroot and Yocto do: their
# own cross toolchain file, no build type, their own flags, tests asked for
# but GoogleTest absent from the sysroot, no network, a DESTDIR install; once
# in-tree and once out-of-tree. Then checks what got installed.
#
#   tests/package.sh [SYSROOT]     (default: build/sysroot-mips)
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
sysroot=${1:-$top/build/sysroot-mips}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "package: $*" >&2; status=1; }

expected="usr/bin/server
usr/bin/tossgram
usr/share/man/man1/server.1
usr/share/man/man1/tossgram.1"

copy() {
	mkdir -p "$1"
	(cd "$top" && git ls-files --cached --others --exclude-standard -z |
		xargs -0 cp --parents -t "$1")
}

# package NAME SRC BUILD
package() {
	name=$1 src=$2 bld=$3
	stage=$tmp/stage-$name
	log=$tmp/$name.log
	# No network: a configure step that tried to fetch would fail here.
	if ! unshare -n cmake -S "$src" -B "$bld" \
		-DCMAKE_TOOLCHAIN_FILE="$src/cmake/mips32r2-sf-musl.cmake" \
		-DMUSL_SYSROOT="$sysroot" \
		-DCMAKE_BUILD_TYPE= \
		-DCMAKE_C_FLAGS="-Os -pipe -g -DPACKAGER_FLAGS" \
		-DCMAKE_CXX_FLAGS="-Os -pipe -g -DPACKAGER_FLAGS" \
		-DCMAKE_INSTALL_PREFIX=/usr \
		-DBUILD_TESTING=ON >"$log" 2>&1; then
		cat "$log" >&2
		fail "$name: configure failed"
		return
	fi
	grep -q "GoogleTest not found: the tests are not built" "$log" ||
		fail "$name: configure did not say that the tests are not built"
	if ! cmake --build "$bld" -- VERBOSE=1 >>"$log" 2>&1; then
		cat "$log" >&2
		fail "$name: build failed"
		return
	fi
	# The packager's flags reach the compiler, and none of a build type.
	grep -q -- '-DPACKAGER_FLAGS' "$log" || fail "$name: CMAKE_CXX_FLAGS not used"
	! grep -E -- '-O2|-O3|-DNDEBUG' "$log" >/dev/null ||
		fail "$name: flags of its own: $(grep -E -o -- '-O2|-O3|-DNDEBUG' "$log" | sort -u | tr '\n' ' ')"
	DESTDIR=$stage cmake --install "$bld" >/dev/null
	got=$(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort)
	[ "$got" = "$expected" ] || fail "$name: installed:
$got"
	sh "$top/tests/mips-binary.sh" mips-linux-gnu-readelf mips-linux-gnu-strip \
		"$stage/usr/bin/tossgram" "$stage/usr/bin/server" >/dev/null ||
		fail "$name: installed programs are not the target's"
	for f in "$stage/usr/bin/tossgram" "$stage/usr/bin/server"; do
		mips-linux-gnu-readelf -S "$f" | grep -q '\.symtab' ||
			fail "$name: $f was stripped at install"
	done
	[ "$status" -ne 0 ] || echo "package: $name: ok"
}

copy "$tmp/out-src"
package out-of-tree "$tmp/out-src" "$tmp/out-build"
copy "$tmp/in-src"
package in-tree "$tmp/in-src" "$tmp/in-src"
exit $status
