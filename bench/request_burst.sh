#!/usr/bin/env bash
# 200 simulated devices ask for an address at once, with probing off and on. Everything runs in
# a private network namespace made here, on a veth pair that exists only inside it.
# Usage: bench/request_burst.sh [BUILD_DIR] [DEVICES]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
DEVICES="${2:-200}"
cmake --build "$BUILD_DIR" --target bench_request_burst >/dev/null
NS="unshare -n"
[ "$(id -u)" -eq 0 ] || NS="unshare -rn"
$NS sh -c "
    ip link set lo up &&
    ip link add kb0 type veth peer name kb0p &&
    ip addr add 10.78.0.1/24 dev kb0 &&
    ip link set kb0 up && ip link set kb0p up &&
    '$BUILD_DIR/bench/bench_request_burst' 10.78.0.1 '$DEVICES'"
