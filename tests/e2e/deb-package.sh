#!/usr/bin/env bash
# The Debian package end to end, as root: a release build of its own makes
# it with cpack; its Depends come from the binaries; dpkg -i puts ProxyRevert,
# nimbra-service, the two engine libraries, the manual pages and the
# copyright in place; the installed ProxyRevert switches a fake home's
# proxies off, the installed service starts (in a network namespace of its
# own, for its endpoint's port), refuses a second start and ends on --stop,
# and the libraries load with their export; dpkg -r leaves nothing of it
# behind.
#   deb-package.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1 work=$2
package=nimbra-proxyrevert
fail() { echo "FAIL: $*" >&2; exit 1; }
if [[ $EUID -ne 0 ]]; then
  echo "skipped: needs root (dpkg -i into the system)"
  exit 77
fi

installed() { [[ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" == "install ok installed" ]]; }
# Another apt or dpkg run may hold the lock for a while.
dpkg_retry() {
  for _ in $(seq 60); do
    dpkg "$@" >"$work/dpkg.txt" 2>&1 && return 0
    grep -qi 'lock' "$work/dpkg.txt" || { cat "$work/dpkg.txt" >&2; return 1; }
    sleep 5
  done
  cat "$work/dpkg.txt" >&2
  return 1
}

mkdir -p "$work"
if installed; then
  echo "(removing $package left by an earlier run)"
  dpkg_retry -r "$package"
fi

echo "== building the package"
build="$work/build"
# Settings cached by an earlier run would outlive their removal here.
rm -f "$build/CMakeCache.txt"
cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBRA_BUILD_TESTS=OFF \
  -DNIMBRA_SANITIZE=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >"$work/configure.txt"
cmake --build "$build" -j2 --target ProxyRevert NimbraService torengine torlauncher nimbra_man_pages \
  >"$work/build.txt" || { tail -n 30 "$work/build.txt" >&2; fail "build failed"; }
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.txt") || { cat "$work/cpack.txt" >&2; fail "cpack failed"; }
deb=$(ls "$build"/${package}_*.deb)
echo "$deb"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# dpkg-shlibdeps's work: the C library, and the engine's OpenSSL and libevent.
for needed in libc6 libssl3 libevent-2.1-7; do
  grep -q "\b$needed\b" <<<"$depends" || fail "Depends lacks $needed"
done
# A package for users carries no sanitizer runtimes.
! grep -Eq 'libasan|libubsan' <<<"$depends" || fail "sanitizer runtime in Depends"
[[ "$(dpkg-deb -f "$deb" Version)" == 1.4 ]] || fail "version $(dpkg-deb -f "$deb" Version)"

files=(
  /usr/bin/ProxyRevert
  /usr/bin/nimbra-service
  /usr/lib/nimbra/torengine/anon.dll
  /usr/lib/nimbra/torlauncher/anon.dll
  /usr/share/man/man1/ProxyRevert.1.gz
  /usr/share/man/man1/nimbra-service.1.gz
  /usr/share/doc/$package/copyright
)
listed=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
for file in "${files[@]}"; do
  grep -qx "$file" <<<"$listed" || fail "$file not in the package"
done
# Nothing outside the places a package of this system may use.
! grep -Ev '^/$|^/usr/(|bin/|bin/ProxyRevert|bin/nimbra-service|lib/|lib/nimbra/.*|share/|share/man/.*|share/doc/.*)$' <<<"$listed" ||
  fail "unexpected paths in the package"

echo "== dpkg -i"
trap 'installed && dpkg -r "$package" >/dev/null 2>&1 || true' EXIT
dpkg_retry -i "$deb"
installed || fail "not installed"
for file in "${files[@]}"; do
  [[ -f "$file" ]] || fail "$file missing after dpkg -i"
done
for program in ProxyRevert nimbra-service; do
  [[ -x /usr/bin/$program ]] || fail "$program is not executable"
  page=/usr/share/man/man1/$program.1.gz
  [[ "$(man -w $program)" == "$page" ]] || fail "man -w: $(man -w $program)"
  warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
  [[ -z "$warnings" ]] || fail "the manual page of $program has warnings: $warnings"
  grep -q '^\.SH EXIT STATUS' <<<"$(zcat "$page")" || fail "the manual page of $program has no exit status"
done
grep -q 'License: BSL-1.0' "/usr/share/doc/$package/copyright" || fail "no Boost licence in the copyright"
for library in /usr/lib/nimbra/torengine/anon.dll /usr/lib/nimbra/torlauncher/anon.dll; do
  ! ldd "$library" | grep -q 'not found' || fail "$library: $(ldd "$library")"
  python3 -c 'import ctypes, sys; ctypes.CDLL(sys.argv[1]).dll_start' "$library" ||
    fail "$library does not load or has no dll_start"
done

echo "== the installed ProxyRevert on a fake home"
"$source_dir/tests/e2e/proxyrevert-native.sh" /usr/bin/ProxyRevert "$work/run"

echo "== the installed service on a fake home, in a network namespace of its own"
home="$work/service-home"
rm -rf "$home"
mkdir -p "$home/named"
# Logging on, so that the test sees when it listens.
printf '[HKEY_CURRENT_USER\\SOFTWARE\\Corvane\\Nimbra\\DebugMode]\n' >"$home/registry.reg"
unshare -n env HOME="$home" XDG_DATA_HOME="$home/data" NIMBRA_REGISTRY_FILE="$home/registry.reg" \
  NIMBRA_NAMED_OBJECTS="$home/named" NIMBRA_ERROR_BOX_FILE="$home/errorbox.txt" bash -c '
  set -e
  ip link set lo up
  /usr/bin/nimbra-service & service=$!
  for _ in $(seq 100); do
    grep -q "Listening on the pipe" "$XDG_DATA_HOME/Nimbra/nimbra-service.log" 2>/dev/null && break
    sleep 0.1
  done
  rc=0; /usr/bin/nimbra-service >/dev/null 2>&1 || rc=$?
  [[ $rc -eq 3 ]] || { echo "a second start ended with $rc"; exit 1; }
  /usr/bin/nimbra-service --stop | grep -q "switched back and ended"
  wait $service' || fail "the installed service did not start, refuse a second start and stop"
grep -q 'already running' "$home/errorbox.txt" || fail "no message for the second start"

echo "== dpkg -r"
owned=$(dpkg -L "$package")
dpkg_retry -r "$package"
trap - EXIT
! installed || fail "still installed"
while read -r path; do
  if [[ -f "$path" || -L "$path" ]]; then fail "$path left after dpkg -r"; fi
done <<<"$owned"
for dir in /usr/lib/nimbra /usr/share/doc/$package; do
  [[ ! -e "$dir" ]] || fail "$dir left after dpkg -r"
done
echo "PASS"
