# /etc/cron.d/dorvane: collect and draw every five minutes, truncate daily,
# on systems that do not run systemd (where dorvane.timer and
# dorvane-truncate.timer do the same). Does nothing once the package is
# removed.
*/5 * * * *  root  [ -x /usr/sbin/dorvane ] && [ ! -d /run/systemd/system ] && /usr/sbin/dorvane -q -p -c /etc/dorvane/dorvane.conf -d /var/lib/dorvane/dorvane.db
17 3 * * *   root  [ -x /usr/sbin/dorvane ] && [ ! -d /run/systemd/system ] && /usr/sbin/dorvane -t 30:730 -c /etc/dorvane/dorvane.conf -d /var/lib/dorvane/dorvane.db
