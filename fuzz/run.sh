#!/bin/sh
# Runs one libFuzzer target.
#
#   run.sh replay BINARY DIR...          every file of the DIRs, once each
#   run.sh fuzz BINARY NAME WORKDIR SRC  fuzz for $FUZZ_SECONDS (default 30)
#
# A fuzz run starts from SRC/corpus/NAME and SRC/regressions/NAME, keeps
# the inputs it finds in WORKDIR/corpus (never in the source tree), uses
# SRC/NAME.dict when there is one, and leaves any failing input in
# WORKDIR/artifacts.
set -eu

mode=$1 binary=$2
shift 2

case $mode in
replay)
	files=
	for dir in "$@"; do
		[ -d "$dir" ] || continue
		for f in "$dir"/*; do
			[ -f "$f" ] && files="$files $f"
		done
	done
	if [ -z "$files" ]; then
		echo "run.sh: no inputs in $*" >&2
		exit 1
	fi
	# shellcheck disable=SC2086
	exec "$binary" -close_fd_mask=3 $files
	;;
fuzz)
	name=$1 work=$2 src=$3
	seconds=${FUZZ_SECONDS:-30}
	mkdir -p "$work/corpus" "$work/artifacts"
	set -- -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
		-close_fd_mask=3 -artifact_prefix="$work/artifacts/"
	[ -f "$src/$name.dict" ] && set -- "$@" -dict="$src/$name.dict"
	[ -f "$src/$name.options" ] && set -- "$@" $(cat "$src/$name.options")
	set -- "$@" "$work/corpus" "$src/corpus/$name"
	[ -d "$src/regressions/$name" ] && set -- "$@" "$src/regressions/$name"
	exec "$binary" "$@"
	;;
*)
	echo "usage: $0 replay BINARY DIR... | fuzz BINARY NAME WORKDIR SRC" >&2
	exit 2
	;;
esac
