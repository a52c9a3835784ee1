#!/bin/sh
# The manual pages format without a single warning.
cd "${1:-.}" || exit 1
status=0
for page in man/*.[0-9]; do
	out=$(groff -man -ww -z "$page" 2>&1)
	if [ -n "$out" ]; then
		echo "$page:"
		echo "$out"
		status=1
	fi
done
[ $status -eq 0 ] && echo "man: $(ls man/*.[0-9] | wc -l) pages clean"
exit $status
