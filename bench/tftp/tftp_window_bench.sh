#!/usr/bin/env bash
# "windowsize" throughput of kelvane-cli tftp, with atftp as the client for every server, inside a
# private network namespace made here (nothing leaves it):
#   1. ours at windowsize W (16) against ours in lock-step (the client does not ask), block size BS (1468);
#   2. ours against atftpd (Debian's atftpd, a black-box baseline) at the same window and block size,
#      one client and CONCURRENT (50) at once;
#   3. an A/A control: a second instance of ours in the other's place, so the noise is visible;
#   4. a table of every block size x window for ours: time per transfer against lock-step at that
#      block size and the time-outs the service logged ("stall" when above twice the lock-step time
#      or when any time-out happened).
#
#   bench/tftp/tftp_window_bench.sh [BUILD_DIR]
#
# Environment: RUNS (5), WINDOW (16), BS (1468), SINGLE_MIB (32), CONCURRENT (50), CONCURRENT_MIB (4),
# PLACEMENTS ("same split"), TABLE (1), TABLE_MIB (8), TABLE_BLOCK_SIZES ("512 1468 4096 8192 16384"),
# TABLE_WINDOWS ("1 2 4 8 16 32 64"), TABLE_RUNS (1), KELVANE_CLI, ATFTP, ATFTPD (the binaries),
# CLIENT (atftp; "devsim" downloads with the simulator's reader, bench_tftp_get: a second,
# independent client, so that a limit of one client can be told from a limit of the servers).
#
# Placement as in tftp_bench.sh: "same" pins servers and clients on CPU 0, "split" the servers on
# CPU 0 and the clients on CPU 1. Each run measures every server back to back, in an order that
# rotates from run to run; figures are medians of RUNS runs, ratios taken per run.
set -euo pipefail
[ -n "${BENCH_TRACE:-}" ] && set -x

if [ "${KELVANE_BENCH_IN_NS:-}" != 1 ]; then
    NS="unshare -n"
    [ "$(id -u)" -eq 0 ] || NS="unshare -rn"
    exec env KELVANE_BENCH_IN_NS=1 $NS "$0" "$@"
fi

BUILD_DIR="${1:-build}"
CLI="${KELVANE_CLI:-$(cd "$(dirname "$0")/../.." && pwd)/$BUILD_DIR/app/console/kelvane-cli}"
GET="$(cd "$(dirname "$0")/../.." && pwd)/$BUILD_DIR/bench/bench_tftp_get"
CLIENT="${CLIENT:-atftp}"
RUNS="${RUNS:-5}"
WINDOW="${WINDOW:-16}"
BS="${BS:-1468}"
SINGLE_MIB="${SINGLE_MIB:-32}"
CONCURRENT="${CONCURRENT:-50}"
CONCURRENT_MIB="${CONCURRENT_MIB:-4}"
PLACEMENTS="${PLACEMENTS:-same split}"
TABLE="${TABLE:-1}"
TABLE_MIB="${TABLE_MIB:-8}"
TABLE_BLOCK_SIZES="${TABLE_BLOCK_SIZES:-512 1468 4096 8192 16384}"
TABLE_WINDOWS="${TABLE_WINDOWS:-1 2 4 8 16 32 64}"
TABLE_RUNS="${TABLE_RUNS:-1}"
OURS_PORT=69
CONTROL_PORT=6970
ATFTPD_PORT=6969

# Finds a program: the variable's value, then PATH, then the sbin folders; empty when missing.
find_bin() {
    local given="$1" name="$2" p
    if [ -n "$given" ]; then [ -x "$given" ] && echo "$given"; return 0; fi
    for p in "$(command -v "$name" 2>/dev/null || true)" "/usr/sbin/$name" "/sbin/$name"; do
        [ -n "$p" ] && [ -x "$p" ] && { echo "$p"; return 0; }
    done
    return 0
}
ATFTP="$(find_bin "${ATFTP:-}" atftp)"
ATFTPD="$(find_bin "${ATFTPD:-}" atftpd)"
[ -x "$CLI" ] || { echo "bench: kelvane-cli not found at $CLI (build it, or set KELVANE_CLI)" >&2; exit 1; }
[ "$CLIENT" = atftp ] || [ "$CLIENT" = devsim ] || { echo "bench: CLIENT is atftp or devsim" >&2; exit 1; }
[ "$CLIENT" = atftp ] || [ -x "$GET" ] || { echo "bench: $GET not found (build the bench)" >&2; exit 1; }
[ -n "$ATFTP" ] || { echo "bench: the atftp client is missing (Debian package atftp, or set ATFTP)" >&2; exit 1; }
if [ -z "$ATFTPD" ]; then
    echo "bench: atftpd is missing (Debian package atftpd, or set ATFTPD): the comparison with it is left out" >&2
fi

ip link set lo up
WORK="$(mktemp -d /tmp/kelvane-window-bench.XXXXXX)"
ROOT="$WORK/root"
OUT="$WORK/out"
mkdir -p "$ROOT" "$OUT"
chmod 755 "$WORK" "$ROOT"
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

head -c $((SINGLE_MIB * 1024 * 1024)) /dev/urandom > "$ROOT/single.bin"
head -c $((CONCURRENT_MIB * 1024 * 1024)) /dev/urandom > "$ROOT/multi.bin"
head -c $((TABLE_MIB * 1024 * 1024)) /dev/urandom > "$ROOT/table.bin"

start_servers() {  # $1: CPU list for the servers
    PIDS=()
    taskset -c "$1" "$CLI" tftp --per-client 0 --address 127.0.0.1 --root "$ROOT" --port "$OURS_PORT" --log-level 2 \
        --log-file "$WORK/ours.log" > "$WORK/ours.out" 2>&1 &
    PIDS+=($!)
    taskset -c "$1" "$CLI" tftp --per-client 0 --address 127.0.0.1 --root "$ROOT" --port "$CONTROL_PORT" \
        --log-file "$WORK/control.log" > "$WORK/control.out" 2>&1 &
    PIDS+=($!)
    if [ -n "$ATFTPD" ]; then
        taskset -c "$1" "$ATFTPD" --daemon --no-fork --user root --group root --port "$ATFTPD_PORT" \
            --bind-address 127.0.0.1 --logfile /dev/null --maxthread 200 "$ROOT" &
        PIDS+=($!)
    fi
    sleep 1
    grep -q "listening" "$WORK/ours.out" || { cat "$WORK/ours.out"; exit 1; }
    grep -q "listening" "$WORK/control.out" || { cat "$WORK/control.out"; exit 1; }
}
stop_servers() {
    for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
    PIDS=()
}

now() { date +%s.%N; }
options() {  # $1 block size, $2 window (0: not asked)
    echo "--option"; echo "blksize $1"
    if [ "$2" != 0 ]; then echo "--option"; echo "windowsize $2"; fi
}

# get PORT FILE OUTFILE BLKSIZE WINDOW CLIENT_CPU: fails when the bytes differ
get() {
    local opts
    if [ "$CLIENT" = devsim ]; then
        taskset -c "$6" "$GET" 127.0.0.1 "$1" "$2" "$3" "$4" "$5" >/dev/null 2>&1 || return 1
        cmp -s "$ROOT/$2" "$3"
        return
    fi
    mapfile -t opts < <(options "$4" "$5")
    taskset -c "$6" "$ATFTP" "${opts[@]}" -g -r "$2" -l "$3" 127.0.0.1 "$1" >/dev/null 2>&1 || return 1
    cmp -s "$ROOT/$2" "$3"
}

# single PORT BLKSIZE WINDOW CLIENT_CPU FILE MIB -> MiB/s
single() {
    local t0 t1
    rm -f "$OUT/single"
    t0=$(now)
    get "$1" "$5" "$OUT/single" "$2" "$3" "$4" || { echo "bench: download from port $1 failed or differs" >&2; exit 1; }
    t1=$(now)
    echo "$6 $t0 $t1" | awk '{ printf "%.2f", $1 / ($3 - $2) }'
}

# concurrent PORT BLKSIZE WINDOW CLIENT_CPU -> "MiB/s seconds"
concurrent() {
    local t0 t1 i pids=()
    rm -f "$OUT"/multi.*
    t0=$(now)
    for i in $(seq 1 "$CONCURRENT"); do
        get "$1" multi.bin "$OUT/multi.$i" "$2" "$3" "$4" &
        pids+=($!)
    done
    for p in "${pids[@]}"; do wait "$p" || { echo "bench: a concurrent download failed or differs (port $1)" >&2; exit 1; }; done
    t1=$(now)
    rm -f "$OUT"/multi.*
    echo "$CONCURRENT $CONCURRENT_MIB $t0 $t1" | awk '{ printf "%.2f %.2f\n", $1 * $2 / ($4 - $3), $4 - $3 }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", a / b }'; }

# The servers measured side by side: name, port, window asked.
SERVERS=("lockstep $OURS_PORT 0" "ours $OURS_PORT $WINDOW" "control $CONTROL_PORT $WINDOW")
[ -n "$ATFTPD" ] && SERVERS+=("atftpd $ATFTPD_PORT $WINDOW")

CLIENT_NAME="atftp ($($ATFTP -V 2>&1 | head -1))"
[ "$CLIENT" = devsim ] && CLIENT_NAME="the simulator's reader (bench_tftp_get)"
echo "kelvane-cli tftp, windowsize $WINDOW, blksize $BS; client $CLIENT_NAME;" \
     "baseline ${ATFTPD:-none}; $RUNS run(s), medians"
echo "servers: lockstep = ours, client does not ask windowsize; control = a second kelvane-cli (A/A)"
printf "%-9s %-8s %10s %10s %10s %10s | %9s %9s %9s\n" placement test lockstep ours control atftpd \
    "ours/lock" "ours/atftpd" "A/A"
for placement in $PLACEMENTS; do
    if [ "$placement" = same ]; then CLIENT_CPU=0; else CLIENT_CPU=1; fi
    start_servers 0
    for test in single "x$CONCURRENT"; do
        for s in "${SERVERS[@]}"; do : > "$WORK/r.${s%% *}"; done
        : > "$WORK/q.lock"; : > "$WORK/q.atftpd"; : > "$WORK/q.aa"
        for run in $(seq 1 "$RUNS"); do
            n=${#SERVERS[@]}
            declare -A got=()
            for k in $(seq 0 $((n - 1))); do
                read -r name port window <<< "${SERVERS[$(((k + run) % n))]}"
                if [ "$test" = single ]; then
                    v=$(single "$port" "$BS" "$window" "$CLIENT_CPU" single.bin "$SINGLE_MIB")
                else
                    [ "$name" = lockstep ] && { v=0; got[$name]=0; continue; }
                    read -r v _ < <(concurrent "$port" "$BS" "$window" "$CLIENT_CPU")
                fi
                got[$name]=$v
                echo "$v" >> "$WORK/r.$name"
            done
            [ "${got[lockstep]}" != 0 ] && ratio "${got[ours]}" "${got[lockstep]}" >> "$WORK/q.lock"
            [ -n "${got[atftpd]:-}" ] && ratio "${got[ours]}" "${got[atftpd]}" >> "$WORK/q.atftpd"
            ratio "${got[ours]}" "${got[control]}" >> "$WORK/q.aa"
            echo "  run $run $placement $test: $(for s in "${SERVERS[@]}"; do printf "%s=%s " "${s%% *}" "${got[${s%% *}]}"; done)MiB/s" >&2
            unset got
        done
        m() { [ -s "$1" ] && median < "$1" || echo -; }
        printf "%-9s %-8s %10s %10s %10s %10s | %9s %9s %9s\n" "$placement" "$test" "$(m "$WORK/r.lockstep")" \
            "$(m "$WORK/r.ours")" "$(m "$WORK/r.control")" "$(m "$WORK/r.atftpd")" "$(m "$WORK/q.lock")" \
            "$(m "$WORK/q.atftpd")" "$(m "$WORK/q.aa")"
    done
    stop_servers
done
echo "(MiB/s; single = one ${SINGLE_MIB} MiB download, x$CONCURRENT = $CONCURRENT downloads of ${CONCURRENT_MIB} MiB at once)"

[ "$TABLE" = 1 ] || exit 0
# Seconds per TABLE_MIB transfer for every block size x window, ours, split placement. "t/o" counts
# the time-outs the service logged during those transfers.
start_servers 0
echo
echo "no-stall table: seconds per ${TABLE_MIB} MiB download from ours (server CPU 0, client CPU 1)," \
     "median of $TABLE_RUNS; lock = no windowsize asked; t/o = time-outs logged"
printf "%-7s %8s" blksize lock
for w in $TABLE_WINDOWS; do printf " %12s" "w$w"; done
echo
stalls=0
for bs in $TABLE_BLOCK_SIZES; do
    cell() {  # $1 window -> "seconds timeouts"
        local t0 t1 before after i
        : > "$WORK/cell"
        before=$(grep -c "timeout while waiting" "$WORK/ours.log" 2>/dev/null || true)
        for i in $(seq 1 "$TABLE_RUNS"); do
            t0=$(now)
            get "$OURS_PORT" table.bin "$OUT/table" "$bs" "$1" 1 || { echo "bench: table download bs=$bs w=$1 failed" >&2; exit 1; }
            t1=$(now)
            echo "$t0 $t1" | awk '{ printf "%.3f\n", $2 - $1 }' >> "$WORK/cell"
        done
        after=$(grep -c "timeout while waiting" "$WORK/ours.log" 2>/dev/null || true)
        echo "$(median < "$WORK/cell") $((after - before))"
    }
    read -r lock lockto < <(cell 0)
    printf "%-7s %8s" "$bs" "$lock"
    for w in $TABLE_WINDOWS; do
        read -r secs to < <(cell "$w")
        mark=""
        if [ "$to" != 0 ] || awk -v s="$secs" -v l="$lock" 'BEGIN { exit !(s > 2 * l) }'; then
            mark=" STALL"; stalls=$((stalls + 1))
        fi
        printf " %12s" "$secs/${to}${mark}"
    done
    echo
done
stop_servers
echo "cells: seconds/time-outs; $stalls stalled cell(s)"
