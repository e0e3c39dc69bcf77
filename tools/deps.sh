#!/bin/sh
# SPDX-License-Identifier: ISC
# The one place that installs Debian packages (by default what building
# and testing on the host needs), and only those missing; --missing prints
# those not installed.
#   tools/deps.sh [--no-recommends | --missing] [PKG...]
set -eu
missing() {
	for p in "$@"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || echo "$p"
	done
}
if [ "${1:-}" = --missing ]; then
	shift
	missing "$@"
	exit 0
fi
opts=""
if [ "${1:-}" = --no-recommends ]; then
	opts=--no-install-recommends
	shift
fi
[ $# -gt 0 ] || set -- cmake g++ make ninja-build libgtest-dev iproute2 util-linux \
	binutils mandoc clang clang-format nftables tcpdump conntrack \
	git python3 openssl signify-openbsd
need=$(missing "$@")
[ -n "$need" ] || exit 0
apt-get update -q
apt-get install -y -q $opts $need
