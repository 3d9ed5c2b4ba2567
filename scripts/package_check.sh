#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get and checks that an unprivileged user can
# serve TFTP on port 69 with the installed kelvane-cli, inside a network namespace made here
# (deleted on every exit). Removes the package again if it was not installed before.
# Usage: scripts/package_check.sh [BUILD_DIR] [extra cmake options...]   (as root)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build-pkg}"
shift || true
[ "$(id -u)" -eq 0 ] || { echo "package_check: run as root (installs the package)"; exit 2; }

# A release build as a technician's package has it; CI keeps warnings errors here too.
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_TESTS=OFF \
    -DKELVANE_BUILD_BENCH=OFF "$@"
cmake --build "$BUILD_DIR"
rm -f "$BUILD_DIR"/kelvane_*.deb
(cd "$BUILD_DIR" && cpack -G DEB)
deb=$(ls "$BUILD_DIR"/kelvane_*.deb)
echo "== package $deb"
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Architecture|Depends):'
dpkg-deb --contents "$deb" | awk '{print $6}' | grep -v '/$'

was_installed=0
dpkg-query -W -f='${Status}' kelvane 2>/dev/null | grep -q "install ok installed" && was_installed=1
NS="kvpkg$$"
work=$(mktemp -d)
cleanup() {
    [ -n "${server:-}" ] && kill "$server" 2>/dev/null || true
    ip netns del "$NS" 2>/dev/null || true
    rm -rf "$work"
    if [ "$was_installed" -eq 0 ]; then apt-get remove -y -qq kelvane > /dev/null 2>&1 || true; fi
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb"
for p in /usr/bin/kelvane-cli /usr/bin/kelvane /usr/bin/kelvane-devsim; do
    [ -x "$p" ] || continue
    echo "== $p --version: $("$p" --version)"
done
echo "== $(getcap /usr/bin/kelvane-cli)"

# The served folder and the log's working folder, for user nobody.
mkdir -p "$work/root" "$work/run"
head -c 100000 /dev/urandom > "$work/root/fw.bin"
chmod 755 "$work" "$work/root"
chmod 644 "$work/root/fw.bin"
chown nobody "$work/run"

ip netns add "$NS"
ip netns exec "$NS" ip link set lo up
# Not root, no capabilities of its own: only the file capabilities of the installed program can
# let it bind port 69. setpriv keeps no_new_privs off, so those apply at exec.
(cd "$work/run" && exec ip netns exec "$NS" setpriv --reuid=nobody --regid=nogroup --clear-groups \
    kelvane-cli tftp --address 127.0.0.1 --root "$work/root") > "$work/server.out" 2>&1 &
server=$!
for _ in $(seq 50); do
    grep -q "listening" "$work/server.out" 2>/dev/null && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
done
echo "== kelvane-cli tftp as $(ip netns exec "$NS" setpriv --reuid=nobody --regid=nogroup --clear-groups id -un):"
cat "$work/server.out"
grep -q "listening on 127.0.0.1 port 69" "$work/server.out" || { echo "package_check: FAILED to bind port 69"; exit 1; }
ip netns exec "$NS" curl -s -o "$work/got.bin" tftp://127.0.0.1/fw.bin
cmp "$work/root/fw.bin" "$work/got.bin"
echo "== downloaded fw.bin over TFTP from the installed kelvane-cli: identical"
kill -TERM "$server"
wait "$server" || true
echo "package_check: OK"
