#!/usr/bin/env bash
# ProxyRevert.exe end to end in a Wine prefix of its own: with the user's own
# proxy in the system settings, two opera6.ini files and two Firefox profiles,
# one run switches every proxy off and exits 0; /uninstall switches off only
# what points at Nimbra's endpoint; with a read-only opera6.ini it exits 1,
# says why through the error box seam and leaves Firefox alone.
#   proxyrevert-wine.sh WINE_RUN PREFIX PROXYREVERT_EXE WORK_DIR
set -euo pipefail
wine_run=$1 prefix=$2 exe=$3 work=$4
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
fail() { echo "FAIL: $*" >&2; exit 1; }
run() { "$wine_run" --prefix "$prefix" "$@"; }

mkdir -p "$work"
# The first call makes the prefix.
run reg add "$key" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null
appdata=$(ls -d "$prefix"/drive_c/users/*/AppData/Roaming | grep -v '/Public/' | head -n 1)
[[ -d "$appdata" ]] || fail "no AppData\\Roaming in $prefix"

opera_ini="$appdata/Opera/Opera/profile/opera6.ini"
opera_second="$appdata/Opera/Opera/opera6.ini"
opera_capital="$appdata/Opera/Other/Opera6.ini"
opera_deep="$appdata/deep/a/b/c/opera6.ini"
profiles="$appdata/Mozilla/Firefox/Profiles"

prepare() {
  run reg add "$key" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null
  run reg add "$key" /v ProxyServer /t REG_SZ /d 'http=10.0.0.1:3128;https=10.0.0.2:443' /f >/dev/null
  chmod -R u+w "$appdata/Opera" "$appdata/deep" "$appdata/Mozilla" 2>/dev/null || true
  rm -rf "$appdata/Opera" "$appdata/deep" "$appdata/Mozilla" "$work/errorbox.txt"
  mkdir -p "$(dirname "$opera_ini")" "$(dirname "$opera_capital")" "$(dirname "$opera_deep")" \
    "$profiles/abcd.default" "$profiles/efgh.work"
  printf 'Opera Preferences version 2.0\r\n\r\n[Proxy]\r\nUse HTTP=1\r\nHTTP server=10.0.0.1:3128\r\nUse HTTPS=1\r\nHTTPS server=10.0.0.1:3128\r\nUse Automatic Proxy Configuration=1\r\n\r\n[User Prefs]\r\nLanguage=en\r\n' >"$opera_ini"
  printf '[User Prefs]\r\nLanguage=de\r\n' >"$opera_second"
  printf '[Proxy]\r\nUse HTTP=1\r\n' >"$opera_capital"
  printf '[Proxy]\r\nUse HTTP=1\r\n' >"$opera_deep"
  printf 'user_pref("browser.startup.page", 3);\nuser_pref("network.proxy.type", 1);\nuser_pref("network.proxy.http", "10.0.0.1");\nuser_pref("network.proxy.http_port", 3128);\nuser_pref("network.proxy.share_proxy_settings", true);\n' >"$profiles/abcd.default/prefs.js"
  printf '\xEF\xBB\xBFuser_pref("network.proxy.type", 4);\r\nuser_pref("network.proxy.socks", "10.0.0.3");\r\nuser_pref("network.proxy.socks_port", 1080);\r\nuser_pref("network.proxy.socks_remote_dns", false);\r\n' >"$profiles/efgh.work/prefs.js"
}

expect_file() {  # FILE EXPECTED_PRINTF_TEXT
  local expected
  expected=$(printf "$2" | od -c)
  [[ "$(od -c <"$1")" == "$expected" ]] || { od -c "$1" >&2; fail "$1 differs"; }
}

expect_system_proxy_off() {
  local query
  query=$(run reg query "$key" | tr -d '\r')
  grep -Eq '^ +ProxyEnable +REG_DWORD +0x0$' <<<"$query" || fail "ProxyEnable: $query"
  grep -Eq '^ +ProxyServer +REG_SZ +$' <<<"$query" || fail "ProxyServer: $query"
}

expect_reverted() {
  expect_system_proxy_off
  expect_file "$opera_ini" 'Opera Preferences version 2.0\r\n\r\n[Proxy]\r\nUse HTTP=0\r\nHTTP server=\r\nUse HTTPS=0\r\nHTTPS server=\r\nUse Automatic Proxy Configuration=0\r\n\r\n[User Prefs]\r\nLanguage=en\r\n'
  expect_file "$opera_second" '[User Prefs]\r\nLanguage=de\r\n\r\n[Proxy]\r\nUse HTTP=0\r\nHTTP server=\r\nUse HTTPS=0\r\nHTTPS server=\r\nUse Automatic Proxy Configuration=0\r\n'
  expect_file "$opera_capital" '[Proxy]\r\nUse HTTP=1\r\n'
  expect_file "$opera_deep" '[Proxy]\r\nUse HTTP=1\r\n'
  expect_file "$profiles/abcd.default/prefs.js" 'user_pref("browser.startup.page", 3);\r\nuser_pref("network.proxy.share_proxy_settings", true);\r\n'
  expect_file "$profiles/efgh.work/prefs.js" '\xEF\xBB\xBF'
}

export NIMBRA_ERROR_BOX_FILE="Z:$work/errorbox.txt"

echo "== a run with every browser's proxy set"
prepare
rc=0
run "$exe" || rc=$?
[[ $rc -eq 0 ]] || fail "exit code $rc"
[[ ! -e "$work/errorbox.txt" ]] || fail "error shown: $(cat "$work/errorbox.txt")"
expect_reverted
echo "== a second run changes nothing"
run "$exe" || fail "second run failed"
expect_reverted

echo "== /uninstall: only what points at Nimbra's endpoint goes off"
prepare
run reg add "$key" /v ProxyServer /t REG_SZ /d 'corp-proxy.example:8080' /f >/dev/null
before=$(run reg query "$key" | tr -d '\r')
cp "$opera_ini" "$work/opera6.ini"
printf 'user_pref("a", 1);\r\nuser_pref("network.proxy.http", "127.0.0.1");\r\nuser_pref("network.proxy.http_port", 35489);\r\n' >"$profiles/abcd.default/prefs.js"
cp "$profiles/efgh.work/prefs.js" "$work/efgh.prefs.js"
rc=0
run "$exe" /uninstall || rc=$?
[[ $rc -eq 0 ]] || fail "exit code $rc with /uninstall"
[[ "$(run reg query "$key" | tr -d '\r')" == "$before" ]] || fail "/uninstall changed the user's own system proxy"
cmp "$opera_ini" "$work/opera6.ini" || fail "/uninstall changed the user's own Opera proxy"
cmp "$profiles/efgh.work/prefs.js" "$work/efgh.prefs.js" || fail "/uninstall changed the user's own Firefox proxy"
expect_file "$profiles/abcd.default/prefs.js" 'user_pref("a", 1);\r\n'

echo "== a read-only opera6.ini"
prepare
cp -p "$profiles/abcd.default/prefs.js" "$work/abcd.prefs.js"
cp -p "$profiles/efgh.work/prefs.js" "$work/efgh.prefs.js"
cp -p "$opera_ini" "$work/opera6.ini"
chmod a-w "$opera_ini"  # Wine shows the file as read-only
rc=0
run "$exe" || rc=$?
chmod u+w "$opera_ini"
[[ $rc -eq 1 ]] || fail "exit code $rc, not 1"
[[ -s "$work/errorbox.txt" ]] || fail "no error shown"
grep -q 'opera6.ini' "$work/errorbox.txt" || fail "the error does not name the file: $(cat "$work/errorbox.txt")"
echo "shown: $(cat "$work/errorbox.txt")"
cmp "$opera_ini" "$work/opera6.ini" || fail "the read-only opera6.ini changed"
cmp "$profiles/abcd.default/prefs.js" "$work/abcd.prefs.js" || fail "a Firefox profile changed"
cmp "$profiles/efgh.work/prefs.js" "$work/efgh.prefs.js" || fail "a Firefox profile changed"
# The system settings come first and are already off.
expect_system_proxy_off
echo "PASS"
