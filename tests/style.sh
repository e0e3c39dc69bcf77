#!/bin/sh
# SPDX-License-Identifier: ISC
# Every C++ file as .clang-format lays it out; the licence line at the top
# of every source, script, CMake file and man page; and a build and a suite
# workflow for every router architecture of cmake/targets.txt, and no other.
set -eu
cd "$(dirname "$0")/.."
status=0
clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.h') || status=1
for f in $(git ls-files '*.cpp' '*.h' '*.sh' '*.py' '*.nft' '*.cmake' '*.1' '*CMakeLists.txt' \
	.ci/run .clang-format cmake/targets.txt); do
	head -n 3 "$f" | grep -q 'SPDX-License-Identifier: ISC' ||
		{ echo "$f: no SPDX-License-Identifier line at the top" >&2; status=1; }
done

# The router targets' configure presets (those without a description) are
# cmake/targets.txt's architectures, each with an ARCH and ARCH-suite workflow.
archs=$(sh tools/facts.sh --list | sort)
targets=$(cmake --list-presets=configure | sed -n 's/^ *"\([^"]*\)" *$/\1/p' | sort)
[ "$targets" = "$archs" ] ||
	{ echo "CMakePresets.json: target presets" $targets "for cmake/targets.txt's" $archs >&2; status=1; }
workflows=$(cmake --list-presets=workflow)
for p in $(echo "$archs" | sed 'p; s/$/-suite/'); do
	echo "$workflows" | grep -q "^ *\"$p\"" || { echo "CMakePresets.json: no workflow $p" >&2; status=1; }
done
[ "$status" -ne 0 ] || echo "style: ok"
exit $status
