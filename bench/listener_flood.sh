#!/usr/bin/env bash
# Floods the device listener inside a private network namespace (never the machine's network).
# Usage: bench/listener_flood.sh [BUILD_DIR] [REPORTS]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
REPORTS="${2:-200000}"
cmake --build "$BUILD_DIR" --target bench_listener_flood >/dev/null
LOG=$(mktemp /tmp/kelvane-flood-XXXXXX.log)
NS="unshare -n"
[ "$(id -u)" -eq 0 ] || NS="unshare -rn"
$NS sh -c "ip link set lo up && '$BUILD_DIR/bench/bench_listener_flood' '$REPORTS' '$LOG'"
echo "log with LogSwitch 1: $(wc -l < "$LOG") lines"
rm -f "$LOG"
