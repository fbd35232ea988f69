#!/bin/sh
# Formats every man page given with man's warnings on; fails on any warning.
# Exit status 77 (a skip for ctest) when man is not installed.
command -v man >/dev/null 2>&1 || { echo "man is not installed"; exit 77; }
status=0
for page in "$@"; do
    [ -f "$page" ] || { echo "$page: missing"; status=1; continue; }
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "$page:"
        echo "$warnings"
        status=1
    fi
done
exit $status
