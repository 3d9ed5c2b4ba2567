#!/usr/bin/env bash
# Takes a screenshot of the window under a private X server: scripts/window_shot.sh BUILD_DIR OUT.png
# Everything runs in a network namespace of its own (only loopback), so a run started in the
# window cannot reach the machine's network. Xvfb's file-system socket lives in a private folder.
set -euo pipefail
BUILD_DIR="$(cd "${1:-build}" && pwd)"
OUT="$(realpath -m "${2:-docs/window.png}")"
SETTLE="${SETTLE:-3}"
exec unshare -n bash -s "$BUILD_DIR" "$OUT" "$SETTLE" <<'INNER'
set -euo pipefail
BUILD_DIR="$1"; OUT="$2"; SETTLE="$3"
ip link set lo up
WORK="$(mktemp -d)"
cleanup() { kill "$KPID" "$XPID" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$WORK"; }
KPID=""; XPID=""
trap cleanup EXIT
DISPLAY_NO=77
Xvfb ":$DISPLAY_NO" -screen 0 1024x768x24 -nolisten tcp -br >"$WORK/xvfb.log" 2>&1 &
XPID=$!
for _ in $(seq 50); do [ -S "/tmp/.X11-unix/X$DISPLAY_NO" ] && break; sleep 0.1; done
export DISPLAY=":$DISPLAY_NO" XDG_RUNTIME_DIR="$WORK" QT_QPA_PLATFORM=xcb
cd "$WORK"
"$BUILD_DIR/app/qt/kelvane" &
KPID=$!
sleep "$SETTLE"
"$BUILD_DIR/app/qt/kelvane-screen-grab" "$OUT"
echo "window_shot: wrote $OUT"
INNER
