#!/usr/bin/env bash
# Bytes per second that `kelvane-cli run` sends to an 80x24 terminal while DEVICES simulated devices
# upgrade at once. The run's terminal is a pseudo-terminal made by script(1); the devices
# (kelvane-devsim) sit in a second network namespace behind a veth pair. Everything runs in a
# private network namespace made here, and the devices' namespace is ended with it.
# Usage: bench/console_redraw.sh [BUILD_DIR] [DEVICES] [CLI]   (CLI: another kelvane-cli to compare)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
DEVICES="${2:-250}"
CLI="$(realpath "${3:-$BUILD_DIR/app/console/kelvane-cli}")"
DEVSIM="$(realpath "$BUILD_DIR/tools/devsim/kelvane-devsim")"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir "$WORK/fw"
# A legacy camera header (magic at 0, version text at 296, 1556 bytes) and 256 kB of payload.
python3 - "$WORK/fw/ipc.bin" <<'PY'
import sys
head = bytearray(1556)
head[0:8] = b"FIRMWARE"
head[296:296 + 17] = b"QL_IPC2F_V2.1.0.7"
open(sys.argv[1], "wb").write(bytes(head) + b"x" * (256 * 1024))
PY
NS="unshare -n"
[ "$(id -u)" -eq 0 ] || NS="unshare -rn"
$NS bash -s "$WORK" "$CLI" "$DEVSIM" "$DEVICES" <<'INNER'
set -euo pipefail
WORK="$1"; CLI="$2"; DEVSIM="$3"; DEVICES="$4"
ip link set lo up
unshare -n sleep 600 &
PEER=$!
trap 'kill "$PEER" 2>/dev/null || true' EXIT
sleep 0.2
ip link add kvr0 type veth peer name kvr1
ip link set kvr1 netns "$PEER"
ip addr add 10.88.0.1/16 brd + dev kvr0
ip link set kvr0 up
nsenter -t "$PEER" -n sh -c 'ip link set lo up && ip addr add 10.88.0.2/16 brd + dev kvr1 && ip link set kvr1 up'
cd "$WORK"
"$DEVSIM" --netns "/proc/$PEER/ns/net" --server 10.88.0.1 -n "$DEVICES" --step-ms 1500 --spread-ms 5000 \
    --time-limit 300 >"$WORK/devsim.log" 2>&1 &
SIM=$!
START=$(date +%s.%N)
script -q -e -O "$WORK/typescript" -c "stty cols 80 rows 24; exec '$CLI' run --lang en --address 10.88.0.1 \
    --folder '$WORK/fw' --devices '$DEVICES' --idle 20" >/dev/null </dev/null || true
END=$(date +%s.%N)
wait "$SIM" || true
BYTES=$(stat -c %s "$WORK/typescript")
awk -v b="$BYTES" -v s="$START" -v e="$END" -v d="$DEVICES" 'BEGIN {
    t = e - s; printf "%d devices: %d bytes to the terminal in %.1f s = %.0f bytes/s\n", d, b, t, b / t }'
grep -a -A 2 'Run ended:' "$WORK/typescript" | tr -d '\033\r' | cut -c1-160 || true
INNER
