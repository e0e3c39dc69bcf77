#!/bin/sh
# SPDX-License-Identifier: ISC
# The two programs as .clang-format lays them out, and the licence line at
# the top of every source, script, CMake file and man page.
set -eu
cd "$(dirname "$0")/.."
status=0
clang-format --dry-run --Werror sender/main.cpp receiver/server.cpp || status=1
for f in $(git ls-files '*.cpp' '*.h' '*.sh' '*.cmake' '*.1' '*CMakeLists.txt' \
	.ci/run .clang-format cmake/targets.txt); do
	head -n 3 "$f" | grep -q 'SPDX-License-Identifier: ISC' ||
		{ echo "$f: no SPDX-License-Identifier line at the top" >&2; status=1; }
done
[ "$status" -ne 0 ] || echo "style: ok"
exit $status
