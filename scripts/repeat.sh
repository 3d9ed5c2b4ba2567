#!/usr/bin/env bash
# Runs the tests of one CTest label N times in a row in an already built tree and counts the runs
# with a failure, to tell a flaky test from a sound one. Sanitizer reports fail a run, as in CI.
# Usage: scripts/repeat.sh LABEL N BUILD_DIR      e.g. scripts/repeat.sh e2e 20 build-tsan
# Exit status: 0 when every run passed, 1 otherwise; the log of each failed run is kept.
set -uo pipefail
LABEL="${1:?label}"
N="${2:?count}"
BUILD_DIR="${3:?build dir}"
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
logs="$(mktemp -d)"
failed=0
total_start=$(date +%s)
for i in $(seq 1 "$N"); do
    start=$(date +%s)
    if ctest --test-dir "$BUILD_DIR" -L "$LABEL" --output-on-failure -j "$(nproc)" >"$logs/run$i.log" 2>&1; then
        verdict=passed
        rm -f "$logs/run$i.log"
    else
        verdict="FAILED (log: $logs/run$i.log)"
        failed=$((failed + 1))
        grep -E "\(Failed\)|\(Timeout\)|\*\*\*Exception" "$logs/run$i.log" | sed 's/^/    /'
    fi
    echo "run $i/$N: $verdict in $(( $(date +%s) - start )) s"
done
echo "label $LABEL in $BUILD_DIR: $failed of $N runs failed, $(( $(date +%s) - total_start )) s in all"
[ "$failed" -eq 0 ] && rmdir "$logs"
[ "$failed" -eq 0 ]
