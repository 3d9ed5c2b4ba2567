#!/usr/bin/env bash
# Screenshots of the window under a private X server: scripts/window_shot.sh [BUILD_DIR] [OUT_DIR]
# writes OUT_DIR/window-idle.png (before a run) and OUT_DIR/window.png (a run with simulated
# devices part way through). Everything runs in network namespaces made here: the window's
# side on one end of a veth pair, kelvane-devsim's devices in a second namespace on the other
# end; nothing can reach the machine's network. Xvfb's file-system socket is used.
set -euo pipefail
BUILD_DIR="$(cd "${1:-build}" && pwd)"
OUT_DIR="$(realpath -m "${2:-docs}")"
mkdir -p "$OUT_DIR"
exec unshare -n bash -s "$BUILD_DIR" "$OUT_DIR" <<'INNER'
set -euo pipefail
BUILD_DIR="$1"; OUT_DIR="$2"
WORK="$(mktemp -d)"
XPID=""; NSPID=""; SIMPID=""
cleanup() {
    for pid in $SIMPID $NSPID $XPID; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT
ip link set lo up
# The devices' namespace: held open by a sleeping process, gone with it.
unshare -n sleep infinity &
NSPID=$!
sleep 0.2
DEVNS="/proc/$NSPID/ns/net"
ip link add kv0 type veth peer name kv1
ip link set kv1 netns "$NSPID"
ip addr add 10.77.0.1/24 dev kv0
ip link set kv0 up
nsenter --net="$DEVNS" sh -c 'ip link set lo up; ip addr add 10.77.0.2/24 dev kv1; ip link set kv1 up'

DISPLAY_NO=77
Xvfb ":$DISPLAY_NO" -screen 0 1024x768x24 -nolisten tcp -br >"$WORK/xvfb.log" 2>&1 &
XPID=$!
for _ in $(seq 50); do [ -S "/tmp/.X11-unix/X$DISPLAY_NO" ] && break; sleep 0.1; done
export DISPLAY=":$DISPLAY_NO" XDG_RUNTIME_DIR="$WORK" QT_QPA_PLATFORM=xcb LANG=zh_CN.UTF-8
# A folder with one firmware file of the legacy IPC kind: "FIRMWARE", the version text at 296.
mkdir "$WORK/firmware"
{ printf 'FIRMWARE'; head -c 288 /dev/zero; printf 'QL_IPC2F_V2.0.1.6'; head -c 2000000 /dev/zero; } >"$WORK/firmware/a1.bin"
cp "$BUILD_DIR/app/qt/kelvane-window-shot" "$WORK/"  # its Config.ini and log stay in $WORK
cd "$WORK"
./kelvane-window-shot "$OUT_DIR/window-idle.png"
# Twelve cameras that ask until answered; two of them fail while flashing their kernel.
"$BUILD_DIR/tools/devsim/kelvane-devsim" --netns "$DEVNS" --server 10.77.0.1 -n 10 --model IPC2F \
    --fw-version 2.0.1.5 --step-ms 2000 --spread-ms 4000 --device count=2,fail=kernel:4 --time-limit 60 \
    >"$WORK/devsim.log" 2>&1 &
SIMPID=$!
./kelvane-window-shot "$OUT_DIR/window.png" --folder "$WORK/firmware" --start --wait-ms "${SHOT_WAIT_MS:-7000}"
echo "window_shot: wrote $OUT_DIR/window-idle.png and $OUT_DIR/window.png"
tail -5 "$WORK/devsim.log" || true
INNER
