#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, test and fuzz. Idempotent.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
PACKAGES=(
    cmake ninja-build g++ clang libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    zlib1g-dev libssl-dev libcli11-dev nlohmann-json3-dev
    qt6-base-dev qt6-translations-l10n fonts-noto-cjk libunwind-dev pkgconf xvfb
    iproute2 curl atftp tftp-hpa
    dpkg-dev file libcap2-bin binutils
)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "install-deps: all ${#PACKAGES[@]} packages present"
