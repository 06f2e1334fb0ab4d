#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Quick when all
# are there already: apt-get runs only for what is missing.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config dpkg-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libpcre2-dev libjpeg62-turbo-dev libcurl4-openssl-dev
  libssl-dev libevent-dev zlib1g-dev make perl iproute2 util-linux
  g++-mingw-w64-i686-posix
  wine wine64 wine32:i386
  xvfb xauth xdotool imagemagick
  tor
  librsvg2-bin python3-fonttools fonts-dseg fonts-dejavu-core fp-utils
  # The translations under Wine: Chinese glyphs (DejaVu Sans has the Arabic
  # script) and the sources for the right-to-left locales.
  fonts-wqy-microhei locales
  # The Windows installer.
  nsis
)

sudo_if_needed() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  sudo_if_needed dpkg --add-architecture i386
  need_update=1
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  # Packages must not start their services (tor's would dial public relays):
  # while installing, the policy says no to every service start.
  policy=/usr/sbin/policy-rc.d
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' | sudo_if_needed tee "$policy" >/dev/null
    sudo_if_needed chmod +x "$policy"
    trap 'sudo_if_needed rm -f "$policy"' EXIT
  fi
  sudo_if_needed apt-get update -q
  sudo_if_needed apt-get install -y -q "${missing[@]}"
elif [[ -n "${need_update:-}" ]]; then
  sudo_if_needed apt-get update -q
fi

# The tests start tor themselves, on loopback and with the network off; the
# system service is not wanted.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet tor 2>/dev/null; then
  systemctl stop tor || true
fi
