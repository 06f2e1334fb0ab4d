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
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine wine64 wine32:i386
  xvfb xauth xdotool imagemagick libx11-dev
  # A window manager for the start loop's display, as on a desktop.
  evilwm
  # The windows' texts laid out natively against their boxes.
  libfreetype-dev
  tor
  librsvg2-bin python3-fonttools fonts-dseg fonts-dejavu-core fp-utils
  # The translations under Wine: Chinese glyphs (DejaVu Sans has the Arabic
  # script) and the sources for the right-to-left locales.
  fonts-wqy-microhei locales
  # The Windows installer.
  nsis
  # The service's HTTP endpoint (Asio and Beast, header-only, for both
  # platforms), and the proxy its benchmark measures against.
  libboost1.74-dev privoxy
  # The obfs4 transport (obfs4proxy), built by build-mingw-deps.sh with Go
  # from the Go libraries its go.mod names.
  golang-go golang-filippo-edwards25519-dev golang-gitlab-yawning-edwards25519-extra-dev
  golang-golang-x-crypto-dev golang-golang-x-net-dev golang-golang-x-sys-dev
  golang-goptlib-dev golang-siphash-dev
  # The censor of the private network's bridge test, and its client's
  # request through SOCKS.
  nftables curl
  # Unpacks the Windows installer to check what it carries.
  7zip
  # The browser the service's end-to-end test runs headless in the private
  # network.
  firefox-esr
)

sudo_if_needed() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }

# A mirror in the middle of a sync serves files of the wrong size for a
# minute or two: try apt again before giving up.
apt_with_retries() {
  local try
  for try in 1 2 3; do
    sudo_if_needed apt-get -q -o DPkg::Lock::Timeout=600 "$@" && return 0
    ((try < 3)) || return 1
    echo "apt-get $1 failed (try $try of 3); trying again in 20 s" >&2
    sleep 20
  done
}

# When an index still fails (seen: the security archive's i386 list), the
# other architecture's newer security versions cannot be matched by the
# Multi-Arch: same libraries Wine needs. Installing the main archive's
# versions for this run keeps both architectures at one version.
pin=/etc/apt/preferences.d/nimbra-incomplete-index
update_index() {
  apt_with_retries update && return 0
  echo "apt-get update kept failing; installing the main archive's versions" >&2
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' |
    sudo_if_needed tee "$pin" >/dev/null
}
cleanup() { sudo_if_needed rm -f "$pin" ${policy_made:+"$policy"}; }
trap cleanup EXIT

if ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
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
    policy_made=1
  fi
  update_index
  apt_with_retries install -y "${missing[@]}"
elif [[ -n "${need_update:-}" ]]; then
  update_index
fi

# The tests start tor themselves, on loopback and with the network off; the
# system service is not wanted.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet tor 2>/dev/null; then
  systemctl stop tor || true
fi
