#!/bin/sh
# SPDX-License-Identifier: ISC
# Builds the routers' kind of kernel for qemu's malta board from Debian's
# linux-source-6.1 with its mips-linux-gnu cross compiler: tinyconfig plus
# kernel.config (FPU support off). Cached outside the tree, keyed on the
# fragment and the two packages' versions; copies vmlinux, .config and
# gen_init_cpio into OUTDIR. With --install, installs what it needs only.
#   tests/vm/kernel.sh OUTDIR | --install
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=$1
cache_root=${TOSSGRAM_VM_CACHE:-/var/cache/tossgram-vm}

deps=$here/../../tools/deps.sh
sh "$deps" --no-recommends linux-source-6.1 gcc-mips-linux-gnu make gcc bc flex bison xz-utils
# Without the emulator the check skips; the kernel is built all the same.
sh "$deps" --no-recommends qemu-system-mips ||
	echo "kernel: qemu-system-mips cannot be installed here" >&2
[ "$out" != --install ] || exit 0

version() { dpkg-query -W -f='${Version}' "$1"; }
key=$({ cat "$here/kernel.config"; version linux-source-6.1; version gcc-mips-linux-gnu; } |
	sha256sum | cut -c1-16)
cache=$cache_root/$key
if [ ! -f "$cache/vmlinux" ]; then
	work=$(mktemp -d)
	trap 'rm -rf "$work"' EXIT
	echo "kernel: building into $cache (a few minutes)"
	tar -xaf /usr/src/linux-source-6.1.tar.xz -C "$work"
	src=$work/linux-source-6.1
	k() { make -s -C "$src" ARCH=mips CROSS_COMPILE=mips-linux-gnu- "$@"; }
	k tinyconfig >/dev/null
	"$src/scripts/kconfig/merge_config.sh" -m -O "$src" "$src/.config" "$here/kernel.config" >/dev/null
	k olddefconfig >/dev/null
	k -j"$(nproc)" vmlinux >/dev/null
	gcc -O2 -o "$src/usr/gen_init_cpio" "$src/usr/gen_init_cpio.c"
	mkdir -p "$cache.tmp"
	cp "$src/vmlinux" "$src/.config" "$src/usr/gen_init_cpio" "$cache.tmp/"
	rm -rf "$cache"
	mv "$cache.tmp" "$cache"
else
	echo "kernel: cached in $cache"
fi
mkdir -p "$out"
cp "$cache/vmlinux" "$cache/gen_init_cpio" "$cache/.config" "$out/"
