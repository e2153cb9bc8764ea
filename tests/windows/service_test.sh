#!/usr/bin/env bash
# The Windows service for real, under Wine, in a prefix of this test's own:
# "/Service" registers the class, the AppID with "LocalService", the type
# library and the service with its description; the service control manager
# starts it with "-log" and stops it in order; a compiled client in another
# process and a VBScript client call it; "-RegServer" turns it into a plain
# local server that COM starts and that ends once idle; "/UnregServer"
# removes all but the CLSID key. Events across processes come from a
# stand-in server over the platform's fakes, since Wine has no driver.
set -euo pipefail

# Usage: service_test.sh win32|win64 CLIENT.vbs
arch=$1  # the Windows build
vbs=$2   # the VBScript client
wine_run=$(cd "$(dirname "$0")/../../scripts" && pwd)/wine-run

source "$(dirname "$wine_run")/wine-env" "$arch"
vk_wine_require_runnable
bin=$VK_WINE_BUILD/bin

work=$(mktemp -d /tmp/vkbvd-wine-service.XXXXXX)
export VK_WINEPREFIX=$work/prefix WINEPREFIX=$work/prefix
cleanup() {
  timeout 60 "$VK_WINESERVER" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
w() { timeout 120 "$VK_WINE" "$@"; }  # every Wine run is bounded
# Waits up to 60 s for `command` to succeed.
wait_for() {
  for _ in $(seq 300); do eval "$1" && return 0; sleep 0.2; done
  return 1
}

service="Velkara Mount Service"
clsid='{262D5883-0992-4EBC-8A5B-0461B06C13F2}'
appid='{AD257FCE-D79A-4C90-B9EF-0352E25A2A76}'
libid='{0F2F66C1-9880-4C3E-92BE-8518C112BED1}'

"$wine_run" "$arch" cmd /c exit 0 >/dev/null 2>&1  # makes the prefix
program=$(w winepath -w "$bin/vkbvd_mount_service.exe")
# Services live only while an ordinary process does; the RPC service first.
timeout 900 "$VK_WINE" cmd /c "ping -n 900 127.0.0.1 > nul" >/dev/null 2>&1 &
w net start RpcSs >/dev/null 2>&1 || true  # fails when it runs already
w sc query RpcSs | grep -q RUNNING || fail "RpcSs does not run"

reg_value() {  # key, value name ("" for the default): the value's text
  local args=(/ve)
  [[ -n $2 ]] && args=(/v "$2")
  w reg query "$1" "${args[@]}" 2>/dev/null | tr -d '\r' | sed -n 's/^ *[^ ].*REG_SZ *//p'
}
expect_value() {  # key, value name, expected
  local got
  got=$(reg_value "$1" "$2")
  [[ "$got" == "$3" ]] || fail "$1 [$2]: expected '$3', got '$got'"
}
key_exists() { w reg query "$1" >/dev/null 2>&1; }

echo "== /Service"
w "$bin/vkbvd_mount_service.exe" /Service || fail "/Service failed"
expect_value "HKCR\\vkbvd_mount_service.VirtualDisk.1\\CLSID" "" "$clsid"
expect_value "HKCR\\vkbvd_mount_service.VirtualDisk\\CurVer" "" "vkbvd_mount_service.VirtualDisk.1"
expect_value "HKCR\\CLSID\\$clsid" "" "VirtualDisk Class"
expect_value "HKCR\\CLSID\\$clsid" "AppID" "$appid"
expect_value "HKCR\\CLSID\\$clsid\\LocalServer32" "" "\"$program\""
expect_value "HKCR\\CLSID\\$clsid\\LocalServer32" "ServerExecutable" "$program"
expect_value "HKCR\\CLSID\\$clsid\\TypeLib" "" "$libid"
expect_value "HKCR\\AppID\\$appid" "LocalService" "$service"
key_exists "HKCR\\TypeLib\\$libid\\1.0\\409\\$arch" || fail "the type library is not registered for $arch"
w reg export "HKLM\\System\\CurrentControlSet\\Services\\$service" "$(w winepath -w "$work/service.reg")" >/dev/null ||
  fail "the service is not installed"
exported=$(iconv -f UTF-16LE -t UTF-8 "$work/service.reg" | tr -d '\r')
for line in '"Description"="Ermöglicht die Einbindung von Velkara Backup-Festplatten-Abbildern als Laufwerke."' \
            '"Start"=dword:00000003' '"Type"=dword:00000010' '"ErrorControl"=dword:00000001' \
            '"ObjectName"="LocalSystem"'; do
  grep -qxF "$line" <<<"$exported" || fail "the service's key lacks $line: $exported"
done

echo "== sc start -log"
log=$work/service.log
w sc start "$service" -log "$(w winepath -w "$log")" >/dev/null || fail "sc start failed"
wait_for "grep -q 'ServiceMain: started OK' '$log' 2>/dev/null" || fail "the service did not start: $(cat "$log" 2>/dev/null)"
grep -q '^\[VERSION INFO\]' "$log" || fail "no version report"
grep -q 'ServiceMain: error LpcThread not started' "$log" || fail "no port line (Wine has no ports)"

echo "== clients"
w "$bin/vkbvd_com_client.exe" calls || fail "the compiled client's checks"
w cscript //nologo "$(w winepath -w "$vbs")" | tr -d '\r' | grep -qx "all checks passed" || fail "the VBScript client's checks"

echo "== sc stop"
w sc stop "$service" >/dev/null || fail "sc stop failed"
wait_for "tail -n 1 '$log' | tr -d '\r' | grep -qx 'App::shutdown OK'" || fail "no orderly stop: $(cat "$log")"
grep -q 'ServiceMain: OnStop OK' "$log" || fail "no OnStop line"
wait_for "w sc query '$service' | grep -q STOPPED" || fail "the service did not stop"

echo "== -RegServer: a plain local server"
w "$bin/vkbvd_mount_service.exe" -RegServer || fail "-RegServer failed"
! w sc query "$service" >/dev/null 2>&1 || fail "the service is still installed"
[[ -z $(reg_value "HKCR\\AppID\\$appid" LocalService) ]] || fail "LocalService is still there"
w "$bin/vkbvd_com_client.exe" calls || fail "the compiled client's checks against the local server"
wait_for "! pgrep -f vkbvd_mount_service.exe >/dev/null" || fail "the idle local server did not end"

echo "== /UnregServer"
w "$bin/vkbvd_mount_service.exe" /UnregServer || fail "/UnregServer failed"
key_exists "HKCR\\CLSID" || fail "the CLSID key went"
! key_exists "HKCR\\CLSID\\$clsid" || fail "the class key stays"
! key_exists "HKCR\\vkbvd_mount_service.VirtualDisk" || fail "the ProgID stays"
! key_exists "HKCR\\TypeLib\\$libid" || fail "the type library stays"

echo "== events across processes"
w "$bin/vkbvd_event_host.exe" -RegServer || fail "the event host did not register"
w "$bin/vkbvd_com_client.exe" events || fail "the events' checks"
wait_for "! pgrep -f vkbvd_event_host.exe >/dev/null" || fail "the event host did not end"
w "$bin/vkbvd_event_host.exe" -UnregServer || fail "the event host did not unregister"
echo "the service, its registration, its clients and its events work under Wine"
