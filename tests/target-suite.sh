#!/bin/sh
# SPDX-License-Identifier: ISC
# The host's suite (build/default, built once) against a router build's
# programs, started through the command that runs them here; with
# --no-recipes, without the walks of docs/recipes.md, which take long and
# need the programs' build only once.
#   tests/target-suite.sh [--no-recipes] TARGET-BUILD RUNNER...
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
skip='man_lint|needed_libc_only'
[ "$1" != --no-recipes ] || { skip="$skip|recipe\..*"; shift; }
bindir=$1
shift
suite=$top/build/default
[ -f "$suite/CTestTestfile.cmake" ] || (cd "$top" && cmake --preset default >/dev/null)
cmake --build "$suite" >/dev/null
TEST_BINDIR=$bindir TEST_PREFIX="$*" ctest --test-dir "$suite" -j4 --timeout 120 \
	--output-on-failure -E "^($skip)$"
