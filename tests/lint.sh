#!/bin/sh
# House rules the compiler does not check: no virtual classes, no exceptions
# and no `using namespace std` in the program's sources, includes that point
# down the layers, and the sources formatted as .clang-format says.
cd "${1:-.}" || exit 1
status=0
hits=$(grep -rnE '\bvirtual\b|\bthrow\b|using namespace std\b' src --include='*.cc' --include='*.h' --include='*.y' |
	grep -v '_test\.cc:')
if [ -n "$hits" ]; then
	echo "lint: not allowed in src/:"
	echo "$hits"
	status=1
fi

# Each folder of src/ may include its own headers and those of the layers
# below it: run control and dorvane-store at the top, configuration, store
# and rendering in the middle (rendering draws the configuration's
# records), the pool and common/ (what every layer shares) at the bottom.
# The store knows nothing of rendering or configuration. Tests may include
# any header: the base fixture puts back the settings of every layer.
hits=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' src --include='*.cc' --include='*.h' --include='*.y' |
	grep -vE '^src/testing/|_test\.cc:|test_util\.h:' |
	awk '
	BEGIN {
		below["common"] = " common "
		below["pool"] = " pool common "
		below["config"] = " config pool common "
		below["store"] = " store pool common "
		below["render"] = " render config pool common "
		below["run"] = " run config store render pool common "
		below["storetool"] = " storetool run config store render pool common "
	}
	{
		file = $0
		sub(/:.*/, "", file)
		at = $0
		sub(/^[^:]*:[0-9]*:/, "", at)
		line = substr($0, length(file) + 2, length($0) - length(file) - length(at) - 2)
		match(at, /"[^"]*"/)
		inc = substr(at, RSTART + 1, RLENGTH - 2)
		split(file, parts, "/")
		from = parts[2]
		where = file ":" line ": "
		if (!(from in below))
			print where "src/" from "/ has no place among the layers"
		else if (index(inc, "/") == 0)
			print where "\"" inc "\" is not rooted at src/"
		else if (index(below[from], " " substr(inc, 1, index(inc, "/") - 1) " ") == 0)
			print where from "/ may not include " inc
	}' | sort)
if [ -n "$hits" ]; then
	echo "lint: an include that points up or across the layers:"
	echo "$hits"
	status=1
fi
# Formatted as .clang-format says, so that a change shows only itself.
if ! command -v clang-format >/dev/null; then
	echo "lint: clang-format is not installed (scripts/install-deps installs it)"
	status=1
else
	files=$(find src bench tests \( -name '*.cc' -o -name '*.h' -o -name '*.c' \) 2>/dev/null | sort)
	if [ -n "$files" ] && ! out=$(clang-format --dry-run -Werror $files 2>&1); then
		echo "lint: not formatted as .clang-format says (clang-format -i fixes it):"
		echo "$out" | grep ': error: ' | sed 's/: error: .*//'
		status=1
	fi
fi
[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"
