#!/usr/bin/env bash
# Honest devices under an address-request flood: time until every device has its outcome without
# and with one host sending RATE invented requests a second (probing on), whether any outcome was
# lost, and the server's memory, threads and descriptors after INVENTED invented requests.
# Everything runs in a private network namespace made here (the devices and the flooding host in a
# second one inside it); nothing reaches the machine's network.
# Usage: bench/flood_run.sh [BUILD_DIR] [DEVICES] [RATE] [INVENTED]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
DEVICES="${2:-20}"
RATE="${3:-10000}"
INVENTED="${4:-100000}"
cmake --build "$BUILD_DIR" --target bench_flood_run kelvane-devsim >/dev/null
WORK=$(mktemp -d /tmp/kelvane-flood-run-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
NS="unshare -n"
[ "$(id -u)" -eq 0 ] || NS="unshare -rn"
$NS sh -c "ip link set lo up && exec '$BUILD_DIR/bench/bench_flood_run' --devsim '$BUILD_DIR/tools/devsim/kelvane-devsim' \
    --devices '$DEVICES' --rate '$RATE' --invented '$INVENTED' --work '$WORK'"
