#!/bin/sh
# SPDX-License-Identifier: ISC
# Installs what building and testing on the host needs, from Debian's
# packages; does nothing when all of it is there.
set -eu
need=""
for p in cmake g++ make ninja-build libgtest-dev iproute2 util-linux binutils mandoc clang clang-format nftables; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || need="$need $p"
done
if [ -n "$need" ]; then
	apt-get update -q
	apt-get install -y -q $need
fi
