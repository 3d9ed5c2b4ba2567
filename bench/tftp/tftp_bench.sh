#!/usr/bin/env bash
# TFTP throughput of kelvane-cli tftp against tftpd-hpa, same files, same client (curl), same block
# sizes, inside a private network namespace made here (nothing leaves it).
#
#   bench/tftp/tftp_bench.sh [BUILD_DIR]
#
# Environment: RUNS (default 5), BLOCK_SIZES (default "512 1468 16384"), SINGLE_MIB (64),
# KELVANE_CLI (the binary to measure), CONCURRENT (50), CONCURRENT_MIB (16), PLACEMENTS (default "same split"), MEMORY (1: measure the
# service's memory with 100 transfers active), HPA_NICE and CONTROL (see below).
#
# Lock-step TFTP on loopback is bound by scheduling, so server and client are pinned with taskset:
# "same" puts both on CPU 0, "split" the server on CPU 0 and the clients on CPU 1. Every figure is
# the median of RUNS runs, and each run measures both servers back to back; ratios are ours / hpa.
set -euo pipefail
[ -n "${BENCH_TRACE:-}" ] && set -x

if [ "${KELVANE_BENCH_IN_NS:-}" != 1 ]; then
    # Re-enter in a namespace of our own: the servers and clients only ever see its loopback.
    exec env KELVANE_BENCH_IN_NS=1 unshare -n "$0" "$@"
fi

BUILD_DIR="${1:-build}"
CLI="${KELVANE_CLI:-$(cd "$(dirname "$0")/../.." && pwd)/$BUILD_DIR/app/console/kelvane-cli}"
RUNS="${RUNS:-5}"
BLOCK_SIZES="${BLOCK_SIZES:-512 1468 16384}"
SINGLE_MIB="${SINGLE_MIB:-64}"
CONCURRENT="${CONCURRENT:-50}"
CONCURRENT_MIB="${CONCURRENT_MIB:-16}"
PLACEMENTS="${PLACEMENTS:-same split}"
MEMORY="${MEMORY:-1}"
# Our transfer threads run at nice 1 (below normal); HPA_NICE=1 gives tftpd-hpa the same, which
# matters when other programs compete for the server's CPU.
HPA_NICE="${HPA_NICE:-0}"
# CONTROL=1 puts a second tftpd-hpa where ours would be: its ratios show how far two identical
# servers drift apart on this machine, i.e. how much of a ratio is noise.
CONTROL="${CONTROL:-0}"
[ "$CONTROL" = 1 ] && MEMORY=0
OURS_PORT=69
HPA_PORT=6969

[ -x "$CLI" ] || { echo "bench: $CLI not built" >&2; exit 1; }
# tftpd-hpa's in.tftpd: HPA_TFTPD (for example a copy unpacked with dpkg-deb -x), else the one on the
# PATH or in /usr/sbin, unless that is atftpd's alternative of the same name.
HPA="${HPA_TFTPD:-$(command -v in.tftpd 2>/dev/null || echo /usr/sbin/in.tftpd)}"
if [ ! -x "$HPA" ] || [ "$(basename "$(readlink -f "$HPA")")" = atftpd ]; then
    echo "bench: tftpd-hpa's in.tftpd not found ($HPA is missing or is atftpd); install tftpd-hpa or set" \
         "HPA_TFTPD to an unpacked copy (apt-get download tftpd-hpa && dpkg-deb -x ...)" >&2
    exit 1
fi

ip link set lo up
# tftpd-hpa resolves its address with AI_ADDRCONFIG, which wants a non-loopback IPv4 address.
ip link add kb0 type veth peer name kb1
ip addr add 10.77.0.1/24 dev kb0
ip link set kb0 up
ip link set kb1 up

WORK="$(mktemp -d /tmp/kelvane-tftp-bench.XXXXXX)"
ROOT="$WORK/root"
OUT="$WORK/out"
mkdir -p "$ROOT" "$OUT"
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

head -c $((SINGLE_MIB * 1024 * 1024)) /dev/urandom > "$ROOT/single.bin"
head -c $((CONCURRENT_MIB * 1024 * 1024)) /dev/urandom > "$ROOT/multi.bin"

SERVER_CPU=0
start_servers() {  # $1: CPU list for the servers
    if [ "$CONTROL" = 1 ]; then
        taskset -c "$1" nice -n "$HPA_NICE" "$HPA" -L -4 -s -a "127.0.0.1:$OURS_PORT" "$ROOT" &
        echo "listening (control: a second tftpd-hpa)" > "$WORK/ours.out"
    else
        taskset -c "$1" "$CLI" tftp --per-client 0 --address 127.0.0.1 --root "$ROOT" --port "$OURS_PORT" \
            --log-file "$WORK/kelvane.log" > "$WORK/ours.out" 2>&1 &
    fi
    PIDS+=($!)
    OURS_PID=$!
    taskset -c "$1" nice -n "$HPA_NICE" "$HPA" -L -4 -s -a "127.0.0.1:$HPA_PORT" "$ROOT" &
    PIDS+=($!)
    HPA_PID=$!
    sleep 1
    grep -q "listening" "$WORK/ours.out" || { cat "$WORK/ours.out"; exit 1; }
}
stop_servers() {
    kill -TERM "$OURS_PID" "$HPA_PID" 2>/dev/null || true
    wait "$OURS_PID" 2>/dev/null || true
    wait "$HPA_PID" 2>/dev/null || true
    PIDS=()
}

now() { date +%s.%N; }

# single PORT BLKSIZE CLIENT_CPU -> MiB/s, after checking the bytes
single() {
    local t0 t1
    rm -f "$OUT/single.bin"
    t0=$(now)
    taskset -c "$3" curl -sS --tftp-blksize "$2" -o "$OUT/single.bin" "tftp://127.0.0.1:$1/single.bin"
    t1=$(now)
    cmp -s "$ROOT/single.bin" "$OUT/single.bin" || { echo "bench: single download differs (port $1)" >&2; exit 1; }
    echo "$SINGLE_MIB $t0 $t1" | awk '{ printf "%.2f", $1 / ($3 - $2) }'
}

# concurrent PORT BLKSIZE CLIENT_CPU -> "MiB/s seconds", after checking every download
concurrent() {
    local t0 t1 i pids=()
    rm -f "$OUT"/multi.*
    t0=$(now)
    for i in $(seq 1 "$CONCURRENT"); do
        taskset -c "$3" curl -sS --tftp-blksize "$2" -o "$OUT/multi.$i" "tftp://127.0.0.1:$1/multi.bin" &
        pids+=($!)
    done
    for p in "${pids[@]}"; do wait "$p" || { echo "bench: a concurrent download failed (port $1)" >&2; exit 1; }; done
    t1=$(now)
    for i in $(seq 1 "$CONCURRENT"); do
        cmp -s "$ROOT/multi.bin" "$OUT/multi.$i" || { echo "bench: download $i differs (port $1)" >&2; exit 1; }
    done
    rm -f "$OUT"/multi.*
    echo "$CONCURRENT $CONCURRENT_MIB $t0 $t1" | awk '{ printf "%.2f %.2f\n", $1 * $2 / ($4 - $3), $4 - $3 }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf "kelvane-cli tftp vs tftpd-hpa (in.tftpd -L -4 -s), client curl, %s run(s) each, medians\n" "$RUNS"
printf "%-6s %-6s %-10s %12s %12s %8s %10s %10s\n" placement blksize test "ours" "hpa" ratio "ours s" "hpa s"
for placement in $PLACEMENTS; do
    if [ "$placement" = same ]; then CLIENT_CPU=0; else CLIENT_CPU=1; fi
    start_servers "$SERVER_CPU"
    for bs in $BLOCK_SIZES; do
        : > "$WORK/s.ours"; : > "$WORK/s.hpa"; : > "$WORK/s.ratio"
        : > "$WORK/c.ours"; : > "$WORK/c.hpa"; : > "$WORK/c.ratio"; : > "$WORK/c.tours"; : > "$WORK/c.thpa"
        for run in $(seq 1 "$RUNS"); do
            # Who goes first alternates, so neither server always meets a warmer or quieter machine.
            if [ $((run % 2)) = 1 ]; then
                h=$(single "$HPA_PORT" "$bs" "$CLIENT_CPU")
                o=$(single "$OURS_PORT" "$bs" "$CLIENT_CPU")
            else
                o=$(single "$OURS_PORT" "$bs" "$CLIENT_CPU")
                h=$(single "$HPA_PORT" "$bs" "$CLIENT_CPU")
            fi
            echo "$h" >> "$WORK/s.hpa"; echo "$o" >> "$WORK/s.ours"
            awk -v o="$o" -v h="$h" 'BEGIN { printf "%.3f\n", o / h }' >> "$WORK/s.ratio"
            if [ $((run % 2)) = 1 ]; then
                read -r hc ht < <(concurrent "$HPA_PORT" "$bs" "$CLIENT_CPU")
                read -r oc ot < <(concurrent "$OURS_PORT" "$bs" "$CLIENT_CPU")
            else
                read -r oc ot < <(concurrent "$OURS_PORT" "$bs" "$CLIENT_CPU")
                read -r hc ht < <(concurrent "$HPA_PORT" "$bs" "$CLIENT_CPU")
            fi
            echo "$hc" >> "$WORK/c.hpa"; echo "$oc" >> "$WORK/c.ours"
            echo "$ht" >> "$WORK/c.thpa"; echo "$ot" >> "$WORK/c.tours"
            awk -v o="$oc" -v h="$hc" 'BEGIN { printf "%.3f\n", o / h }' >> "$WORK/c.ratio"
            echo "  run $run $placement bs=$bs single ours=$o hpa=$h MiB/s; concurrent ours=$oc hpa=$hc MiB/s" \
                 "(ours ${ot}s, hpa ${ht}s)" >&2
        done
        printf "%-9s %-7s %-10s %10s/s %10s/s %8s %10s %10s\n" "$placement" "$bs" "single" \
            "$(median < "$WORK/s.ours")M" "$(median < "$WORK/s.hpa")M" "$(median < "$WORK/s.ratio")" - -
        printf "%-9s %-7s %-10s %10s/s %10s/s %8s %10s %10s\n" "$placement" "$bs" "x$CONCURRENT" \
            "$(median < "$WORK/c.ours")M" "$(median < "$WORK/c.hpa")M" "$(median < "$WORK/c.ratio")" \
            "$(median < "$WORK/c.tours")" "$(median < "$WORK/c.thpa")"
    done
    stop_servers
done

if [ "$MEMORY" = 1 ]; then
    # 100 clients each start a read and then go quiet: every transfer stays active for its retries.
    start_servers "0-1"
    before=$(awk '/VmRSS/ { print $2 }' "/proc/$OURS_PID/status")
    python3 - "$OURS_PORT" <<'EOF' &
import socket, sys, time
port = int(sys.argv[1])
socks = []
for i in range(100):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.sendto(b"\0\1multi.bin\0octet\0blksize\x0016384\0", ("127.0.0.1", port))
    socks.append(s)
    time.sleep(0.002)
time.sleep(6)
EOF
    py=$!
    sleep 3
    rss=$(awk '/VmRSS/ { print $2 }' "/proc/$OURS_PID/status")
    vsz=$(awk '/VmSize/ { print $2 }' "/proc/$OURS_PID/status")
    threads=$(awk '/Threads/ { print $2 }' "/proc/$OURS_PID/status")
    echo "memory: idle RSS ${before} KiB; with 100 transfers active (blksize 16384): RSS ${rss} KiB," \
         "virtual ${vsz} KiB, ${threads} threads"
    wait "$py" || true
    stop_servers
fi
