#!/bin/sh
# Installs the build under DESTDIR, into the default prefix and another,
# and runs the installed binary on the installed examples; installs again
# over a changed configuration and uninstalls (scripts/uninstall, as `make
# uninstall` does); runs `make install` and `make uninstall` themselves;
# runs the README's cron lines as cron runs them on the installed tree,
# mounted where the lines name it.
set -u
build=$1
top=$(cd "$(dirname "$0")/.." && pwd)
umask 022 # a run refuses configuration that group or others may write
tmp=$(mktemp -d /tmp/dorvane-install.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "install: $*"; exit 1; }
checks=0
pass() { checks=$((checks + 1)); }
install() { DESTDIR=$1 cmake --install "$build" --prefix "$2" >"$tmp/log" 2>&1 || fail "install: $(cat "$tmp/log")"; }
uninstall() { DESTDIR=$1 "$top/scripts/uninstall" "$build" "$2" >"$tmp/log" 2>&1 || fail "uninstall: $(cat "$tmp/log")"; }
mode() { stat -c %a "$1"; }

root=$tmp/root
install "$root" /usr/local
for f in sbin/dorvane sbin/dorvane-store share/man/man8/dorvane.8 \
	share/man/man8/dorvane-store.8 share/man/man5/dorvane.conf.5 \
	share/doc/dorvane/linux.conf share/doc/dorvane/minimal.conf share/doc/dorvane/crontab \
	share/doc/dorvane/dorvane.service share/doc/dorvane/dorvane.timer \
	share/doc/dorvane/dorvane-truncate.service share/doc/dorvane/dorvane-truncate.timer \
	etc/dorvane/dorvane.conf; do
	[ -f "$root/usr/local/$f" ] || fail "missing $f"
done
cmp -s "$root/usr/local/etc/dorvane/dorvane.conf" "$top/examples/linux.conf" ||
	fail "the configuration is not examples/linux.conf"
[ "$(mode "$root/usr/local/etc/dorvane/dorvane.conf")" = 644 ] || fail "configuration mode"
[ "$(mode "$root/var/lib/dorvane") $(mode "$root/var/lib/dorvane/www")" = "750 750" ] ||
	fail "state folders: $(ls -ld "$root/var/lib/dorvane" "$root/var/lib/dorvane/www")"
pass

DESTDIR=$tmp/stage cmake --install "$build" --prefix /opt/dv >/dev/null || fail "DESTDIR install failed"
[ -x "$tmp/stage/opt/dv/sbin/dorvane" ] || fail "DESTDIR did not stage the binary"
[ -f "$tmp/stage/opt/dv/etc/dorvane/dorvane.conf" ] || fail "DESTDIR did not stage the configuration"
[ ! -e /opt/dv/sbin/dorvane ] || fail "DESTDIR install wrote outside its stage"
pass

bin=$root/usr/local/sbin/dorvane
"$bin" -v 2>"$tmp/err" && fail "usage exited 0"
grep -q '^usage: dorvane ' "$tmp/err" || fail "no usage line: $(cat "$tmp/err")"

# The installed examples, with their images redirected into the test's folder.
doc=$root/usr/local/share/doc/dorvane
sed "s|/var/lib/dorvane/www/|$tmp/|" "$doc/minimal.conf" >"$tmp/min.conf"
"$bin" -q -c "$tmp/min.conf" -d "$tmp/s.db" || fail "-q failed"
"$bin" -p -c "$tmp/min.conf" -d "$tmp/s.db" || fail "-p failed"
[ -s "$tmp/load.png" ] || fail "no image drawn"
"$bin" -q -c "$doc/linux.conf" -d "$tmp/s.db" || fail "linux.conf -q failed"
pass

# The installed dorvane-store on the store that the installed dorvane made.
tool=$root/usr/local/sbin/dorvane-store
"$tool" -h >"$tmp/out" || fail "dorvane-store -h failed"
grep -q '^usage: dorvane-store list ' "$tmp/out" || fail "no usage line: $(cat "$tmp/out")"
"$tool" list -d "$tmp/s.db" >"$tmp/out" || fail "list failed"
grep -q '^total: ' "$tmp/out" || fail "list printed no total: $(cat "$tmp/out")"
"$tool" export -d "$tmp/s.db" -u 1 -F openmetrics >"$tmp/out" || fail "export failed"
tail -n 1 "$tmp/out" | grep -qx '# EOF' || fail "export did not end with # EOF"
"$tool" dump -d "$tmp/s.db" >"$tmp/dump" || fail "dump failed"
"$tool" restore -d "$tmp/r.db" "$tmp/dump" || fail "restore failed"
"$tool" dump -d "$tmp/r.db" | cmp -s - "$tmp/dump" || fail "dump of the restored store differs"
pass

# Installing again keeps a configuration that its administrator changed;
# uninstalling keeps it too, and the store, and whatever is not dorvane's.
conf=$root/usr/local/etc/dorvane/dorvane.conf
echo "collect 9 = \"echo 9\"" >>"$conf"
cp "$conf" "$tmp/changed.conf"
install "$root" /usr/local
grep -q "Keeping: $conf" "$tmp/log" || fail "no word of the kept configuration: $(cat "$tmp/log")"
cmp -s "$conf" "$tmp/changed.conf" || fail "install replaced a changed configuration"
touch "$root/var/lib/dorvane/dorvane.db" "$root/usr/local/sbin/other"
uninstall "$root" /usr/local
left=$(cd "$root" && find . | sort | tr '\n' ' ')
[ "$left" = ". ./usr ./usr/local ./usr/local/etc ./usr/local/etc/dorvane \
./usr/local/etc/dorvane/dorvane.conf ./usr/local/sbin ./usr/local/sbin/other ./usr/local/share \
./usr/local/share/doc ./usr/local/share/man ./usr/local/share/man/man5 ./usr/local/share/man/man8 \
./var ./var/lib ./var/lib/dorvane ./var/lib/dorvane/dorvane.db " ] || fail "uninstall left: $left"
# An unchanged configuration goes with the rest.
install "$tmp/fresh" /usr/local
uninstall "$tmp/fresh" /usr/local
[ -z "$(cd "$tmp/fresh" && find . -path '*dorvane*')" ] ||
	fail "uninstall left: $(cd "$tmp/fresh" && find . -path '*dorvane*')"
pass

# The Makefile's targets, as the README gives them, on a release tree of
# their own (MAKEFLAGS: this may run under an outer make).
mk() { env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS make -C "$top" --no-print-directory "$@" \
	BUILD="$tmp/build" DESTDIR="$tmp/mk" PREFIX=/opt/mk >"$tmp/log" 2>&1 || fail "make $*: $(cat "$tmp/log")"; }
mk install
[ -x "$tmp/mk/opt/mk/sbin/dorvane" ] && [ -f "$tmp/mk/opt/mk/etc/dorvane/dorvane.conf" ] &&
	[ -d "$tmp/mk/var/lib/dorvane/www" ] || fail "make install: $(cd "$tmp/mk" && find . | sort)"
mk uninstall
[ -z "$(cd "$tmp/mk" && find . -path '*dorvane*')" ] ||
	fail "make uninstall left: $(cd "$tmp/mk" && find . -path '*dorvane*')"
pass

# The README's cron lines, as cron runs them (sh -c, PATH /usr/bin:/bin, no
# other environment), on a tree installed as a fresh machine would have it.
lines=$(sed -n 's/^    \([0-9*/]\{1,\} .* root  \)/\1/p' "$top/README.md")
[ "$(echo "$lines" | wc -l)" = 2 ] || fail "the README's cron lines: $lines"
echo "$lines" | while IFS= read -r line; do
	grep -qxF -e "$line" "$top/examples/crontab" || { echo "install: not in examples/crontab: $line"; exit 1; }
done || exit 1
if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
	echo "install: the README's cron lines not run: mounting the installed tree needs root"
else
	cron=$tmp/cron
	install "$cron" /usr/local
	mkdir -p /usr/local /var/lib
	echo "$lines" | sed 's/^.* root  //' >"$tmp/commands"
	unshare -m sh -c "mount --bind '$cron/usr/local' /usr/local && mount --bind '$cron/var/lib' /var/lib &&
		while IFS= read -r c; do env -i PATH=/usr/bin:/bin sh -c \"\$c\" || exit 1; done <'$tmp/commands'" \
		>"$tmp/out" 2>&1 || fail "the README's cron lines failed: $(cat "$tmp/out")"
	[ ! -s "$tmp/out" ] || fail "the README's cron lines printed: $(cat "$tmp/out")"
	[ -s "$cron/var/lib/dorvane/dorvane.db" ] || fail "the README's cron lines stored nothing"
	for image in $(sed -n 's|^image "/var/lib/dorvane/www/\([^"]*\)".*|\1|p' "$top/examples/linux.conf"); do
		[ -s "$cron/var/lib/dorvane/www/$image" ] || fail "the README's cron lines drew no $image"
	done
	pass
fi
echo "install: $checks passed, 0 failed"
