#!/usr/bin/env bash
# Installs what building, running and testing need, from Debian's archive.
# Usage: scripts/install-deps.sh [more packages...]   (for tools only some scripts use)
set -euo pipefail
packages=(cmake g++ make qt6-base-dev qt6-base-dev-tools libgl-dev tinyproxy curl
          xvfb xauth x11-utils imagemagick trayer clang-format dpkg-dev
          qtkeychain-qt6-dev libsecret-1-0 gnome-keyring dbus
          iproute2 libqt6sql6-sqlite "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
