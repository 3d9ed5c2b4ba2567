#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each for SECONDS (default 20).
# Usage: scripts/fuzz.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH="${1:-20}"
BUILD_DIR="${2:-build-fuzz}"
CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja -DKELVANE_FUZZ=ON -DKELVANE_BUILD_QT=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR"
mapfile -t harnesses < <(find "$BUILD_DIR/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x | sort)
if [ "${#harnesses[@]}" -eq 0 ]; then
    echo "fuzz: no harnesses built"
    exit 0
fi
failed=0
NS="unshare -n"
[ "$(id -u)" -eq 0 ] || NS="unshare -rn"
for h in "${harnesses[@]}"; do
    name=$(basename "$h")
    corpus="$BUILD_DIR/corpus/$name"
    mkdir -p "$corpus"
    seeds="fuzz/corpus/$name"
    [ -d "$seeds" ] || seeds=""
    echo "== $name for ${SECONDS_EACH}s"
    # Harnesses touch no network; unshare -n keeps it that way should one ever open a socket.
    if ! $NS "$h" -max_total_time="$SECONDS_EACH" -print_final_stats=1 -artifact_prefix="$BUILD_DIR/" \
        "$corpus" $seeds > "$BUILD_DIR/$name.log" 2>&1; then
        echo "fuzz: $name FAILED"; tail -40 "$BUILD_DIR/$name.log"; failed=1
    else
        grep -E 'stat::number_of_executed_units|Done' "$BUILD_DIR/$name.log" | tail -2
    fi
done
exit $failed
