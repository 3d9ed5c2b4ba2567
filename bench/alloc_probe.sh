#!/usr/bin/env bash
# Concurrent GetNotUseIp with probing on. The program enters a network namespace of its own
# before it sends anything; `unshare -n` around it makes doubly sure.
# Usage: bench/alloc_probe.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
ninja -C "$BUILD_DIR" -j2 alloc_probe_bench >/dev/null
BIN="$BUILD_DIR/bench/alloc_probe_bench"
for args in "" "--datagram" "--answering" "--callers 80 --rounds 1"; do
    # shellcheck disable=SC2086
    unshare -n "$BIN" $args
    echo
done
