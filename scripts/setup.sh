#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the tools and the benchmarks need.
# Idempotent: packages already present are left as they are.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-l10n-tools qt6-tools-dev qt6-tools-dev-tools qt6-translations-l10n
  libtomcrypt-dev libtfm-dev zlib1g-dev libgl-dev
  libcurl4-openssl-dev ca-certificates
  openssl nginx-light tinyproxy curl xvfb xauth python3 time
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "setup: installing ${missing[*]}"
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
