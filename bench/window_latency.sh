#!/usr/bin/env bash
# The window thread's lateness with many devices reporting (offscreen platform), in a private
# network namespace. Usage: bench/window_latency.sh [BUILD_DIR] [DEVICES] [SECONDS] [RATE]
# Figures on a shared, loaded machine are noisy: compare runs made side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
cmake --build "$BUILD_DIR" --target bench_window_latency >/dev/null
NS="unshare -n"
[ "$(id -u)" -eq 0 ] || NS="unshare -rn"
$NS "$BUILD_DIR/bench/bench_window_latency" "${2:-250}" "${3:-10}" "${4:-4}"
