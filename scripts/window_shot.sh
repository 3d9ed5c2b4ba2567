#!/usr/bin/env bash
# Screenshots of the window under a private X server: scripts/window_shot.sh [BUILD_DIR] [OUT_DIR]
# writes OUT_DIR/window.png (a run started) and OUT_DIR/window-idle.png (before it). Everything runs
# in a network namespace of its own: a veth pair gives the run an address and a MAC, and nothing
# can reach the machine's network. Xvfb's file-system socket is used inside that namespace.
set -euo pipefail
BUILD_DIR="$(cd "${1:-build}" && pwd)"
OUT_DIR="$(realpath -m "${2:-docs}")"
mkdir -p "$OUT_DIR"
exec unshare -n bash -s "$BUILD_DIR" "$OUT_DIR" <<'INNER'
set -euo pipefail
BUILD_DIR="$1"; OUT_DIR="$2"
ip link set lo up
ip link add kv0 type veth peer name kv1
ip addr add 10.77.0.1/24 dev kv0
ip link set kv0 up
ip link set kv1 up
WORK="$(mktemp -d)"
XPID=""
cleanup() { [ -n "$XPID" ] && kill "$XPID" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$WORK"; }
trap cleanup EXIT
DISPLAY_NO=77
Xvfb ":$DISPLAY_NO" -screen 0 1024x768x24 -nolisten tcp -br >"$WORK/xvfb.log" 2>&1 &
XPID=$!
for _ in $(seq 50); do [ -S "/tmp/.X11-unix/X$DISPLAY_NO" ] && break; sleep 0.1; done
export DISPLAY=":$DISPLAY_NO" XDG_RUNTIME_DIR="$WORK" QT_QPA_PLATFORM=xcb
# A folder with one firmware file of the legacy IPC kind: "FIRMWARE", the version text at 296.
mkdir "$WORK/firmware"
{ printf 'FIRMWARE'; head -c 288 /dev/zero; printf 'IPC-A1-2.0.1.6'; head -c 1262 /dev/zero; } >"$WORK/firmware/a1.bin"
cp "$BUILD_DIR/app/qt/kelvane-window-shot" "$WORK/"  # its Config.ini and log stay in $WORK
cd "$WORK"
./kelvane-window-shot "$OUT_DIR/window-idle.png"
./kelvane-window-shot "$OUT_DIR/window.png" --folder "$WORK/firmware" --start
echo "window_shot: wrote $OUT_DIR/window.png and $OUT_DIR/window-idle.png"
INNER
