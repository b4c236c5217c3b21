#!/bin/sh
# Passes when mandoc finds nothing at all to say about the manual pages
# given, not even a style hint.
# Usage: lint_man_pages.sh PAGE...
set -u
[ $# -gt 0 ] || { echo "no manual page given"; exit 1; }
out=$(mandoc -T lint "$@" 2>&1)
status=$?
if [ -n "$out" ] || [ $status -ne 0 ]; then
    printf '%s\n' "$out"
    exit 1
fi
