#!/usr/bin/env bash
# Configures, builds and runs every test. Usage: scripts/test.sh [BUILD_DIR] [extra cmake options...]
# Each test binary enters a network namespace of its own before any test runs.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
shift || true
cmake -S . -B "$BUILD_DIR" -G Ninja "$@"
cmake --build "$BUILD_DIR"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
