#!/bin/sh
# The lint's rule on includes, tried on small trees: each case is one file
# with one include line, and the lint's whole output and status for it.
lint="$(cd "$(dirname "$0")" && pwd)/lint.sh"
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failed=0

# expect <name> <status> <expected output>: the lint on the tree <name>.
expect() {
	out=$(sh "$lint" "$work/$1")
	status=$?
	if [ "$status" != "$2" ] || [ "$out" != "$3" ]; then
		echo "lint_test: $1: status $status, output:"
		echo "$out"
		echo "lint_test: $1: wanted status $2, output:"
		echo "$3"
		failed=1
	fi
}

# case <name> <file under src/> <include> <status> <expected output>
case_() {
	mkdir -p "$work/$1/src/$(dirname "$2")"
	printf '// a file\n#include <cstdio>\n\n#include "%s"\n' "$3" >"$work/$1/src/$2"
	expect "$1" "$4" "$5"
}

up="lint: an include that points up or across the layers:"
case_ StoreIncludesRun store/insert.cc run/run.h 1 "$up
src/store/insert.cc:4: store/ may not include run/run.h"
case_ StoreIncludesRender store/maintain.cc render/render.h 1 "$up
src/store/maintain.cc:4: store/ may not include render/render.h"
case_ StoreIncludesConfig store/retrieve.cc config/config.h 1 "$up
src/store/retrieve.cc:4: store/ may not include config/config.h"
case_ RenderIncludesStore render/output.cc store/store.h 1 "$up
src/render/output.cc:4: render/ may not include store/store.h"
case_ ConfigIncludesRun config/grammar.y run/run.h 1 "$up
src/config/grammar.y:4: config/ may not include run/run.h"
case_ CommonIncludesPool common/common.h pool/pool.h 1 "$up
src/common/common.h:4: common/ may not include pool/pool.h"
case_ RunIncludesTool run/phases.cc storetool/storetool.h 1 "$up
src/run/phases.cc:4: run/ may not include storetool/storetool.h"
case_ NotRooted store/bdb.cc bdb.h 1 "$up
src/store/bdb.cc:4: \"bdb.h\" is not rooted at src/"
case_ NewFolder extra/extra.cc common/common.h 1 "$up
src/extra/extra.cc:4: src/extra/ has no place among the layers"
case_ RenderIncludesConfig render/generate.cc config/config.h 0 "lint: clean"
case_ StoreIncludesCommon store/handle.cc common/common.h 0 "lint: clean"
case_ RunIncludesStore run/phases.cc store/store.h 0 "lint: clean"
case_ ToolIncludesRun storetool/list.cc run/run.h 0 "lint: clean"
case_ TestIncludesRun store/insert_test.cc run/run.h 0 "lint: clean"
case_ TestHelperIncludesRun store/test_util.h run/run.h 0 "lint: clean"
case_ Toolkit testing/test_util.h run/run.h 0 "lint: clean"

# A file that is not formatted is named with its line and column.
mkdir -p "$work/Unformatted/src/pool"
printf 'int f()  { return 1; }\n' >"$work/Unformatted/src/pool/pool.cc"
expect Unformatted 1 "lint: not formatted as .clang-format says (clang-format -i fixes it):
src/pool/pool.cc:1:8"

[ "$failed" -eq 0 ] && echo "lint_test: every case as expected"
exit "$failed"
