#!/bin/sh
# SPDX-License-Identifier: ISC
# Builds each fault of tests/mutants.txt into a copy of the programs and
# runs SUITE-BUILD's suite against it up to its first failing test, in a
# network namespace with loopback alone; the suite's checks of itself and
# the recipes' walks are left out, as the programs' own tests are quicker.
# Fails when a fault survives, when one marked equivalent is killed, and
# when a line does not apply or does not build.
#   tests/mutants.sh SUITE-BUILD [PATTERN]    (PATTERN: only those lines)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
suite=$(cd "$1" && pwd)
only=${2:-}
if [ "${MUTANTS_INSIDE:-}" != 1 ]; then
	exec unshare -n env MUTANTS_INSIDE=1 sh -c 'ip link set lo up && exec sh "$0" "$@"' "$0" "$@"
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/src"
(cd "$top" && git ls-files -z sender receiver CMakeLists.txt | xargs -0 cp --parents -t "$tmp/src")
cmake -S "$tmp/src" -B "$tmp/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=ON \
	-DBUILD_TESTING=OFF >"$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log"; exit 1; }

status=0 n=0 killed=0 equivalent=0
fault() { echo "mutants: FAULT IN LIST ($name): $*"; status=1; }
tab=$(printf '\t')
while IFS=$tab read -r file old new why; do
	case "$file" in '' | '#'*) continue ;; esac
	[ -z "$only" ] || case "$old$new$why" in *"$only"*) ;; *) continue ;; esac
	n=$((n + 1))
	name="$file: $why"
	perl -e '
		my ($f, $o, $n, $to) = map { s/\\n/\n/g; s/\\t/\t/g; $_ } @ARGV;
		local $/; open my $in, "<", $f or die; $_ = <$in>; close $in;
		exit 3 if (() = /\Q$o\E/g) != 1;
		s/\Q$o\E/$n/;
		open my $out, ">", $to or die; print $out $_;' "$top/$file" "$old" "$new" "$tmp/src/$file" ||
		{ fault "the text does not occur exactly once"; continue; }
	built=yes
	cmake --build "$tmp/build" >"$tmp/build.log" 2>&1 || built=no
	cp "$top/$file" "$tmp/src/$file"
	[ "$built" = yes ] || { cat "$tmp/build.log"; fault "it does not build"; continue; }
	if TOSSGRAM=$tmp/build/tossgram SERVER=$tmp/build/server \
		ctest --test-dir "$suite" -j6 --timeout 120 --stop-on-failure \
		-E '^(man_lint|needed_libc_only|suite\..*|recipe\..*)$' >"$tmp/suite.log" 2>&1; then
		case "$why" in
		equivalent:*) equivalent=$((equivalent + 1)); echo "mutants: equivalent ($name)" ;;
		*) echo "mutants: SURVIVED ($name)"; status=1 ;;
		esac
	else
		by=$(sed -n 's/^.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*$/\1/p' "$tmp/suite.log" | head -n 1)
		case "$why" in
		equivalent:*) echo "mutants: KILLED, YET MARKED EQUIVALENT ($name) by ${by:-?}"; status=1 ;;
		*) killed=$((killed + 1)); echo "mutants: killed ($name) by ${by:-?}" ;;
		esac
	fi
done <"$top/tests/mutants.txt"
# The last build is of the unchanged programs.
cmake --build "$tmp/build" >/dev/null 2>&1
echo "mutants: $n in the list, $killed killed, $equivalent equivalent"
exit $status
