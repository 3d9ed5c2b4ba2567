#!/bin/sh
# no_display_check.sh PROGRAM: runs the window program where no display can be opened and
# expects one line on its output and status 2. Used by CTest inside `unshare -n`.
out=$("$@" 2>&1)
status=$?
printf '%s\n' "$out"
lines=$(printf '%s\n' "$out" | wc -l)
[ "$status" -eq 2 ] || { echo "no_display_check: status $status, want 2"; exit 1; }
[ "$lines" -eq 1 ] || { echo "no_display_check: $lines lines, want 1"; exit 1; }
