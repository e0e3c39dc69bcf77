#!/bin/sh
# SPDX-License-Identifier: ISC
# Writes the full-system check's initramfs without root, through the
# kernel's gen_init_cpio: musl's libc.so as the dynamic linker, the
# installed programs, our init, and an /etc whose resolver points at the
# guest's loopback, where nothing listens.
#   initramfs.sh GEN_INIT_CPIO INIT SYSROOT LOADER BUILD OUTPUT
set -eu
gen=$1 init=$2 sysroot=$3 loader=$4 build=$5 output=$6
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

DESTDIR=$tmp/stage cmake --install "$build" --prefix /usr >/dev/null
printf '127.0.0.1\tlocalhost\n10.0.2.15\trouter\n10.0.2.2\thost\n' >"$tmp/hosts"
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"$tmp/resolv.conf"
cat >"$tmp/list" <<LIST
dir /dev 0755 0 0
nod /dev/console 0600 0 0 c 5 1
dir /proc 0755 0 0
dir /sys 0755 0 0
dir /tmp 1777 0 0
dir /etc 0755 0 0
dir /lib 0755 0 0
dir /bin 0755 0 0
file /etc/hosts $tmp/hosts 0644 0 0
file /etc/resolv.conf $tmp/resolv.conf 0644 0 0
file $loader $sysroot/lib/libc.so 0755 0 0
file /bin/tossgram $tmp/stage/usr/bin/tossgram 0755 0 0
file /bin/server $tmp/stage/usr/bin/server 0755 0 0
file /init $init 0755 0 0
LIST
"$gen" "$tmp/list" | gzip -9 >"$output.tmp"
mv "$output.tmp" "$output"
