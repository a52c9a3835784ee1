#!/bin/sh
# The checks of .clang-tidy over the program's sources (tests aside), with
# the compile commands of the build folder $2; each finding is an error.
cd "${1:-.}" || exit 1
build=${2:-build/check}
if ! command -v clang-tidy >/dev/null; then
	echo "tidy: clang-tidy is not installed (scripts/install-deps installs it)"
	exit 1
fi
ls src/*/*.cc | grep -v -e '_test\.cc$' -e '^src/testing/' |
	xargs -P 2 -n 4 clang-tidy -p "$build" --quiet 2>/dev/null
status=$?
[ "$status" -eq 0 ] && echo "tidy: clean"
exit "$status"
