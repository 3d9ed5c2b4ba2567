#!/bin/sh
# Prints the lines of product code and of tests, and their ratio.
# A line counts when it is neither blank nor only a // comment; .cpp and .h files only.
# Code: every product folder (platform, log, subsystems, _libs, app, tools); tests: tests/.
cd "$(dirname "$0")/.." || exit 1
count() {
    find "$@" \( -name '*.cpp' -o -name '*.h' \) -type f -print0 2>/dev/null |
        xargs -0 cat | grep -v '^[[:space:]]*$' | grep -cv '^[[:space:]]*//'
}
code=$(count platform log messaging negotiation firmware reporting _libs app tools)
tests=$(count tests)
echo "code  $code"
echo "tests $tests"
awk -v c="$code" -v t="$tests" 'BEGIN { printf "ratio %.1f%%\n", 100 * t / c }'
if [ "${1:-}" = "-v" ]; then
    for d in tests/*/; do printf '  %-22s %s\n' "$d" "$(count "$d")"; done
fi
