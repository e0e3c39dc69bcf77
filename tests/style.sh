#!/bin/sh
# SPDX-License-Identifier: ISC
# Every C++ file as .clang-format lays it out; the licence line at the top
# of every source, script, CMake file and man page; and a build and a suite
# workflow for every router architecture of cmake/targets.txt, and no other.
set -eu
cd "$(dirname "$0")/.."
status=0
clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.h') || status=1
for f in $(git ls-files '*.cpp' '*.h' '*.sh' '*.cmake' '*.1' '*CMakeLists.txt' \
	.ci/run .clang-format cmake/targets.txt); do
	head -n 3 "$f" | grep -q 'SPDX-License-Identifier: ISC' ||
		{ echo "$f: no SPDX-License-Identifier line at the top" >&2; status=1; }
done

archs=$(sh tools/facts.sh --list)
workflows=$(cmake --list-presets=workflow | sed -n 's/^ *"\([^"]*\)".*/\1/p')
# The router targets' configure presets are those without a description.
targets=$(cmake --list-presets=configure | sed -n 's/^ *"\([^"]*\)" *$/\1/p')
for a in $archs; do
	echo "$targets" | grep -qx -- "$a" ||
		{ echo "CMakePresets.json: no configure preset $a for cmake/targets.txt's $a" >&2; status=1; }
	for p in "$a" "$a-suite"; do
		echo "$workflows" | grep -qx -- "$p" ||
			{ echo "CMakePresets.json: no workflow $p for cmake/targets.txt's $a" >&2; status=1; }
	done
done
for p in $targets; do
	echo "$archs" | grep -qx -- "$p" ||
		{ echo "CMakePresets.json: preset $p names no architecture of cmake/targets.txt" >&2; status=1; }
done
[ "$status" -ne 0 ] || echo "style: ok"
exit $status
