#!/bin/sh
# The README's repair of a store on a damaged disk, run as it stands there
# (its folder and configuration moved into a temporary one), on stores
# whose first page, or a leaf in the middle, a disk fault zeroed: every
# step works, and a copy that verifies keeps all but that page's records.
#   tests/repair.sh SOURCE_DIR DORVANE_BINARY
set -u
top=$1
bin=$2
tmp=$(mktemp -d /tmp/dorvane-repair.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "repair: $*"; exit 1; }
umask 022

# The commands of the section, in order, from its indented lines.
sed -n '/^### Repairing a store on a damaged disk/,/^### /p' "$top/README.md" |
	sed -n 's/^       \(dorvane\|db5\.3_\|head\|mv\)/\1/p' >"$tmp/steps"
[ "$(wc -l <"$tmp/steps")" -eq 7 ] || fail "the README's steps: $(cat "$tmp/steps")"

# Five series, 150 runs a minute apart.
i=1
while [ $i -le 5 ]; do
	echo "collect $i = \"echo $i\"" >>"$tmp/c.conf"
	i=$((i + 1))
done
i=0
while [ $i -lt 150 ]; do
	ASAN_OPTIONS=verify_asan_link_order=0 sh "$top/tests/frozen-clock" \
		"$(date -u -d @$((1767225600 + 60 * i)) '+%Y-%m-%d %H:%M:%S')" \
		"$bin" -q -c "$tmp/c.conf" -d "$tmp/good.db" || fail "run $i failed"
	i=$((i + 1))
done
# Records of a store: its dump's lines of data, a key and a value each.
count() { echo $(($(db5.3_dump "$1" | grep -c '^ ') / 2)); }
records=$(count "$tmp/good.db")

for page in 0 8; do
	dir=$tmp/page$page
	mkdir "$dir"
	cp "$tmp/good.db" "$dir/dorvane.db"
	dd if=/dev/zero of="$dir/dorvane.db" bs=4096 count=1 seek=$page conv=notrunc 2>/dev/null
	db5.3_verify -q "$dir/dorvane.db" 2>/dev/null && fail "page $page: the store still verifies"
	sed -e "s|/var/lib/dorvane|$dir|g" -e "s|/usr/local/etc/dorvane/dorvane.conf|$tmp/c.conf|g" \
		-e "s|^dorvane |ASAN_OPTIONS=verify_asan_link_order=0 $bin |" "$tmp/steps" >"$dir/steps"
	# Each step as a line of its own, as a reader would type them; the
	# copies of a damaged store may fail, and the salvage exits 1.
	while IFS= read -r step; do
		(cd "$dir" && sh -c "$step") >>"$dir/out" 2>&1
	done <"$dir/steps"
	db5.3_verify -q "$dir/dorvane.new2" || fail "page $page: the salvaged copy does not verify"
	[ -f "$dir/dorvane.damaged" ] || fail "page $page: the damaged store was not kept"
	# A page holds about ninety records: the rest came through.
	kept=$(count "$dir/dorvane.new2")
	[ "$kept" -ge $((records - 100)) ] || fail "page $page: $kept of $records records salvaged"
	echo "repair: page $page zeroed: $kept of $records records salvaged"
done
echo "repair: clean"
