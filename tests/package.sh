#!/bin/sh
# SPDX-License-Identifier: ISC
# Builds copies of the tree as Yocto (out-of-tree, no build type, its own
# CMAKE_<LANG>_FLAGS, tests on), Buildroot (the same, in-tree) and OpenWrt
# (in-tree, Ninja, its Release settings, flags and MIPS16 in the
# environment, a real libstdc++.so, no --as-needed) do for mips_24kc, with a
# toolchain file of their kind, without network; checks what each installs
# under DESTDIR, and runs the host's suite against OpenWrt's.
#   tests/package.sh     (after cmake --workflow --preset mips_24kc-suite)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
arch=mips_24kc
eval "$(sh "$top/tools/facts.sh" "$arch")"
sysroot=$top/build/sysroot-$arch
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "package: $name: $*" >&2; status=1; }

# What OpenWrt's include/cmake.mk writes: the compilers, the sysroot, and
# programs found on the host as well.
cat >"$tmp/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER $sysroot/bin/$prefix-gcc)
set(CMAKE_CXX_COMPILER $sysroot/bin/$prefix-g++)
set(CMAKE_FIND_ROOT_PATH $sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF

# package NAME SRC BUILD CMAKE-ARGS...: configures a copy of the tree, builds
# it verbosely into $log and installs it under $stage; false when it fails.
package() {
	name=$1 src=$2 bld=$3 log=$tmp/$1.log stage=$tmp/stage-$1
	shift 3
	mkdir -p "$src"
	(cd "$top" && git ls-files --cached --others --exclude-standard -z |
		xargs -0 cp --parents -t "$src")
	if ! unshare -n cmake -S "$src" -B "$bld" -DCMAKE_INSTALL_PREFIX=/usr \
		-DCMAKE_TOOLCHAIN_FILE="$tmp/toolchain.cmake" "$@" >"$log" 2>&1 ||
		! VERBOSE=1 cmake --build "$bld" -v >>"$log" 2>&1; then
		cat "$log" >&2
		fail "configure or build failed"
		return 1
	fi
	grep -q "the tests are not built" "$log" ||
		fail "configure did not say that the tests are not built"
	DESTDIR=$stage cmake --install "$bld" >/dev/null
	got=$(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort | tr '\n' ' ')
	[ "$got" = "usr/bin/server usr/bin/tossgram usr/share/man/man1/server.1 usr/share/man/man1/tossgram.1 " ] ||
		fail "installed: $got"
	set -- "$stage/usr/bin/tossgram" "$stage/usr/bin/server"
	sh "$top/tests/target-binary.sh" "$arch" "$@" >/dev/null ||
		fail "installed programs are not the target's"
	sh "$top/tests/target-binary.sh" --no-fpu "$arch" "$@" >/dev/null ||
		fail "installed programs hold floating-point instructions"
}

# Yocto and Buildroot: no build type, the packager's flags and none of ours.
distro() {
	package "$@" -DCMAKE_BUILD_TYPE= -DBUILD_TESTING=ON \
		-DCMAKE_C_FLAGS="-Os -pipe -g -DPACKAGER_FLAGS" \
		-DCMAKE_CXX_FLAGS="-Os -pipe -g -DPACKAGER_FLAGS" || return 0
	grep -q -- '-DPACKAGER_FLAGS' "$log" || fail "CMAKE_CXX_FLAGS not used"
	! grep -E -- '-O2|-O3|-DNDEBUG|-Werror' "$log" >/dev/null ||
		fail "flags of its own: $(grep -E -o -- '-O2|-O3|-DNDEBUG|-Werror' "$log" | sort -u | tr '\n' ' ')"
	for f in "$stage/usr/bin/tossgram" "$stage/usr/bin/server"; do
		"$triplet-readelf" -S "$f" | grep -q '\.symtab' || fail "$f was stripped at install"
	done
}

# OpenWrt's SDK holds a real libstdc++.so beside its libc, and its linker
# does not default to --as-needed: a program whose link names the C++
# runtime then needs it. Debian's libstdc++.so for the target stands in for
# the SDK's; it is built against glibc, so its own undefined symbols are
# let be, as the SDK's musl would define them.
sdk=$tmp/sdk-lib
mkdir -p "$sdk"
ln -s "/usr/$triplet/lib/libstdc++.so.6" "$sdk/libstdc++.so"
[ -e "$sdk/libstdc++.so" ] || { echo "package: no libstdc++.so.6 in /usr/$triplet/lib" >&2; exit 1; }

openwrt() {
	flags="-Os -pipe -mno-branch-likely -mips32r2 -mtune=24kc -fno-caller-saves -fno-plt -msoft-float -mips16 -minterlink-mips16 -Wformat -Werror=format-security -fstack-protector -D_FORTIFY_SOURCE=1"
	CFLAGS=$flags CXXFLAGS=$flags LDFLAGS="-Wl,-z,now -Wl,-z,relro -L$sdk -Wl,--no-as-needed,--allow-shlib-undefined" \
		package openwrt "$1" "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
		-DCMAKE_STRIP=: -DCMAKE_SKIP_RPATH=TRUE || return 0
	grep -q -- '-mips16 -minterlink-mips16' "$log" || fail "CFLAGS not used"
	for f in "$stage/usr/bin/tossgram" "$stage/usr/bin/server"; do
		"$triplet-readelf" -A "$f" | grep -q 'ASEs:.*MIPS16\|MIPS16 ASE' || fail "$f is not MIPS16 code"
		"$triplet-readelf" -d "$f" | grep -q 'BIND_NOW\|FLAGS.*NOW' || fail "$f is not linked with -z now"
	done
	# The suite against the installed programs, on the exact CPU.
	sh "$top/tests/target-suite.sh" --no-recipes "$stage/usr/bin" $qemu -L "$sysroot" >"$tmp/suite.log" 2>&1 ||
		{ cat "$tmp/suite.log" >&2; fail "the suite fails against the installed programs"; }
	grep 'tests passed' "$tmp/suite.log" | sed 's/^/package: openwrt: /'
}

distro yocto "$tmp/yocto-src" "$tmp/yocto-build"
distro buildroot "$tmp/buildroot-src" "$tmp/buildroot-src"
openwrt "$tmp/openwrt-src"
[ "$status" -ne 0 ] || echo "package: yocto, buildroot, openwrt: ok"
exit $status
