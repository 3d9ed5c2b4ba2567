#!/bin/sh
# Prints the folder-level include graph of the product: "from -> to (files)" for every quoted
# #include that crosses folders, then any edge that runs against the layering
#   platform <- log <- messaging, firmware, negotiation, reporting, _libs/tftp <- app <- front ends, tools
# Tests, benchmarks and fuzzers are left out: they may include anything.
cd "$(dirname "$0")/.." || exit 1
folder() {
    case "$1" in
    _libs/tftp/*) echo _libs/tftp ;;
    app/console/*) echo app/console ;;
    app/qt/*) echo app/qt ;;
    tools/devsim/*) echo tools/devsim ;;
    *) echo "${1%%/*}" ;;
    esac
}
rank() {
    case "$1" in
    platform) echo 0 ;;
    log) echo 1 ;;
    messaging | firmware | negotiation | reporting | _libs/tftp) echo 2 ;;
    app) echo 3 ;;
    *) echo 4 ;;
    esac
}
edges=$(find platform log messaging negotiation firmware reporting _libs app tools \
    \( -name '*.cpp' -o -name '*.h' \) -type f | sort | while read -r file; do
    from=$(folder "$file")
    sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file" | while read -r inc; do
        case "$inc" in */*) ;; *) continue ;; esac
        to=$(folder "$inc")
        [ "$from" = "$to" ] || echo "$from -> $to"
    done
done | sort | uniq -c | awk '{ printf "%s %s %s (%d)\n", $2, $3, $4, $1 }')
echo "$edges"
echo "-- against the layering:"
bad=0
echo "$edges" | while read -r from arrow to n; do
    [ -n "$from" ] || continue
    rf=$(rank "$from"); rt=$(rank "$to")
    if [ "$rt" -gt "$rf" ] || { [ "$rt" -eq 2 ] && [ "$rf" -eq 2 ] && [ "$to" != "$from" ] && ! echo "$from>$to" | grep -Eq '^(negotiation|reporting)>(messaging|firmware)$'; }; then
        echo "$from $arrow $to $n"
    fi
done
