#!/bin/sh
# Whole-process benchmarks, each dorvane run next to what it cannot avoid.
#
#   whole.sh [--tiny] DORVANE DORVANE_BENCH [OUT]
#
# Writes one line per case to OUT (default standard output), tab-separated:
#   ratio <case> <dorvane median s> <baseline median s> <budget>
#   alone <case> <median s> <peak memory KiB>
#   bytes <case> <bytes written> <bytes of the pages changed> <most allowed>
# --tiny runs each command twice (a smoke test; the times mean nothing).
# The -g case necessarily writes /tmp/.dorvane.conf.temp.
set -eu

rounds=6
per_round="--warmup 1 --runs 6"
tiny=
if [ "${1:-}" = --tiny ]; then
	rounds=1
	per_round="--runs 2"
	tiny=yes
	shift
fi
dorvane=$1
bench=$2
# dorvane-store is built beside dorvane.
store_tool=$(dirname "$dorvane")/dorvane-store
out=${3:-/dev/stdout}

# A run refuses configuration that group or others may write.
umask 022
dir=$(mktemp -d /tmp/dorvane-whole-XXXXXX)
trap 'rm -rf "$dir"' EXIT INT TERM

# 100 trivial collects, and the same 100 commands run by a shell loop.
i=1
: >"$dir/collect.conf"
: >"$dir/loop.sh"
while [ $i -le 100 ]; do
	echo "collect $i = \"echo $i\"" >>"$dir/collect.conf"
	echo "sh -c 'echo $i' >/dev/null" >>"$dir/loop.sh"
	i=$((i + 1))
done
echo 'collect 1 = "echo 1"' >"$dir/one.conf"

# The year-long store, and one 640 x 320 image of its last month.
"$bench" ${tiny:+--tiny} --make-store="$dir/year.db"
t0=1700000000
if [ -n "$tiny" ]; then end=$((t0 + 3 * 86400)); else end=$((t0 + 365 * 86400)); fi
cat >"$dir/image.conf" <<EOF
image "$dir/month.png" {
    from $((end - 30 * 86400)) to $end
    left graph 1 "average" "value" color 0 140 0 filled
    right graph 1 max "maximum" "value" color 160 0 0
}
EOF

# Median wall time of each command (hyperfine, no shell in between), in
# seconds, one line per command. The commands take turns in rounds of a few
# runs each, so that a machine whose speed drifts slows them alike; the
# median is over the runs of every round. Commands hold no commas.
medians() {
	rm -f "$dir"/h-*.json
	round=1
	while [ "$round" -le "$rounds" ]; do
		# shellcheck disable=SC2086
		hyperfine -N --style none $per_round \
			--export-json "$dir/h-$round.json" "$@" >/dev/null
		round=$((round + 1))
	done
	python3 - "$dir"/h-*.json <<'PY'
import json, statistics, sys
runs = {}
for path in sys.argv[1:]:
    for i, r in enumerate(json.load(open(path))["results"]):
        runs.setdefault(i, []).extend(r["times"])
for i in sorted(runs):
    print(statistics.median(runs[i]))
PY
}

# Largest resident set of three runs of a command line, in KiB.
peak() {
	max=0
	for _ in 1 2 3; do
		kb=$(/usr/bin/time -f %M sh -c "exec $1 >/dev/null" 2>&1 | tail -n 1)
		[ "$kb" -gt "$max" ] && max=$kb
	done
	echo "$max"
}

# shellcheck disable=SC2046
set -- $(medians "$dorvane -q -c $dir/collect.conf -d $dir/collect.db" "sh $dir/loop.sh")
printf 'ratio\tprocess -q, 100 collects / sh loop\t%s\t%s\t1.10\n' "$1" "$2" >"$out"

# dorvane-store: the CSV export of unit 1's year of one-minute samples
# against db5.3_dump of the whole store, and the list of 500 units of a year
# of hourly samples against one bare walk over that store.
"$bench" ${tiny:+--tiny} --make-units-store="$dir/units.db"
# shellcheck disable=SC2046
set -- $(medians "$store_tool export -d $dir/year.db -u 1" "db5.3_dump $dir/year.db")
printf 'ratio\tstore export, 525,600 records, CSV / db5.3_dump\t%s\t%s\t1.50\n' "$1" "$2" >>"$out"
# shellcheck disable=SC2046
set -- $(medians "$store_tool list -d $dir/units.db" "$bench --walk=$dir/units.db")
printf 'ratio\tstore list, 500 units of a year / bare walk\t%s\t%s\t2.00\n' "$1" "$2" >>"$out"

# The bytes that one -q run of the 100 collects writes into the store's
# folder (its journal and the store, through the crash tests' recorder)
# against the pages it changes in the store, on a store of 200 runs.
recorder=$(dirname "$dorvane")/libcrash_record.so
mkdir "$dir/bytes"
cp "$dir/collect.conf" "$dir/bytes/"
runs=200
[ -n "$tiny" ] && runs=3
i=0
while [ $i -lt $runs ]; do
	"$dorvane" -q -c "$dir/bytes/collect.conf" -d "$dir/bytes/s.db"
	i=$((i + 1))
done
# (The test build's sanitizer runtime must then not insist on coming first.)
CRASH_DIR=$dir/bytes CRASH_LOG=$dir/bytes.log LD_PRELOAD=$recorder \
	ASAN_OPTIONS=verify_asan_link_order=0 \
	"$dorvane" -q -c "$dir/bytes/collect.conf" -d "$dir/bytes/s.db"
python3 - "$dir/bytes.log" "$dir/bytes/s.db" >>"$out" <<'PY'
import struct, sys
log = open(sys.argv[1], "rb").read()
page = struct.unpack_from("<I", open(sys.argv[2], "rb").read(24), 20)[0]
at, written, changed = 0, 0, set()
while at < len(log):
    op, n = struct.unpack_from("<BI", log, at)
    name = log[at + 5:at + 5 + n].decode()
    off, length = struct.unpack_from("<QQ", log, at + 5 + n)
    at += 5 + n + 16
    if op == 3:  # a write
        written += length
        if name == "s.db":
            changed.update(range(off // page, (off + length + page - 1) // page))
    if op in (3, 7):
        at += length
base = len(changed) * page
print("bytes\tbytes written per -q run (100 collects) / pages it changes\t%d\t%d\t%d"
      % (written, base, 3 * base + 256 * 1024))
PY

alone() {
	printf 'alone\t%s\t%s\t%s\n' "$1" "$(medians "$2")" "$(peak "$2")" >>"$out"
}
: >"$dir/empty.conf"
alone "process -q, one collect" "$dorvane -q -c $dir/one.conf -d $dir/one.db"
alone "process -p, one image (month)" "$dorvane -p -c $dir/image.conf -d $dir/year.db"
alone "process -g, one day" \
	"$dorvane -c $dir/empty.conf -d $dir/year.db -g '1:from $((end - 86400)) to $end'"
