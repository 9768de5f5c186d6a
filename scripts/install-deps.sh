#!/usr/bin/env bash
# Installs the Debian 12 packages Salvor needs to build, test and run.
# Idempotent; needs root (CI runs as root), otherwise uses sudo.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libsqlite3-dev sqlite3 libplist-dev libssl-dev libimobiledevice-dev zlib1g-dev
  libimobiledevice-utils usbmuxd
  nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3-vobject qt6-base-dev
  libheif-dev fonts-noto-color-emoji openssl
  fonts-noto-cjk python3-icalendar poppler-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "All build dependencies are installed."
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
