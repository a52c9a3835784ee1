#!/bin/sh
# The Debian package that `make deb` left in DIR: its files, modes and
# conffiles, lintian; then installed for real, its units verified, its
# commands run as the timers and cron run them, removed and purged. It
# installs into this machine: run it where nothing else uses dorvane, on a
# throw-away machine or in a container (README).
#
#   deb.sh DIR
set -uf
dir=$1
top=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(dorvane VERSION \([^ ]*\) .*/\1/p' "$top/CMakeLists.txt")
arch=$(dpkg --print-architecture)
deb=$dir/dorvane_${version}_${arch}.deb
checks=0
fail() { echo "deb: $*"; exit 1; }
pass() { checks=$((checks + 1)); }
units="dorvane.service dorvane.timer dorvane-truncate.service dorvane-truncate.timer"
run_dir=/lib/systemd/system

[ -f "$deb" ] || fail "no package $deb (CMakeLists.txt says version $version)"
pass

# Every file with its mode, all root's; nothing that names a source install.
listing=$(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}')
want="-rwxr-xr-x ./usr/sbin/dorvane
-rw-r--r-- ./usr/share/man/man8/dorvane.8.gz
-rw-r--r-- ./usr/share/man/man5/dorvane.conf.5.gz
-rw-r--r-- ./usr/share/doc/dorvane/README.Debian
-rw-r--r-- ./usr/share/doc/dorvane/copyright
-rw-r--r-- ./etc/dorvane/dorvane.conf
-rw-r--r-- ./etc/cron.d/dorvane
drwxr-x--- ./var/lib/dorvane/
drwxr-x--- ./var/lib/dorvane/www/"
for u in $units; do
	want="$want
-rw-r--r-- .$run_dir/$u"
done
want="$want
-rwxr-xr-x ./usr/sbin/dorvane-store
-rw-r--r-- ./usr/share/man/man8/dorvane-store.8.gz"
echo "$want" | while read -r mode path; do
	echo "$listing" | grep -qxF -e "$mode root/root $path" || { echo "deb: missing $mode $path"; exit 1; }
done || exit 1
echo "$listing" | awk '$2 != "root/root" {print "deb: not root'"'"'s: " $0; bad = 1} END {exit bad}' || exit 1
echo "$listing" | grep -q /usr/local && fail "a file names /usr/local: $(echo "$listing" | grep /usr/local)"
pass

[ "$(dpkg-deb -f "$deb" Package Version Architecture)" = "Package: dorvane
Version: $version
Architecture: $arch" ] || fail "control: $(dpkg-deb -f "$deb" Package Version Architecture)"
[ "$(dpkg-deb -I "$deb" conffiles | sort)" = "/etc/cron.d/dorvane
/etc/dorvane/dorvane.conf" ] || fail "conffiles: $(dpkg-deb -I "$deb" conffiles)"
# The package builds from what scripts/install-deps installs for a build.
control=$(awk '/^Build-Depends:/ {on = 1; sub(/^Build-Depends:/, ""); print; next}
	on && /^ / {print; next} {on = 0}' "$top/debian/control" |
	tr ',' '\n' | sed 's/(.*//; s/ //g' | grep -v -e '^$' -e '^debhelper-compat$' | sort)
script=$(sed -n 's/^build_pkgs="\(.*\)"/\1/p' "$top/scripts/install-deps" | tr ' ' '\n' | sort)
[ -n "$script" ] && [ "$control" = "$script" ] ||
	fail "debian/control builds with $(echo $control), scripts/install-deps installs $(echo $script)"
pass

# The configuration is the example; every timer and cron line names it and
# the store, and cron runs what the timers run.
packed() { dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$1"; }
packed /etc/dorvane/dorvane.conf | cmp -s - "$top/examples/linux.conf" ||
	fail "/etc/dorvane/dorvane.conf is not examples/linux.conf"
names="-c /etc/dorvane/dorvane.conf -d /var/lib/dorvane/dorvane.db"
collect=$(packed $run_dir/dorvane.service | sed -n 's/^ExecStart=//p')
truncate=$(packed $run_dir/dorvane-truncate.service | sed -n 's/^ExecStart=//p')
[ "$collect" = "/usr/sbin/dorvane -q -p $names" ] || fail "dorvane.service runs $collect"
[ "$truncate" = "/usr/sbin/dorvane -t 30:730 $names" ] || fail "dorvane-truncate.service runs $truncate"
guard='[ -x /usr/sbin/dorvane ] && [ ! -d /run/systemd/system ] && '
cron=$(packed /etc/cron.d/dorvane | grep -v '^#' | sed 's/^[^a-z]*root  //')
[ "$cron" = "$guard$collect
$guard$truncate" ] || fail "cron.d runs: $cron"
pass

out=$(lintian --fail-on error,warning "$dir/dorvane_${version}_${arch}.changes" 2>&1)
status=$?
out=$(echo "$out" | grep -v 'running with root privileges')
[ $status -eq 0 ] && [ -z "$out" ] || fail "lintian ($status): $out"
pass

# Installed for real from here on, and purged at the end whatever happens.
[ "$(id -u)" -eq 0 ] || fail "installing the package needs root: run it as root in a container"
if dpkg-query -W -f='${Status}' dorvane 2>/dev/null | grep -q installed ||
	[ -e /var/lib/dorvane ] || [ -e /etc/dorvane ]; then
	fail "dorvane is installed here, or /var/lib/dorvane or /etc/dorvane exists: purging would delete it"
fi
trap 'dpkg -P dorvane >/dev/null 2>&1' EXIT
dpkg -i "$deb" >"$dir/dpkg.out" 2>&1 || fail "dpkg -i: $(cat "$dir/dpkg.out")"
[ "$(stat -c '%a %U' /var/lib/dorvane /var/lib/dorvane/www)" = "750 root
750 root" ] || fail "state folders: $(stat -c '%a %U %n' /var/lib/dorvane /var/lib/dorvane/www)"
for t in dorvane.timer dorvane-truncate.timer; do
	[ -L /etc/systemd/system/timers.target.wants/$t ] || fail "$t is not enabled"
done
pass

if command -v systemd-analyze >/dev/null 2>&1; then
	# Containers often leave manual pages out (dpkg path-exclude).
	man=yes
	if ! man -w dorvane >/dev/null 2>&1; then
		man=no
		echo "deb: no manual pages installed here: the units' Documentation= not checked"
	fi
	out=$(cd $run_dir && systemd-analyze verify --man=$man $units 2>&1) || fail "systemd-analyze verify: $out"
	[ -z "$out" ] || fail "systemd-analyze verify: $out"
	pass
else
	echo "deb: skipped: systemd-analyze is not installed (scripts/install-deps deb installs it)"
fi

# What the timers run, exactly, with systemd's environment left out.
collect=$(sed -n 's/^ExecStart=//p' $run_dir/dorvane.service)
out=$(env -i PATH=/usr/bin:/bin $collect 2>&1) || fail "$collect: $out"
[ -z "$out" ] || fail "$collect printed: $out"
[ -s /var/lib/dorvane/dorvane.db ] || fail "no store after $collect"
images=$(sed -n 's/^image "\([^"]*\)".*/\1/p' /etc/dorvane/dorvane.conf)
[ -n "$images" ] || fail "no image in /etc/dorvane/dorvane.conf"
for image in $images; do
	[ "$(head -c 8 "$image" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] || fail "no PNG image $image"
done
truncate=$(sed -n 's/^ExecStart=//p' $run_dir/dorvane-truncate.service)
out=$(env -i PATH=/usr/bin:/bin $truncate 2>&1) || fail "$truncate: $out"
[ -z "$out" ] || fail "$truncate printed: $out"
pass

# What cron runs, as cron runs it: nothing where systemd runs.
grep -v '^#' /etc/cron.d/dorvane | sed 's/^[^a-z]*root  //' | while IFS= read -r line; do
	out=$(env -i PATH=/usr/bin:/bin sh -c "$line" 2>&1)
	status=$?
	[ -z "$out" ] || { echo "deb: cron line printed: $out"; exit 1; }
	[ -d /run/systemd/system ] || [ $status -eq 0 ] || { echo "deb: cron line failed: $line"; exit 1; }
done || exit 1
pass

# Removed: the store and the configuration stay, cron finds nothing to run.
dpkg -r dorvane >"$dir/dpkg.out" 2>&1 || fail "dpkg -r: $(cat "$dir/dpkg.out")"
[ ! -e /usr/sbin/dorvane ] || fail "dpkg -r left /usr/sbin/dorvane"
[ -s /var/lib/dorvane/dorvane.db ] || fail "dpkg -r removed the store"
[ -f /etc/dorvane/dorvane.conf ] || fail "dpkg -r removed the configuration"
grep -v '^#' /etc/cron.d/dorvane | sed 's/^[^a-z]*root  //' | while IFS= read -r line; do
	out=$(env -i PATH=/usr/bin:/bin sh -c "$line" 2>&1)
	[ -z "$out" ] || { echo "deb: cron line after removal printed: $out"; exit 1; }
done || exit 1
pass

# Purged: what README.Debian says goes, goes.
dpkg -P dorvane >"$dir/dpkg.out" 2>&1 || fail "dpkg -P: $(cat "$dir/dpkg.out")"
for gone in /var/lib/dorvane /etc/dorvane /etc/cron.d/dorvane \
	/etc/systemd/system/timers.target.wants/dorvane.timer \
	/etc/systemd/system/timers.target.wants/dorvane-truncate.timer; do
	[ ! -e "$gone" ] && [ ! -L "$gone" ] || fail "dpkg -P left $gone"
done
pass
trap - EXIT
echo "deb: $checks passed, 0 failed"
