#!/bin/sh
# Installs the build into a temporary prefix, with and without DESTDIR, and
# runs the installed binary on an installed example.
set -u
build=$1
tmp=$(mktemp -d /tmp/dorvane-install.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "install: $*"; exit 1; }

cmake --install "$build" --prefix "$tmp/usr" >/dev/null || fail "cmake --install failed"
for f in sbin/dorvane sbin/dorvane-store share/man/man8/dorvane.8 \
	share/man/man8/dorvane-store.8 share/man/man5/dorvane.conf.5 \
	share/doc/dorvane/linux.conf share/doc/dorvane/minimal.conf share/doc/dorvane/crontab \
	share/doc/dorvane/dorvane.service share/doc/dorvane/dorvane.timer; do
	[ -f "$tmp/usr/$f" ] || fail "missing $f"
done

DESTDIR=$tmp/stage cmake --install "$build" --prefix /opt/dv >/dev/null || fail "DESTDIR install failed"
[ -x "$tmp/stage/opt/dv/sbin/dorvane" ] || fail "DESTDIR did not stage the binary"
[ ! -e /opt/dv/sbin/dorvane ] || fail "DESTDIR install wrote outside its stage"

bin=$tmp/usr/sbin/dorvane
"$bin" -v 2>"$tmp/err" && fail "usage exited 0"
grep -q '^usage: dorvane ' "$tmp/err" || fail "no usage line: $(cat "$tmp/err")"

# The installed minimal example, with its image redirected into the prefix.
sed "s|/var/www/load.png|$tmp/load.png|" "$tmp/usr/share/doc/dorvane/minimal.conf" >"$tmp/min.conf"
"$bin" -q -c "$tmp/min.conf" -d "$tmp/s.db" || fail "-q failed"
"$bin" -p -c "$tmp/min.conf" -d "$tmp/s.db" || fail "-p failed"
[ -s "$tmp/load.png" ] || fail "no image drawn"
"$bin" -q -c "$tmp/usr/share/doc/dorvane/linux.conf" -d "$tmp/s.db" || fail "linux.conf -q failed"

# The installed dorvane-store on the store that the installed dorvane made.
tool=$tmp/usr/sbin/dorvane-store
"$tool" -h >"$tmp/out" || fail "dorvane-store -h failed"
grep -q '^usage: dorvane-store list ' "$tmp/out" || fail "no usage line: $(cat "$tmp/out")"
"$tool" list -d "$tmp/s.db" >"$tmp/out" || fail "list failed"
grep -q '^total: ' "$tmp/out" || fail "list printed no total: $(cat "$tmp/out")"
"$tool" export -d "$tmp/s.db" -u 1 -F openmetrics >"$tmp/out" || fail "export failed"
tail -n 1 "$tmp/out" | grep -qx '# EOF' || fail "export did not end with # EOF"
"$tool" dump -d "$tmp/s.db" >"$tmp/dump" || fail "dump failed"
"$tool" restore -d "$tmp/r.db" "$tmp/dump" || fail "restore failed"
"$tool" dump -d "$tmp/r.db" | cmp -s - "$tmp/dump" || fail "dump of the restored store differs"
echo "install: 1 passed, 0 failed"
