#!/usr/bin/env bash
# Whole upgrade runs at scale: DEVICES simulated devices (kelvane-devsim, a process of its own in a
# second namespace) fetch a MIB MiB container at once from the run control's TFTP service. Reports
# the time until every device has its outcome, aggregate throughput and its ratio to DEVICES single
# transfers back to back, the server's peak memory, start and stop times, and the memory of a run's
# results for 10,000 devices. Everything runs in a private network namespace made here.
# With WAVE_DEVICES, that many more devices then ask within five seconds for a small file, more than
# the range has addresses at once: they must all be upgraded and counted once.
# MAX_TRANSFERS (environment) raises the TFTP service's transfer records above the run's own 256.
# Usage: bench/e2e_bench.sh [BUILD_DIR] [DEVICES] [MIB] [WAVE_DEVICES]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
DEVICES="${2:-100}"
MIB="${3:-16}"
WAVES="${4:-0}"
cmake --build "$BUILD_DIR" --target bench_e2e kelvane-devsim >/dev/null
# Downloads land in memory rather than on disk, so the disk is not what is measured.
WORK=$(mktemp -d "${BENCH_TMP:-/dev/shm}/kelvane-e2e-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
NS="unshare -n"
[ "$(id -u)" -eq 0 ] || NS="unshare -rn"
$NS sh -c "ip link set lo up && TMPDIR='$WORK' exec '$BUILD_DIR/bench/bench_e2e' --devsim '$BUILD_DIR/tools/devsim/kelvane-devsim' \
    --devices '$DEVICES' --mib '$MIB' --wave-devices '$WAVES' --max-transfers '${MAX_TRANSFERS:-0}' --work '$WORK'"
"$BUILD_DIR/bench/bench_e2e" --results-memory 10000
