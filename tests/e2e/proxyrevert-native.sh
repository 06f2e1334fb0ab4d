#!/usr/bin/env bash
# The native ProxyRevert end to end on a fake home folder: the registry
# stand-in with the user's own proxy, Opera's opera6.ini below ~/.config and a
# Firefox profile below ~/.mozilla/firefox; one run switches every proxy off
# and exits 0; with /uninstall only what points at Nimbra's endpoint goes
# off and the user's own proxies stay. A prefs.js that cannot be read makes
# it exit 1 with the reason on standard error.
#   proxyrevert-native.sh PROXYREVERT WORK_DIR
set -euo pipefail
exe=$1 work=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
home="$work/home"
mkdir -p "$home/.config/opera" "$home/.mozilla/firefox/abcd.default"
export HOME="$home" NIMBRA_REGISTRY_FILE="$work/registry.reg"
unset XDG_CONFIG_HOME XDG_DATA_HOME NIMBRA_ERROR_BOX_FILE

cat >"$NIMBRA_REGISTRY_FILE" <<'REG'
[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings]
"ProxyEnable"=dword:00000001
"ProxyServer"="http=10.0.0.1:3128;https=10.0.0.2:443"
REG
printf '[Proxy]\nUse HTTP=1\nHTTP server=10.0.0.1:3128\nUse Automatic Proxy Configuration=1\n' >"$home/.config/opera/opera6.ini"
printf 'user_pref("browser.startup.page", 3);\nuser_pref("network.proxy.type", 1);\nuser_pref("network.proxy.http", "10.0.0.1");\n' >"$home/.mozilla/firefox/abcd.default/prefs.js"

"$exe" || fail "exit code $?"
grep -qx '"ProxyEnable"=dword:00000000' "$NIMBRA_REGISTRY_FILE" || fail "ProxyEnable: $(cat "$NIMBRA_REGISTRY_FILE")"
grep -qx '"ProxyServer"=""' "$NIMBRA_REGISTRY_FILE" || fail "ProxyServer: $(cat "$NIMBRA_REGISTRY_FILE")"
# Natively the files keep their own line ends (LF here).
[[ "$(od -c <"$home/.config/opera/opera6.ini")" == "$(printf '[Proxy]\nUse HTTP=0\nHTTP server=\nUse Automatic Proxy Configuration=0\nUse HTTPS=0\nHTTPS server=\n' | od -c)" ]] ||
  fail "opera6.ini: $(cat -A "$home/.config/opera/opera6.ini")"
[[ "$(od -c <"$home/.mozilla/firefox/abcd.default/prefs.js")" == "$(printf 'user_pref("browser.startup.page", 3);\n' | od -c)" ]] ||
  fail "prefs.js: $(cat -A "$home/.mozilla/firefox/abcd.default/prefs.js")"

# What the uninstaller runs: only what points at Nimbra's endpoint goes off.
cat >"$NIMBRA_REGISTRY_FILE" <<'REG'
[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings]
"ProxyEnable"=dword:00000001
"ProxyServer"="corp-proxy.example:8080"
REG
corp_ini='[Proxy]\nUse HTTP=1\nHTTP server=corp-proxy.example:8080\n'
printf "$corp_ini" >"$home/.config/opera/opera6.ini"
printf 'user_pref("a", 1);\nuser_pref("network.proxy.http", "127.0.0.1");\nuser_pref("network.proxy.http_port", 35489);\n' >"$home/.mozilla/firefox/abcd.default/prefs.js"
cp "$NIMBRA_REGISTRY_FILE" "$work/registry.before"
"$exe" /uninstall || fail "exit code $? with /uninstall"
cmp "$NIMBRA_REGISTRY_FILE" "$work/registry.before" || fail "/uninstall changed the user's own system proxy"
[[ "$(od -c <"$home/.config/opera/opera6.ini")" == "$(printf "$corp_ini" | od -c)" ]] ||
  fail "/uninstall changed the user's own Opera proxy"
[[ "$(od -c <"$home/.mozilla/firefox/abcd.default/prefs.js")" == "$(printf 'user_pref("a", 1);\n' | od -c)" ]] ||
  fail "/uninstall left the endpoint in prefs.js: $(cat -A "$home/.mozilla/firefox/abcd.default/prefs.js")"

mkdir -p "$home/.mozilla/firefox/broken"
ln -s nowhere "$home/.mozilla/firefox/broken/prefs.js"
rc=0
"$exe" 2>"$work/stderr.txt" || rc=$?
[[ $rc -eq 1 ]] || fail "exit code $rc with an unreadable prefs.js"
grep -q '^ProxyRevert: Cannot read ".*broken/prefs.js"' "$work/stderr.txt" || fail "stderr: $(cat "$work/stderr.txt")"
echo "PASS"
