#!/bin/sh
# Prepares what the MIPS32r2 big-endian soft-float musl build needs on a
# Debian machine: the cross compiler and qemu-user from Debian's packages,
# and musl built from Debian's own source package into a sysroot.
# Idempotent: what is already there is kept.
#
#   tools/prepare-mips.sh [SYSROOT]     (default: build/sysroot-mips)
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
sysroot=${1:-$top/build/sysroot-mips}
work=$top/build/musl-src
cflags="-march=mips32r2 -mtune=24kc -msoft-float -O2"

need=""
for p in gcc-mips-linux-gnu g++-mips-linux-gnu binutils-mips-linux-gnu qemu-user dpkg-dev; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || need="$need $p"
done

if [ -f "$sysroot/lib/libc.so" ] && [ -f "$sysroot/lib/Scrt1.o" ] && [ -z "$need" ]; then
	echo "prepare-mips: $sysroot is ready"
	exit 0
fi

updated=no
if [ -n "$need" ]; then
	apt-get update -q
	updated=yes
	apt-get install -y -q $need
fi

if [ ! -f "$sysroot/lib/libc.so" ] || [ ! -f "$sysroot/lib/Scrt1.o" ]; then
	# apt-get source needs a deb-src entry for the configured suite.
	if ! apt-get indextargets --format '$(IDENTIFIER)' 2>/dev/null | grep -qx Sources; then
		suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
		cat >/etc/apt/sources.list.d/debian-src.sources <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
		updated=no
	fi
	[ "$updated" = yes ] || apt-get update -q

	rm -rf "$work"
	mkdir -p "$work"
	(cd "$work" && apt-get source -q musl)
	src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'musl-*' | head -n 1)
	cd "$src"
	# Soft-float selects the mips-sf port, whose dynamic linker is
	# /lib/ld-musl-mips-sf.so.1.
	CC=mips-linux-gnu-gcc CFLAGS="$cflags" ./configure \
		--target=mips-linux-gnu --prefix=/ --syslibdir=/lib >/dev/null
	make -s -j"$(nproc)"
	rm -rf "$sysroot"
	make -s DESTDIR="$sysroot" install
	# The installed link is absolute and would point into the host.
	ln -sf libc.so "$sysroot/lib/ld-musl-mips-sf.so.1"
	rm -rf "$work"
fi
echo "prepare-mips: $sysroot is ready"
