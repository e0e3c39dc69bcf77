#!/bin/sh
# SPDX-License-Identifier: ISC
# Prepares build/sysroot-ARCH for a router target of cmake/targets.txt
# (default mips_24kc) on Debian, as root: Debian's cross compiler, python3
# (the packer), openssl and signify-openbsd (the feed's signers) and
# qemu-user; for soft-float targets a soft-float libgcc.a built from
# gcc-12-source (Debian's cross libgcc is hard-float); musl from
# its Debian source package; the compiler's crt objects and an empty
# libstdc++.a, so that a C++ link that needs no C++ runtime succeeds and one
# that does fails; and bin/PREFIX-gcc and -g++: Debian's cross compiler
# with the CPU flags and a specs file that puts musl and that runtime in
# place of glibc and the compiler's own, binutils beside them. A sysroot
# prepared from the same facts is kept.
#   tools/prepare-target.sh [ARCH]
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-mips_24kc}
eval "$(sh "$top/tools/facts.sh" "$arch")"
sysroot=$top/build/sysroot-$arch
src=$top/build/src
work=$top/build/prepare-$arch
stamp="$arch|$packages|$triplet|$prefix|$cpu|$link|$loader|$runtime|$(cksum <"$0")"

emulator=qemu-user
[ "$qemu" != - ] || emulator=""
need=$(sh "$top/tools/deps.sh" --missing $packages dpkg-dev python3 openssl signify-openbsd $emulator)

if [ -z "$need" ] && [ -f "$sysroot/.prepared" ] && [ "$(cat "$sysroot/.prepared")" = "$stamp" ]; then
	echo "prepare-target: $sysroot is ready"
	exit 0
fi

# apt-get source needs a deb-src entry. Where none is configured, one is
# derived from the configured deb entry that holds musl (same URI, suite,
# component and keyring) and kept, with its package index, under build/src:
# the machine's apt sources and state stay as they were.
apt_src=""
deb_src() {
	if apt-get indextargets --format '$(IDENTIFIER)' 2>/dev/null | grep -qx Sources; then
		return
	fi
	set -- $(apt-cache madison musl | awk -F'|' 'NR == 1 { print $3 }') "" ""
	uri=$1 suite=${2%%/*} component=${2#*/}
	[ -n "$uri" ] || { echo "prepare-target: no configured source has musl" >&2; exit 1; }
	keyring=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v uri="$uri" '
		BEGIN { RS = "" }
		$0 ~ "URIs:[^\n]*" uri { if (match($0, /Signed-By: *[^\n]+/)) { s = substr($0, RSTART, RLENGTH); sub(/Signed-By: */, "", s); print s; exit } }')
	[ -n "$keyring" ] || keyring=$(grep -hs "^deb .*$uri" /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
		sed -n 's/.*signed-by=\([^] ]*\).*/\1/p' | head -n 1)
	apt=$src/apt
	mkdir -p "$apt/lists/partial" "$apt/parts"
	echo "deb-src ${keyring:+[signed-by=$keyring] }$uri $suite $component" >"$apt/sources.list"
	apt_src="-o Dir::Etc::SourceList=$apt/sources.list -o Dir::Etc::SourceParts=$apt/parts
		-o Dir::State::Lists=$apt/lists -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache="
	apt-get $apt_src update -q
}

[ -z "$need" ] || sh "$top/tools/deps.sh" $need

cc="$triplet-gcc"
gccinc=$($cc -print-file-name=include)
rm -rf "$work" "$sysroot"
mkdir -p "$work" "$src" "$sysroot/lib" "$sysroot/bin"
lib=$sysroot/lib

# The compiler runtime.
if [ "$runtime" = soft-fp ]; then
	gcc=$src/gcc-12
	if [ ! -f "$gcc/.unpacked" ]; then
		rm -rf "$gcc"
		mkdir -p "$gcc"
		(cd "$work" && apt-get download -q gcc-12-source)
		dpkg-deb --fsys-tarfile "$work"/gcc-12-source_*.deb |
			tar -xO --wildcards './usr/src/gcc-12/gcc-*.tar.xz' |
			tar -xJ -C "$gcc" --strip-components=1 --wildcards \
				'gcc-*/libgcc/*' 'gcc-*/include/*'
		touch "$gcc/.unpacked"
	fi
	# Stand-ins for the headers that a full GCC build generates.
	mkdir -p "$work/rt/include"
	(cd "$work/rt/include" && touch tconfig.h coretypes.h libgcc_tm.h)
	printf '#define MIN_UNITS_PER_WORD 4\n#define LIBGCC2_UNITS_PER_WORD 4\n' >"$work/rt/include/tm.h"
	printf '#define inhibit_libc\n#include <stddef.h>\n#include <float.h>\n#define abort() __builtin_abort()\n' \
		>"$work/rt/include/tsystem.h"
	# Hidden, as in libgcc.a, so that libc.so exports none of them.
	rtflags="$cpu -O2 -fPIC -fvisibility=hidden -fbuilding-libgcc -fno-stack-protector
		-DIN_LIBGCC2 -DHIDE_EXPORTS -nostdinc -isystem $gccinc
		-I$work/rt/include -I$gcc/libgcc -I$gcc/include
		-I$gcc/libgcc/config/mips -I$gcc/libgcc/soft-fp"
	softfp=""
	for m in sf df; do
		for f in add sub mul div; do softfp="$softfp $f${m}3"; done
		for f in neg eq ge le unord; do softfp="$softfp $f${m}2"; done
		for i in si di; do
			softfp="$softfp fix$m$i fixuns$m$i float$i$m floatun$i$m"
		done
	done
	softfp="$softfp extendsfdf2 truncdfsf2"
	helpers="_muldi3 _negdi2 _lshrdi3 _ashldi3 _ashrdi3 _cmpdi2 _ucmpdi2
		_absvsi2 _absvdi2 _addvsi3 _addvdi3 _subvsi3 _subvdi3 _mulvsi3
		_mulvdi3 _negvsi2 _negvdi2 _ffssi2 _ffsdi2 _clz _clzsi2 _clzdi2
		_ctzsi2 _ctzdi2 _popcount_tab _popcountsi2 _popcountdi2 _paritysi2
		_paritydi2 _powisf2 _powidf2 _mulsc3 _muldc3 _divsc3 _divdc3
		_bswapsi2 _bswapdi2 _clrsbsi2 _clrsbdi2 _divdi3 _moddi3 _divmoddi4
		_udivdi3 _umoddi3 _udivmoddi4 _udiv_w_sdiv"
	for f in $softfp; do
		$cc $rtflags -c "$gcc/libgcc/soft-fp/$f.c" -o "$work/rt/$f.o"
	done
	for f in $helpers; do
		$cc $rtflags -DL$f -c "$gcc/libgcc/libgcc2.c" -o "$work/rt/$f.o"
	done
	"$triplet-ar" rcs "$lib/libgcc.a" "$work"/rt/*.o
	libcc=$lib/libgcc.a
else
	libcc=$($cc $cpu -print-libgcc-file-name)
fi

# musl, out of the tree of its source, which all targets share.
if [ ! -f "$src/musl/configure" ]; then
	rm -rf "$src/musl" "$work/musl-src"
	mkdir -p "$work/musl-src"
	deb_src
	(cd "$work/musl-src" && apt-get $apt_src source -q musl)
	mv "$(find "$work/musl-src" -mindepth 1 -maxdepth 1 -type d -name 'musl-*' | head -n 1)" "$src/musl"
fi
mkdir -p "$work/musl"
(
	cd "$work/musl"
	CC=$cc CFLAGS="$cpu -O2" LIBCC=$libcc "$src/musl/configure" \
		--target="$triplet" --prefix=/ --syslibdir=/lib >/dev/null
	make -s -j"$(nproc)"
	make -s DESTDIR="$sysroot" install
)
# musl's own wrapper wants a host compiler for the target; the pair below
# takes its place.
rm -f "$sysroot/bin/musl-gcc" "$lib/musl-gcc.specs"
# The installed link is absolute and would point into the host.
ln -sf libc.so "$sysroot${loader}"

# Start and end files of the compiler; the soft-float targets' copies
# lose their hard-float tags (they hold no floating-point code), which
# would otherwise make the linker warn on every link.
for f in crtbegin.o crtbeginS.o crtbeginT.o crtend.o crtendS.o; do
	if [ "$runtime" = soft-fp ]; then
		"$triplet-objcopy" -R .gnu.attributes -R .MIPS.abiflags "$($cc -print-file-name=$f)" "$lib/$f"
	else
		cp "$($cc -print-file-name=$f)" "$lib/$f"
	fi
done
"$triplet-ar" rc "$lib/libstdc++.a"

libgcc_spec="libgcc.a%s %:if-exists(libgcc_eh.a%s)"
[ "$runtime" != soft-fp ] || libgcc_spec="$lib/libgcc.a"
cat >"$lib/$prefix.specs" <<SPECS
%rename cpp_unique_options old_cpp_unique_options
%rename link old_link

*cpp_unique_options:
-nostdinc -isystem $sysroot/include -isystem include%s %(old_cpp_unique_options)

*link_libgcc:
-L$lib

*libgcc:
$libgcc_spec

*startfile:
%{shared:;static:$lib/crt1.o;static-pie:$lib/rcrt1.o;!no-pie:$lib/Scrt1.o;:$lib/crt1.o} $lib/crti.o %{static:$lib/crtbeginT.o;shared|static-pie|!no-pie:$lib/crtbeginS.o;:$lib/crtbegin.o}

*endfile:
%{static:$lib/crtend.o;shared|static-pie|!no-pie:$lib/crtendS.o;:$lib/crtend.o} $lib/crtn.o

*link:
%(old_link) %{!static:%{!static-pie:%{!shared:-dynamic-linker $loader}}} -nostdlib $link

SPECS
for tool in gcc g++; do
	cat >"$sysroot/bin/$prefix-$tool" <<WRAP
#!/bin/sh
# $prefix-$tool: Debian's $triplet-$tool for musl, made by tools/prepare-target.sh.
exec $triplet-$tool $cpu -specs "$lib/$prefix.specs" "\$@"
WRAP
	chmod +x "$sysroot/bin/$prefix-$tool"
done
# Debian's binutils under the pair's prefix, as a build system that derives
# them from the compiler's name looks for them (cmake --install --strip).
for tool in ar as ld nm objcopy objdump ranlib readelf strip; do
	ln -sf "$(command -v "$triplet-$tool")" "$sysroot/bin/$prefix-$tool"
done

rm -rf "$work"
echo "$stamp" >"$sysroot/.prepared"
echo "prepare-target: $sysroot is ready"
