#!/usr/bin/env bash
# Builds the static libraries the 32-bit Windows build links against (PCRE2,
# libjpeg-turbo, GoogleTest, and Tor with its zlib, libevent and OpenSSL for
# the real engine library) from Debian's source packages, using the same
# MinGW-w64 toolchain file as the project itself; and Tor's static library
# for the native build, against the system's -dev packages. The obfs4
# pluggable transport (obfs4proxy, a Go program) is built with Debian's Go
# and Go libraries, as a Windows console program into the Windows prefix's
# bin/ and for this machine into the native prefix's bin/, each with its
# licences in share/licenses/obfs4proxy/.
#
# Usage: scripts/build-mingw-deps.sh [--arch i686|x86_64|native]
#                                    [--print-prefix | --print-native-prefix]
#
# Progress goes to stderr; the Windows install prefix is the last line on
# stdout, so
#   export NIMBRA_MINGW_DEPS="$(scripts/build-mingw-deps.sh)"
# works (the native prefix is native-<machine> beside it). Without --arch
# both the 32-bit Windows and the native packages are built. --arch i686
# builds the 32-bit Windows ones alone, --arch native the native ones alone
# (its last line is then the native prefix, for NIMBRA_NATIVE_DEPS), and
# --arch x86_64 the same Windows libraries for 64-bit Windows into
# mingw-x86_64, for the windows64 preset (NIMBRA_MINGW64_DEPS).
# NIMBRA_MINGW_ARCH does what --arch does. Runs for different prefixes may
# go on at the same time. Results are cached; a package is rebuilt only when
# its Debian source version, its recipe (RECIPE), the compiler or what it
# was built against changes.
set -euo pipefail

# Part of every package's stamp: change it (to any new value) whenever a
# build recipe, flag or install layout below changes, so that every cache
# rebuilds. Edits that change no build (comments, options of this script)
# leave it, and the caches, alone.
readonly RECIPE=619293376352eea7dcb71d0a4c1e54b7
# A change to one package's recipe alone: its revision here, so that only
# that package rebuilds.
declare -rA RECIPE_REVISION=([openssl]=2)

arch="${NIMBRA_MINGW_ARCH:-}"
action=''
while [[ $# -gt 0 ]]; do
  case $1 in
    --arch) arch="${2:-}"; shift 2 || { echo "--arch needs a value" >&2; exit 1; } ;;
    --arch=*) arch="${1#--arch=}"; shift ;;
    --print-prefix | --print-native-prefix | -h | --help) action=$1; shift ;;
    *) echo "[mingw-deps] error: unknown argument: $1" >&2; exit 1 ;;
  esac
done
# tor-native and obfs4proxy-native are the same sources built for this
# machine.
readonly WINDOWS_PACKAGES=(pcre2 libjpeg-turbo googletest zlib libevent openssl tor obfs4proxy)
readonly NATIVE_PACKAGES=(tor-native obfs4proxy-native)
case $arch in
  '') arch=i686 PACKAGES=("${WINDOWS_PACKAGES[@]}" "${NATIVE_PACKAGES[@]}") ;;
  i686 | x86_64) PACKAGES=("${WINDOWS_PACKAGES[@]}") ;;
  native) PACKAGES=("${NATIVE_PACKAGES[@]}") ;;
  *) echo "[mingw-deps] error: unknown architecture '$arch' (i686, x86_64 or native)" >&2; exit 1 ;;
esac
readonly arch PACKAGES
# The Windows target, when there is one.
cross=''
[[ $arch == native ]] || cross="$arch-w64-mingw32"
readonly cross
readonly NATIVE_DEV_PACKAGES=(libssl-dev libevent-dev zlib1g-dev)
# Go and the libraries obfs4proxy's go.mod names, used from /usr/share/gocode
# (GOPATH mode: nothing is fetched). Their copyright files go with the program.
readonly GO_LIBRARY_PACKAGES=(golang-filippo-edwards25519-dev golang-gitlab-yawning-edwards25519-extra-dev
                              golang-golang-x-crypto-dev golang-golang-x-net-dev golang-golang-x-sys-dev
                              golang-goptlib-dev golang-siphash-dev)
readonly GO_PACKAGES=(golang-go "${GO_LIBRARY_PACKAGES[@]}")
readonly GOCODE=/usr/share/gocode
TOOL_PACKAGES=(cmake ninja-build dpkg-dev gcc make perl pkg-config "${NATIVE_DEV_PACKAGES[@]}"
               "${GO_PACKAGES[@]}")
[[ -z $cross ]] || TOOL_PACKAGES+=("g++-mingw-w64-${arch//_/-}-posix")
readonly TOOL_PACKAGES
readonly SRC_LIST=/etc/apt/sources.list.d/nimbra-src.sources
readonly JOBS=2

script_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
readonly toolchain="$script_dir/../cmake/toolchain-mingw-$arch.cmake"
cache="${NIMBRA_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/nimbra}"
# Staging relies on DESTDIR + prefix, which needs an absolute prefix.
[[ $cache == /* ]] || cache="$PWD/$cache"
readonly cache
readonly native_prefix="$cache/native-$(uname -m)"
if [[ $arch == native ]]; then
  readonly prefix=$native_prefix
else
  readonly prefix="$cache/mingw-$arch"
fi
readonly downloads="$cache/downloads"
readonly logs="$cache/logs"
# Both architectures share the downloads and the log folder.
log_suffix=''
[[ $arch == i686 || $arch == native ]] || log_suffix="-$arch"
readonly log_suffix

export DEBIAN_FRONTEND=noninteractive
# The toolchain file adds this to the find root; the deps must not see a
# previous install of themselves.
unset NIMBRA_MINGW_DEPS NIMBRA_MINGW64_DEPS

log() { printf '[mingw-deps] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

case $action in
  --print-prefix) printf '%s\n' "$prefix"; exit 0 ;;
  --print-native-prefix) printf '%s\n' "$native_prefix"; exit 0 ;;
  -h|--help) sed -n '2,19s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
esac

as_root() {
  if [[ $EUID -eq 0 ]]; then "$@"
  elif command -v sudo >/dev/null; then sudo -E "$@"
  else die "need root for: $*"
  fi
}

# Another apt/dpkg run (e.g. unattended provisioning) may hold the locks;
# wait for it instead of failing. Usage: apt_retry COMMAND...
apt_retry() {
  local err rc tries=0 fetch_tries=0
  err="$(mktemp)"
  while :; do
    rc=0
    "$@" >&2 2>"$err" || rc=$?
    cat "$err" >&2
    if [[ $rc -ne 0 ]] && grep -qiE 'could not get lock|unable to acquire|unable to lock' "$err" \
        && (( tries++ < 120 )); then
      log "apt is busy, waiting..."
      sleep 5
      continue
    fi
    # A mirror in the middle of a sync serves files of the wrong size.
    if [[ $rc -ne 0 ]] && grep -qiE 'failed to fetch|mirror sync|hash sum mismatch' "$err" \
        && (( fetch_tries++ < 3 )); then
      log "apt could not fetch from the mirror, trying again in 20 s..."
      sleep 20
      continue
    fi
    rm -f "$err"
    return "$rc"
  done
}

apt_get() { apt_retry as_root apt-get -q -o DPkg::Lock::Timeout=600 "$@"; }

ensure_tools() {
  local missing=() p
  for p in "${TOOL_PACKAGES[@]}"; do
    [[ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" == 'install ok installed' ]] \
      || missing+=("$p")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  log "installing ${missing[*]}"
  apt_update_once
  apt_get install -y --no-install-recommends "${missing[@]}"
}

apt_updated=0
apt_update_once() {
  [[ $apt_updated -eq 1 ]] && return 0
  apt_updated=1
  log "refreshing apt indexes"
  # A binary index that still fails (the mirror mid-sync) does not stop the
  # source downloads; a missing source index shows when versions resolve.
  apt_get update || log "some apt indexes could not be refreshed; going on"
}

have_deb_src() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $f ]] && grep -qE '^[[:space:]]*deb-src[[:space:]]' "$f" && return 0
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f ]] && grep -qiE '^types:.*[[:space:]]deb-src([[:space:]]|$)' "$f" && return 0
  done
  return 1
}

# Emits deb822 deb-src stanzas mirroring the enabled binary Debian sources.
deb_src_stanzas() {
  local main=/etc/apt/sources.list.d/debian.sources out=''
  if [[ -f $main ]]; then
    # Keep every field (continuation lines included) except Types, so URIs,
    # Suites, Components and Signed-By stay exactly as configured.
    out="$(awk 'BEGIN { RS = ""; FS = "\n" }
      {
        body = ""; isdeb = 0; enabled = 1
        for (i = 1; i <= NF; i++) {
          line = $i
          if (line ~ /^#/) continue
          if (tolower(line) ~ /^types:/) {
            if (line ~ /[:[:space:]]deb([[:space:]]|$)/) isdeb = 1
            continue
          }
          if (tolower(line) ~ /^enabled:[[:space:]]*no/) enabled = 0
          body = body line "\n"
        }
        if (isdeb && enabled) printf "Types: deb-src\n%s\n", body
      }' "$main")"
  fi
  if [[ -z $out && -f /etc/apt/sources.list ]]; then
    out="$(awk '$1 == "deb" {
        signed = ""; i = 2
        if ($2 ~ /^\[/) {
          for (; i <= NF; i++) {
            if ($i ~ /^\[?signed-by=/) { s = $i; sub(/^\[?signed-by=/, "", s); sub(/\]$/, "", s); signed = s }
            if ($i ~ /\]$/) { i++; break }
          }
        }
        if (i + 1 > NF) next
        printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:", $i, $(i + 1)
        for (j = i + 2; j <= NF; j++) printf " %s", $j
        printf "\n"
        if (signed != "") printf "Signed-By: %s\n", signed
        printf "\n"
      }' /etc/apt/sources.list)"
  fi
  if [[ -z $out ]]; then
    local codename
    # shellcheck disable=SC1091
    codename="$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")"
    codename="${codename:-bookworm}"
    out="Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
"
  fi
  printf '%s\n' "$out"
}

ensure_deb_src() {
  have_deb_src && return 0
  log "adding Debian source entries in $SRC_LIST"
  local tmp
  tmp="$(mktemp)"
  deb_src_stanzas >"$tmp"
  as_root install -m 0644 "$tmp" "$SRC_LIST"
  rm -f "$tmp"
  apt_update_once
}

# The Debian source package a package is built from, and where it goes.
source_of() { echo "${1%-native}"; }
prefix_of() { if [[ $1 == *-native ]]; then echo "$native_prefix"; else echo "$prefix"; fi; }
is_go() { [[ $(source_of "$1") == obfs4proxy ]]; }

# Available source versions per source package, newest first, space-separated.
declare -A src_versions=()
resolve_versions() {
  local name ver pkg
  local -a sources=()
  for pkg in "${PACKAGES[@]}"; do sources+=("$(source_of "$pkg")"); done
  src_versions=()
  while read -r name ver; do
    # shellcheck disable=SC2086  # the list is split on purpose
    src_versions[$name]="$(newest_first "$ver" ${src_versions[$name]:-})"
  done < <(apt-cache showsrc --only-source "${sources[@]}" 2>/dev/null \
             | awk '/^Package:/ { p = $2 } /^Version:/ { print p, $2 }')
}

# Inserts $1 into the already ordered list $2..., using dpkg's ordering.
newest_first() {
  local new=$1 v placed=0
  shift
  local -a out=()
  for v in "$@"; do
    [[ $v == "$new" ]] && placed=1
    if [[ $placed -eq 0 ]] && dpkg --compare-versions "$new" gt "$v"; then
      out+=("$new")
      placed=1
    fi
    out+=("$v")
  done
  [[ $placed -eq 1 ]] || out+=("$new")
  printf '%s ' "${out[@]}"
}

stamp_for() {
  # Any change to the version, the recipe (RECIPE above), the compiler or
  # what the package was built against invalidates a build.
  local pkg=$1 ver=$2 compiler=$compiler_id against='' dep
  case $pkg in
    tor)
      for dep in zlib libevent openssl; do
        against+="$(cat "$prefix/.stamps/$dep.stamp" 2>/dev/null | head -n 1) "
      done ;;
    tor-native)
      compiler="$(gcc -dumpmachine) $(gcc -dumpfullversion)"
      against="$(dpkg-query -W -f='${Package} ${Version} ' "${NATIVE_DEV_PACKAGES[@]}")" ;;
    obfs4proxy | obfs4proxy-native)
      compiler="$(go version)"
      against="$(dpkg-query -W -f='${Package} ${Version} ' "${GO_PACKAGES[@]}")" ;;
  esac
  printf 'source=%s %s\nrecipe=%s\ncompiler=%s\n' "$(source_of "$pkg")" "$ver" \
    "$recipe_id${RECIPE_REVISION[$pkg]:+.${RECIPE_REVISION[$pkg]}}" \
    "$compiler"
  [[ -z $against ]] || printf 'against=%s\n' "$against"
}

# Versions the mirror listed but could not serve (seen with security
# updates whose sources are missing); they are not retried on every run.
unavailable_file() { printf '%s/%s/unavailable' "$downloads" "$1"; }
is_unavailable() { grep -qxF -- "$2" "$(unavailable_file "$1")" 2>/dev/null; }

# Configure arguments per package, beyond the common ones.
recipe() {
  case $1 in
    pcre2) printf '%s\n' \
      -DBUILD_STATIC_LIBS=ON \
      -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_BUILD_PCRE2_16=OFF -DPCRE2_BUILD_PCRE2_32=OFF \
      -DPCRE2_SUPPORT_JIT=OFF -DPCRE2_SUPPORT_UNICODE=ON \
      -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF \
      -DPCRE2_SUPPORT_LIBBZ2=OFF -DPCRE2_SUPPORT_LIBZ=OFF \
      -DPCRE2_SUPPORT_LIBEDIT=OFF -DPCRE2_SUPPORT_LIBREADLINE=OFF ;;
    libjpeg-turbo) printf '%s\n' \
      -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF \
      -DWITH_TURBOJPEG=OFF -DWITH_JAVA=OFF -DWITH_JPEG8=OFF ;;
    googletest) printf '%s\n' \
      -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
      -Dgtest_build_samples=OFF -Dgtest_build_tests=OFF -Dgmock_build_tests=OFF ;;
    libevent) printf '%s\n' \
      -DEVENT__LIBRARY_TYPE=STATIC -DEVENT__DISABLE_OPENSSL=ON -DEVENT__DISABLE_MBEDTLS=ON \
      -DEVENT__DISABLE_SAMPLES=ON -DEVENT__DISABLE_TESTS=ON -DEVENT__DISABLE_REGRESS=ON \
      -DEVENT__DISABLE_BENCHMARK=ON -DEVENT__DISABLE_DEBUG_MODE=ON ;;
  esac
}

# Tor as the engine library needs it: no manuals, no unit tests, no relay
# or directory authority (the engine is a client), only the static library.
TOR_CONFIGURE=(--disable-asciidoc --disable-manpage --disable-html-manual --disable-unittests
               --disable-module-relay --disable-systemd --disable-seccomp --disable-lzma
               --disable-zstd --disable-libscrypt --disable-gcc-warnings-advisory)

uses_cmake() { [[ $1 == pcre2 || $1 == libjpeg-turbo || $1 == googletest || $1 == libevent ]]; }

# Packages not built with CMake: configure, build and stage into $stage.
# Usage: build_other PACKAGE SOURCE BUILD STAGE PREFIX CFLAGS
build_other() {
  local pkg=$1 src=$2 bld=$3 stage=$4 pfx=$5 cflags=$6
  # OpenSSL's name for the target.
  local ossl_target=mingw
  [[ $arch == x86_64 ]] && ossl_target=mingw64
  mkdir -p "$bld"
  case $pkg in
    zlib)
      # Its configure builds in the source folder.
      (cd "$src" &&
        CHOST=$cross CC=$cross-gcc-posix AR=$cross-ar RANLIB=$cross-ranlib \
          CFLAGS="-O2 $cflags" ./configure --static --prefix="$pfx" &&
        make -j "$JOBS" libz.a &&
        install -D -m 0644 -t "$stage$pfx/include" zlib.h zconf.h &&
        install -D -m 0644 -t "$stage$pfx/lib" libz.a) ;;
    openssl)
      # Only what Tor uses: TLS 1.2/1.3 and its ciphers, no programs, no
      # loadable modules. (The x86 assembler needs position-independent
      # relocations that COFF does not have.) CFLAGS replaces the target's
      # own, optimisation included: the engine's crypto must not be built
      # unoptimised.
      (cd "$bld" &&
        CC=gcc-posix CFLAGS="-O2 $cflags" "$src/Configure" $ossl_target --cross-compile-prefix=$cross- \
          --prefix="$pfx" --libdir=lib no-shared no-asm no-tests no-module no-legacy \
          no-engine no-capieng no-dtls no-ssl3 no-srp no-gost no-idea no-mdc2 no-rc5 \
          no-seed no-whirlpool no-sm2 no-sm3 no-sm4 no-aria no-camellia no-cms no-ts \
          no-ocsp no-ct no-srtp no-sctp &&
        make -j "$JOBS" build_libs &&
        make DESTDIR="$stage" install_dev) ;;
    tor)
      (cd "$bld" &&
        "$src/configure" --host=$cross --disable-tool-name-check CC=$cross-gcc-posix \
          AR=$cross-ar RANLIB=$cross-ranlib \
          CFLAGS="-O2 $cflags" LIBS="-lbcrypt -lcrypt32 -lws2_32 -lgdi32 -luser32 -ladvapi32" \
          --prefix="$pfx" "${TOR_CONFIGURE[@]}" \
          --with-openssl-dir="$prefix" --with-libevent-dir="$prefix" --with-zlib-dir="$prefix" \
          --enable-static-openssl --enable-static-libevent --enable-static-zlib &&
        make -j "$JOBS" libtor.a &&
        install -D -m 0644 -t "$stage$pfx/lib" libtor.a &&
        install -D -m 0644 -t "$stage$pfx/include" "$src/src/feature/api/tor_api.h") ;;
    tor-native)
      (cd "$bld" &&
        "$src/configure" CFLAGS="-O2 $cflags" --prefix="$pfx" --enable-pic "${TOR_CONFIGURE[@]}" &&
        make -j "$JOBS" libtor.a &&
        install -D -m 0644 -t "$stage$pfx/lib" libtor.a &&
        install -D -m 0644 -t "$stage$pfx/include" "$src/src/feature/api/tor_api.h") ;;
    obfs4proxy | obfs4proxy-native) build_go_program "$pkg" "$src" "$bld" "$stage$pfx" ;;
    *) return 1 ;;
  esac
}

# obfs4proxy from its original source with Debian's Go, in GOPATH mode on
# Debian's Go libraries: no module is fetched. Statically linked (no cgo):
# for Windows a 32-bit console program, for this machine one that needs no
# library at all. Usage: build_go_program PACKAGE SOURCE BUILD ROOT
build_go_program() {
  local pkg=$1 src=$2 bld=$3 root=$4 goos goarch program=obfs4proxy
  if [[ $pkg == *-native ]]; then
    goos=$(go env GOHOSTOS) goarch=$(go env GOHOSTARCH)
  else
    goos=windows program=obfs4proxy.exe
    if [[ $arch == x86_64 ]]; then goarch=amd64; else goarch=386; fi
  fi
  local gopath="$bld/gopath" module=gitlab.com/yawning/obfs4.git
  mkdir -p "$gopath/src/${module%/*}" "$root/bin" "$root/share/licenses/obfs4proxy"
  ln -sfn "$src" "$gopath/src/$module"
  # The source imports this library by its module path, which ends in
  # ".git"; Debian installs it under the name without.
  ln -sfn "$GOCODE/src/gitlab.com/yawning/edwards25519-extra" \
    "$gopath/src/gitlab.com/yawning/edwards25519-extra.git"
  (cd "$gopath/src/$module" &&
    env GO111MODULE=off GOPATH="$gopath:$GOCODE" GOFLAGS= GOPROXY=off GOENV=off \
      GOCACHE="$work/gocache" CGO_ENABLED=0 GOOS="$goos" GOARCH="$goarch" \
      go build -trimpath -ldflags='-s -w -buildid=' -o "$root/bin/$program" ./obfs4proxy) ||
    return 1
  # Part of it (the Elligator mapping) is under the GPL, the rest under a
  # BSD licence; the program also holds Go's runtime and the libraries.
  local licenses="$root/share/licenses/obfs4proxy" package
  install -m 0644 "$src/LICENSE" "$src/LICENSE-GPL3.txt" "$licenses/" || return 1
  local go_source
  go_source="golang-$(go env GOVERSION | sed -E 's/^go([0-9]+\.[0-9]+).*/\1/')-src"
  for package in "$go_source" "${GO_LIBRARY_PACKAGES[@]}"; do
    printf '%s\n\n' "=== $package (Debian's copyright file)"
    cat "/usr/share/doc/$package/copyright" || return 1
    printf '\n'
  done >"$licenses/LICENSE-libraries.txt"
}

# True for a PE32 (not PE32+) console program for x86, the kind obfs4proxy
# must be for Tor on 32-bit Windows to start it with its pipes.
# A Windows console program of this run's architecture: PE machine and
# optional-header magic (PE32 for i686, PE32+ for x86_64), console subsystem.
is_windows_console_program() {
  local file=$1 pe machine=014c magic=010b
  [[ $arch == x86_64 ]] && machine=8664 magic=020b
  [[ $(head -c 2 "$file" | od -An -c | tr -d ' ') == MZ ]] || return 1
  pe=$(od -An -t u4 -j 60 -N 4 "$file" | tr -d ' ')
  [[ $(od -An -t x1 -j "$pe" -N 4 "$file" | tr -d ' ') == 50450000 ]] &&
    [[ $(od -An -t x2 -j $((pe + 4)) -N 2 "$file" | tr -d ' ') == "$machine" ]] &&
    [[ $(od -An -t x2 -j $((pe + 24)) -N 2 "$file" | tr -d ' ') == "$magic" ]] &&
    [[ $(od -An -t u2 -j $((pe + 24 + 68)) -N 2 "$file" | tr -d ' ') == 3 ]]
}

# Files consumers rely on, relative to the prefix.
expected_files() {
  case $1 in
    pcre2) printf '%s\n' include/pcre2.h lib/libpcre2-8.a lib/cmake/pcre2/pcre2-config.cmake ;;
    libjpeg-turbo) printf '%s\n' include/jpeglib.h include/jconfig.h include/jmorecfg.h \
      include/jerror.h lib/libjpeg.a lib/cmake/libjpeg-turbo/libjpeg-turboConfig.cmake ;;
    googletest) printf '%s\n' include/gtest/gtest.h include/gmock/gmock.h lib/libgtest.a \
      lib/libgtest_main.a lib/libgmock.a lib/libgmock_main.a lib/cmake/GTest/GTestConfig.cmake ;;
    zlib) printf '%s\n' include/zlib.h include/zconf.h lib/libz.a ;;
    libevent) printf '%s\n' include/event2/event.h lib/libevent.a ;;
    openssl) printf '%s\n' include/openssl/ssl.h lib/libssl.a lib/libcrypto.a ;;
    tor | tor-native) printf '%s\n' include/tor_api.h lib/libtor.a ;;
    obfs4proxy) printf '%s\n' bin/obfs4proxy.exe share/licenses/obfs4proxy/LICENSE ;;
    obfs4proxy-native) printf '%s\n' bin/obfs4proxy share/licenses/obfs4proxy/LICENSE ;;
  esac
}

# Normalises the staged tree and checks it before it replaces anything.
check_staged() {
  local pkg=$1 stage=$2 f ok=0
  local root="$stage$(prefix_of "$pkg")"
  # pcre2 puts its CMake file in <prefix>/cmake; lib/cmake is searched too,
  # and the file locates everything with find_path/find_library.
  if [[ $pkg == pcre2 && -d $root/cmake ]]; then
    mkdir -p "$root/lib/cmake"
    mv "$root/cmake" "$root/lib/cmake/pcre2"
  fi
  if [[ -n "$(find "$stage" -path "$root" -prune -o ! -type d -print -quit)" ]]; then
    log "$pkg: files were installed outside the prefix:"
    find "$stage" -path "$root" -prune -o ! -type d -print | head -n 5 >&2
    ok=1
  fi
  while read -r f; do
    [[ -e $root/$f ]] || { log "$pkg: missing $f"; ok=1; }
  done < <(expected_files "$pkg")
  case $pkg in
    obfs4proxy) is_windows_console_program "$root/bin/obfs4proxy.exe" ||
      { log "$pkg: obfs4proxy.exe is not a $arch Windows console program"; ok=1; } ;;
    obfs4proxy-native) [[ $("$root/bin/obfs4proxy" -version 2>&1) == obfs4proxy-* ]] ||
      { log "$pkg: the built obfs4proxy does not run"; ok=1; } ;;
  esac
  return "$ok"
}

# Downloads a source package's files into $work/download-PKG (apt-get
# source --download-only with the options given after the version).
download_source() {
  local pkg=$1 ver=$2
  shift 2
  local tmp="$work/download-$pkg"
  # Root's cache is not readable by apt's sandbox user; the download
  # would fall back to root anyway, only with a warning.
  local -a get=(apt-get -q)
  [[ $EUID -eq 0 ]] && get+=(-o APT::Sandbox::User=root)
  get+=(source --download-only "$@" "$pkg=$ver")
  rm -rf "$tmp" && mkdir -p "$tmp" "$downloads/$pkg" || return 1
  if ! (cd "$tmp" && apt_retry "${get[@]}"); then
    [[ $apt_updated -eq 1 ]] && return 1
    apt_update_once || return 1
    rm -rf "$tmp" && mkdir -p "$tmp" || return 1
    (cd "$tmp" && apt_retry "${get[@]}") || return 1
  fi
}

# Go programs are built from the original source alone: Debian's part only
# packages them (their GOPATH is set up here instead), and the mirror has
# been seen without it. apt checks the tarball against the source index.
original_only() { is_go "$1"; }

fetch_source() {
  local pkg=$1 ver=$2 dest=$3
  if original_only "$pkg"; then
    fetch_original_source "$pkg" "$ver" "$dest"
    return
  fi
  local dsc="$downloads/$pkg/${pkg}_${ver#*:}.dsc"
  if [[ ! -f $dsc ]]; then
    log "$pkg: downloading source $ver"
    download_source "$pkg" "$ver" || return 1
    local tmp="$work/download-$pkg"
    # The .dsc goes last: its presence means the set is complete.
    find "$tmp" -maxdepth 1 -type f ! -name '*.dsc' -exec mv -f -t "$downloads/$pkg" {} + \
      && mv -f "$tmp/$(basename "$dsc")" "$dsc" || return 1
  fi
  log "$pkg: unpacking $ver"
  mkdir -p "$(dirname "$dest")"
  if ! dpkg-source -x "$dsc" "$dest" >&2; then
    # Most likely a damaged download: fetch it again next time.
    rm -f "$dsc"
    die "$pkg: could not unpack $dsc"
  fi
}

fetch_original_source() {
  local pkg=$1 ver=$2 dest=$3 tarball=''
  # Names the tarball of this version; written last, so its presence means
  # the download is complete.
  local marker="$downloads/$pkg/${pkg}_${ver#*:}.original"
  [[ -f $marker ]] && tarball="$downloads/$pkg/$(cat "$marker")"
  if [[ ! -f $tarball ]]; then
    log "$pkg: downloading the original source of $ver"
    download_source "$pkg" "$ver" --tar-only || return 1
    local tmp="$work/download-$pkg" found
    found=$(find "$tmp" -maxdepth 1 -type f -name "${pkg}_*.orig.tar.*" | head -n 1)
    [[ -n $found ]] || { log "$pkg: apt brought no original tarball"; return 1; }
    mv -f "$found" "$downloads/$pkg/" || return 1
    tarball="$downloads/$pkg/$(basename "$found")"
    basename "$found" >"$marker.new" && mv -f "$marker.new" "$marker" || return 1
  fi
  log "$pkg: unpacking $(basename "$tarball")"
  rm -rf "$dest" && mkdir -p "$dest"
  if ! tar -xf "$tarball" -C "$dest" --strip-components=1; then
    rm -f "$marker" "$tarball"
    die "$pkg: could not unpack $tarball"
  fi
}

build_package() {
  local pkg=$1 source pfx stamps
  source="$(source_of "$pkg")"
  pfx="$(prefix_of "$pkg")"
  stamps="$pfx/.stamps"
  local stamp_file="$stamps/$pkg.stamp" have='' ver
  local -a versions
  read -r -d '' -a versions <<<"${src_versions[$source]}" || true
  [[ -f $stamp_file ]] && have="$(cat "$stamp_file")"
  for ver in "${versions[@]}"; do
    if [[ $have == "$(stamp_for "$pkg" "$ver")" ]]; then
      log "$pkg $ver: up to date"
      return 0
    fi
    is_unavailable "$source" "$ver" || break
  done

  local src="$work/src/$pkg" bld="$work/build/$pkg" stage="$work/stage/$pkg"
  local logfile="$logs/$pkg$log_suffix.log" built=''
  for ver in "${versions[@]}"; do
    is_unavailable "$source" "$ver" && continue
    if fetch_source "$source" "$ver" "$src"; then
      built=$ver
      break
    fi
    log "warning: $source $ver cannot be downloaded, trying an older version"
    printf '%s\n' "$ver" >>"$(unavailable_file "$source")"
  done
  [[ -n $built ]] || die "$pkg: no source version could be downloaded"
  local want
  want="$(stamp_for "$pkg" "$built")"

  local -a args
  mapfile -t args < <(recipe "$pkg")
  local ldflags='-static-libgcc -static-libstdc++'
  # Keep the scratch path out of __FILE__ strings (gtest_main prints one).
  local cflags="-ffile-prefix-map=$src=$pkg"
  log "$pkg: building (log: $logfile)"
  mkdir -p "$logs"
  : >"$logfile"
  # Run from the scratch folder: libjpeg-turbo resolves relative install
  # dirs against the working directory.
  if ! uses_cmake "$pkg"; then
    if ! build_other "$pkg" "$src" "$bld" "$stage" "$pfx" "$cflags" >>"$logfile" 2>&1; then
      tail -n 40 "$logfile" >&2
      die "$pkg: build failed, full log in $logfile"
    fi
  elif ! (cd "$work" && {
    cmake -S "$src" -B "$bld" "${generator[@]}" \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DBUILD_SHARED_LIBS=OFF \
      -DCMAKE_C_FLAGS="$cflags" \
      -DCMAKE_CXX_FLAGS="$cflags" \
      -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
      -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
      "${args[@]}" &&
    cmake --build "$bld" -j "$JOBS" &&
    DESTDIR="$stage" cmake --install "$bld"
  } >>"$logfile" 2>&1); then
    tail -n 40 "$logfile" >&2
    die "$pkg: build failed, full log in $logfile"
  fi

  check_staged "$pkg" "$stage" || die "$pkg: unexpected install layout, see $logfile"

  # Replace the previous install: drop the stamp first so an interrupted
  # copy is rebuilt next time, remove the old files, then copy the new ones.
  local manifest="$stamps/$pkg.files"
  mkdir -p "$stamps"
  rm -f "$stamp_file"
  if [[ -f $manifest ]]; then
    (cd "$pfx" && xargs -d '\n' -r rm -f -- <"$manifest")
    find "$pfx" -mindepth 1 -type d -empty -delete
  fi
  (cd "$stage$pfx" && find . ! -type d) >"$manifest.new"
  cp -a "$stage$pfx/." "$pfx/"
  mv -f "$manifest.new" "$manifest"
  printf '%s\n' "$want" >"$stamp_file.new"
  mv -f "$stamp_file.new" "$stamp_file"
  log "$pkg $built: installed"
}

main() {
  [[ -z $cross || -f $toolchain ]] || die "missing toolchain file $toolchain"
  local pkg dir
  local -a dirs=()
  for pkg in "${PACKAGES[@]}"; do
    dir="$(prefix_of "$pkg")"
    [[ " ${dirs[*]} " == *" $dir "* ]] || dirs+=("$dir")
  done
  mkdir -p "$cache" "${dirs[@]}"

  # One build at a time per prefix, so the Windows and native builds may go
  # on side by side. Always in the same order (the native prefix sorts
  # first), so that two runs never wait for each other.
  local lock fd=9
  for dir in $(printf '%s\n' "${dirs[@]}" | sort); do
    lock="$cache/.lock-$(basename "$dir")"
    eval "exec $fd>\"\$lock\""
    flock "$fd"
    fd=$((fd - 1))
    # Leftovers of a killed run for this prefix; safe to remove while
    # holding its lock.
    rm -rf "$cache/tmp-$(basename "$dir")".*
  done

  # Sources first, so a fresh machine needs a single apt-get update.
  ensure_deb_src
  ensure_tools

  resolve_versions
  local pkg unresolved=0
  for pkg in "${PACKAGES[@]}"; do
    [[ -n ${src_versions[$(source_of "$pkg")]:-} ]] || unresolved=1
  done
  if [[ $unresolved -eq 1 && $apt_updated -eq 0 ]]; then
    apt_update_once
    resolve_versions
  fi
  for pkg in "${PACKAGES[@]}"; do
    [[ -n ${src_versions[$(source_of "$pkg")]:-} ]] ||
      die "no source package '$(source_of "$pkg")' available from apt"
  done

  recipe_id=$RECIPE
  compiler_id=''
  [[ -z $cross ]] ||
    compiler_id="$($cross-gcc-posix -dumpmachine) $($cross-gcc-posix -dumpfullversion)"
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)

  work="$(mktemp -d "$cache/tmp-$(basename "$prefix").XXXXXX")"
  trap 'rm -rf "$work"' EXIT
  for pkg in "${PACKAGES[@]}"; do
    build_package "$pkg"
  done
  printf '%s\n' "$prefix"
}

main
