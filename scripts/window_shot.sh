#!/usr/bin/env bash
# Screenshots of the window under private X servers: scripts/window_shot.sh [BUILD_DIR] [OUT_DIR]
# takes the window in Chinese and English, idle and after a run in which two of twelve
# simulated cameras fail, on a screen that holds the dialog's own size (1024 x 768) and on a
# small laptop's (1024 x 600): OUT_DIR/window-{zh,en}-{idle,run}-{1024x768,1024x600}.png.
# With RANGE_FULL=1 it also takes OUT_DIR/window-{zh,en}-full-1024x600.png: 260 devices ask for
# the 240 addresses of the range and flash slowly, so the window shows the requests left unanswered.
# With DOCS=1 it also copies the documentation's pictures into docs/: window.png (Chinese run),
# window-idle.png, window-en.png (English run) and window-1024x600.png (Chinese run, small screen).
# Everything runs in network namespaces made here: the window's side on one end of a veth pair,
# kelvane-devsim's devices in a second namespace on the other end; nothing can reach the
# machine's network. Xvfb's file-system socket is used.
set -euo pipefail
BUILD_DIR="$(cd "${1:-build}" && pwd)"
OUT_DIR="$(realpath -m "${2:-$BUILD_DIR/window-shots}")"
DOCS_DIR="$(cd "$(dirname "$0")/.." && pwd)/docs"
mkdir -p "$OUT_DIR"
unshare -n bash -s "$BUILD_DIR" "$OUT_DIR" <<'INNER'
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

# A folder with one firmware file of the legacy IPC kind: "FIRMWARE", the version text at 296.
mkdir "$WORK/firmware"
{ printf 'FIRMWARE'; head -c 288 /dev/zero; printf 'QL_IPC2F_V2.0.1.6'; head -c 2000000 /dev/zero; } >"$WORK/firmware/a1.bin"
cp "$BUILD_DIR/app/qt/kelvane-window-shot" "$WORK/"  # its Config.ini and log stay in $WORK
cd "$WORK"
export XDG_RUNTIME_DIR="$WORK" QT_QPA_PLATFORM=xcb

# shoot_run NAME FOLDER DEVSIM-OPTIONS...: simulated IPC2F cameras ask while the window runs on FOLDER.
shoot_run() {
    local name="$1" folder="$2"
    shift 2
    "$BUILD_DIR/tools/devsim/kelvane-devsim" --netns "$DEVNS" --server 10.77.0.1 --model IPC2F \
        --fw-version 2.0.1.5 --time-limit 60 "$@" >"$WORK/devsim-$name.log" 2>&1 &
    SIMPID=$!
    ./kelvane-window-shot "$OUT_DIR/window-$lang-$name-$screen.png" --folder "$folder" --start \
        --wait-ms "${SHOT_WAIT_MS:-12000}"
    kill "$SIMPID" 2>/dev/null || true
    wait "$SIMPID" 2>/dev/null || true
    SIMPID=""
}

DISPLAY_NO=77
for screen in 1024x768 1024x600; do
    Xvfb ":$DISPLAY_NO" -screen 0 "${screen}x24" -nolisten tcp -br >"$WORK/xvfb.log" 2>&1 &
    XPID=$!
    for _ in $(seq 50); do [ -S "/tmp/.X11-unix/X$DISPLAY_NO" ] && break; sleep 0.1; done
    export DISPLAY=":$DISPLAY_NO"
    for lang in zh en; do
        [ "$lang" = zh ] && export LANG=zh_CN.UTF-8 || export LANG=en_US.UTF-8
        ./kelvane-window-shot "$OUT_DIR/window-$lang-idle-$screen.png"
        # Twelve cameras that ask until answered; two of them fail while flashing their kernel.
        shoot_run run "$WORK/firmware" -n 10 --step-ms 1500 --spread-ms 3000 --device count=2,fail=kernel:4
        if [ "${RANGE_FULL:-0}" = 1 ] && [ "$screen" = 1024x600 ]; then
            # A small file: 240 downloads at once must not be what the picture waits for.
            mkdir -p "$WORK/small"
            { printf 'FIRMWARE'; head -c 288 /dev/zero; printf 'QL_IPC2F_V2.0.1.6'; head -c 20000 /dev/zero; } \
                >"$WORK/small/a1.bin"
            shoot_run full "$WORK/small" -n 260 --step-ms 30000 --spread-ms 2000 --request-interval-ms 1000
        fi
    done
    kill "$XPID"
    wait "$XPID" 2>/dev/null || true
    XPID=""
    DISPLAY_NO=$((DISPLAY_NO + 1))
done
INNER
ls "$OUT_DIR"/window-*.png
if [ "${DOCS:-0}" = 1 ]; then
    cp "$OUT_DIR/window-zh-run-1024x768.png" "$DOCS_DIR/window.png"
    cp "$OUT_DIR/window-zh-idle-1024x768.png" "$DOCS_DIR/window-idle.png"
    cp "$OUT_DIR/window-en-run-1024x768.png" "$DOCS_DIR/window-en.png"
    cp "$OUT_DIR/window-zh-run-1024x600.png" "$DOCS_DIR/window-1024x600.png"
    echo "window_shot: copied the documentation's pictures into $DOCS_DIR"
fi
