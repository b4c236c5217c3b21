#!/bin/sh
# Passes when mandoc finds nothing to warn about in the manual pages given.
# Style hints are left out: one of them flags every cross-reference to a
# page not installed on this machine, such as kestrel(1) before the
# package is installed.
# Usage: lint_man_pages.sh PAGE...
set -u
[ $# -gt 0 ] || { echo "no manual page given"; exit 1; }
out=$(mandoc -T lint -W warning "$@" 2>&1)
status=$?
if [ -n "$out" ] || [ $status -ne 0 ]; then
    printf '%s\n' "$out"
    exit 1
fi
