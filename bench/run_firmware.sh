#!/usr/bin/env bash
# Firmware catalogue benchmarks: opening a 256 MiB container next to zlib's in-memory crc32, and
# a 200-file folder scan. The container is written under $TMPDIR (default /tmp) and removed at
# the end; it needs about 300 MB free there. Usage: bench/run_firmware.sh [BUILD_DIR] [benchmark options...]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
shift || true
cmake -S . -B "$BUILD_DIR" -G Ninja -DKELVANE_BUILD_QT=OFF >/dev/null
ninja -C "$BUILD_DIR" -j2 bench_firmware
avail_kb=$(df -Pk "${TMPDIR:-/tmp}" | awk 'NR==2 {print $4}')
if [ "$avail_kb" -lt 400000 ]; then
    echo "bench: less than 400 MB free in ${TMPDIR:-/tmp}" >&2
    exit 1
fi
# Nothing here uses the network; unshare -n keeps it that way.
exec unshare -n "$BUILD_DIR/bench/bench_firmware" "$@"
