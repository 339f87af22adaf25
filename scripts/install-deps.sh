#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages. Quick when all is there.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libclang-rt-14-dev
    libpipewire-0.3-dev libspa-0.2-dev
    pipewire pipewire-bin pipewire-pulse wireplumber pulseaudio-utils sox
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
