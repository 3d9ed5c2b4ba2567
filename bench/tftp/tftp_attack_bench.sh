#!/usr/bin/env bash
# What hostile or crowded LAN clients cost kelvane-cli tftp, inside a private network namespace made
# here (loopback only, nothing leaves it):
#   1. DATA packets per block for a client that negotiates windowsize 16 and acknowledges every block;
#   2. the time 5 honest clients take to download a file, alone and beside 100 silent holders (read
#      requests never acknowledged, timeout 255 asked) from one address and from 100 addresses (the
#      standalone server keeps 100 records: that case waits for the holders' retry ladders; a run's
#      service keeps 256, as the last case does).
#      Each case gets a server of its own, so no case inherits the last one's holders, and the honest
#      clients start only once every holder has been answered: the row says how many hold a record;
#   3. the time from a read request to its first DATA with 50 and 250 requests sent at once, each
#      from its own address (median and worst).
#
#   bench/tftp/tftp_attack_bench.sh [BUILD_DIR]
#
# Environment: KELVANE_CLI (the binary), FILE_KIB (1024: the honest clients' file).
# Figures on a loaded, shared machine are noisy: compare rows of one run, not runs of different days.
set -euo pipefail

if [ "${KELVANE_BENCH_IN_NS:-}" != 1 ]; then
    NS="unshare -n"
    [ "$(id -u)" -eq 0 ] || NS="unshare -rn"
    exec env KELVANE_BENCH_IN_NS=1 $NS "$0" "$@"
fi

BUILD_DIR="${1:-build}"
CLI="${KELVANE_CLI:-$(cd "$(dirname "$0")/../.." && pwd)/$BUILD_DIR/app/console/kelvane-cli}"
FILE_KIB="${FILE_KIB:-1024}"
[ -x "$CLI" ] || { echo "bench: $CLI not built" >&2; exit 1; }
command -v python3 > /dev/null || { echo "bench: python3 is needed for the raw clients" >&2; exit 1; }
ip link set lo up

WORK="$(mktemp -d /tmp/kelvane-attack-bench.XXXXXX)"
cleanup() {
    rm -rf "$WORK"
}
trap cleanup EXIT
mkdir "$WORK/root"
head -c $((FILE_KIB * 1024)) /dev/urandom > "$WORK/root/fw.bin"
head -c $((513 * 512 - 100)) /dev/urandom > "$WORK/root/w.bin"

python3 - "$FILE_KIB" "$CLI" "$WORK" << 'EOF'
import os, select, socket, statistics, struct, subprocess, sys, time

FILE_KIB = int(sys.argv[1])
CLI, WORK = sys.argv[2], sys.argv[3]
SERVER = ("127.0.0.1", 69)
server = None

def stop_server():
    global server
    if server is None:
        return
    server.terminate()
    server.wait()
    server = None
    log = os.path.join(WORK, "server.log")
    drops = sum("dropped" in line for line in open(log, errors="replace")) if os.path.exists(log) else 0
    print(f"server: {drops} drop line(s) in its log", flush=True)
    if os.path.exists(log):
        os.remove(log)

# Every case gets a server of its own, so none inherits the records the last one's clients hold.
def fresh_server(records=None):
    global server
    stop_server()
    out = os.path.join(WORK, "server.out")
    extra = ["--max-transfers", str(records)] if records else []
    server = subprocess.Popen([CLI, "tftp", "--address", "0.0.0.0", "--root", os.path.join(WORK, "root"),
                               "--log-level", "1", "--log-file", os.path.join(WORK, "server.log")] + extra,
                              stdout=open(out, "w"), stderr=subprocess.STDOUT)
    for _ in range(50):
        if "listening" in open(out).read():
            return
        time.sleep(0.1)
    sys.exit("bench: the server did not start: " + open(out).read())

def request(name, *options):
    body = name.encode() + b"\0octet\0" + b"".join(o.encode() + b"\0" for o in options)
    return struct.pack("!H", 1) + body

def client(ip):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((ip, 0))
    return s

def window_client():
    s = client("127.0.0.1")
    s.settimeout(2)
    s.sendto(request("w.bin", "windowsize", "16"), SERVER)
    packet, peer = s.recvfrom(2048)
    s.sendto(struct.pack("!HH", 4, 0), peer)
    data_packets, expect = 0, 1
    while True:
        try:
            packet, _ = s.recvfrom(2048)
        except socket.timeout:
            break
        opcode, block = struct.unpack("!HH", packet[:4])
        if opcode != 3:
            break
        data_packets += 1
        if block == expect & 0xFFFF:
            s.sendto(struct.pack("!HH", 4, block), peer)
            if len(packet) - 4 < 512:
                s.settimeout(0.5)  # count what still comes after the last block
            expect += 1
    blocks = expect - 1
    print(f"window 16, ACK every block: {data_packets} DATA packets for {blocks} blocks = "
          f"{data_packets / blocks:.2f} per block")

def download(ip):
    s = client(ip)
    s.settimeout(2)
    start = time.monotonic()
    while True:  # asked again every 2 s, as device clients do, for at most 60 s
        s.sendto(request("fw.bin", "blksize", "1468"), SERVER)
        try:
            packet, peer = s.recvfrom(2048)
            break
        except socket.timeout:
            if time.monotonic() - start > 60:
                return None
    s.settimeout(5)
    if struct.unpack("!H", packet[:2])[0] == 6:
        s.sendto(struct.pack("!HH", 4, 0), peer)
        try:
            packet, peer = s.recvfrom(2048)
        except socket.timeout:
            return None
    received = 0
    while True:
        opcode, block = struct.unpack("!HH", packet[:4])
        if opcode != 3:
            return None
        received += len(packet) - 4
        s.sendto(struct.pack("!HH", 4, block), peer)
        if len(packet) - 4 < 1468:
            return time.monotonic() - start if received == FILE_KIB * 1024 else None
        try:
            packet, peer = s.recvfrom(2048)
        except socket.timeout:
            return None

# Holders answered with DATA or an OACK (the timeout they ask is refused, so DATA) hold a record until
# their retry ladder ends; the others were refused or dropped. Waiting for every answer (or 5 s) is what puts the honest clients after the holders,
# not beside a server still taking them on.
def hold(silent_ips):
    holders = []
    for ip in silent_ips:
        s = client(ip)
        s.sendto(request("fw.bin", "timeout", "255"), SERVER)
        holders.append(s)
    holding, deadline, waiting = 0, time.monotonic() + 5, set(holders)
    while waiting and time.monotonic() < deadline:
        ready, _, _ = select.select(list(waiting), [], [], 0.2)
        for s in ready:
            packet, _ = s.recvfrom(2048)
            holding += struct.unpack("!H", packet[:2])[0] in (3, 6)
            waiting.discard(s)  # the first answer only: never acknowledged
    return holders, holding

def honest_round(label, silent_ips, records=None):
    fresh_server(records)
    holders, holding = hold(silent_ips)
    times = [download(f"127.0.3.{i + 1}") for i in range(5)]
    done = [t for t in times if t is not None]
    held = f" ({holding}/{len(silent_ips)} holding a record)" if silent_ips else ""
    print(f"5 honest clients {label}{held}: {len(done)}/5 finished, "
          f"slowest {max(done) if done else float('nan'):.3f} s", flush=True)
    for s in holders:
        s.close()

def first_data(count):
    clients = [client(f"127.1.{i // 200}.{i % 200 + 1}") for i in range(count)]
    sent = {}
    for s in clients:
        sent[s] = time.monotonic()
        s.sendto(request("fw.bin"), SERVER)
    latency = {}
    deadline = time.monotonic() + 30
    while len(latency) < count and time.monotonic() < deadline:
        ready, _, _ = select.select([s for s in clients if s not in latency], [], [], 1)
        for s in ready:
            packet, peer = s.recvfrom(2048)
            latency[s] = time.monotonic() - sent[s]
            s.sendto(struct.pack("!HH", 5, 0) + b"bench\0", peer)  # end the transfer
    values = sorted(latency.values())
    print(f"first DATA, {count} requests at once: {len(values)}/{count} answered, "
          f"median {statistics.median(values) * 1000:.1f} ms, worst {values[-1] * 1000:.1f} ms")
    for s in clients:
        s.close()

try:
    fresh_server()
    window_client()
    honest_round("alone", [])
    honest_round("beside 100 silent holders from one address", ["127.0.2.1"] * 100)
    honest_round("beside 100 silent holders from 100 addresses", [f"127.0.2.{i + 1}" for i in range(100)])
    honest_round("beside 100 silent holders from 100 addresses, 256 records as in a run",
                 [f"127.0.2.{i + 1}" for i in range(100)], 256)
    fresh_server()
    first_data(50)
    time.sleep(1)
    first_data(250)
finally:
    stop_server()
EOF
