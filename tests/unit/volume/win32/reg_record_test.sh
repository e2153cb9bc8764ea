#!/usr/bin/env bash
# Writes the mounted-drive registry record with the Windows build under Wine,
# from a registry without its keys, then empties it, and reads both back with
# Wine's own reg.exe: `reg query` for what a person sees, `reg export` for the
# exact bytes of the multi-string. The record lives in the 32-bit view of
# the registry, as the 32-bit program writes it, in the 64-bit build too.
# Usage: reg_record_test.sh win32|win64
set -euo pipefail
arch=$1
wine_run=$(cd "$(dirname "$0")/../../../../scripts" && pwd)/wine-run
source "$(dirname "$wine_run")/wine-env" "$arch"
vk_wine_require_runnable
key='HKLM\Software\Velkara Software\Velkara Backup'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

wine_reg() { "$wine_run" "$arch" reg "$@"; }
query() { wine_reg query "$key" /reg:32 | tr -d '\r'; }
# The exported values, each on one line (reg continues long ones with "\").
export_values() {
  wine_reg export "$key" "Z:${work//\//\\}\\record.reg" /y /reg:32 >/dev/null
  iconv -f UTF-16 -t UTF-8 "$work/record.reg" | tr -d '\r' | sed -e ':a' -e '/\\$/N; s/\\\n *//; ta'
}
expect_line() {  # WHAT TEXT LINE
  if ! grep -qxF -- "$3" <<<"$2"; then
    echo "FAIL: $1 lacks the line [$3]; it reads:"
    echo "$2"
    failures=$((failures + 1))
  fi
}

wine_reg delete 'HKLM\Software\Velkara Software' /f /reg:32 >/dev/null 2>&1 || true
"$wine_run" "$arch" registry_record_tool.exe set '\\?\Volume{6a1f0c3e-1b2d-4c5e-9f80-1234567890ab}\' '\Device\HarddiskVolume7' 'E:\' 'C:\mnt\backup\'
out=$(query)
expect_line "reg query" "$out" '    MountedVolumeID    REG_SZ    \\?\Volume{6a1f0c3e-1b2d-4c5e-9f80-1234567890ab}\'
expect_line "reg query" "$out" '    MountedDeviceName    REG_SZ    \Device\HarddiskVolume7'
expect_line "reg query" "$out" '    MountedDrives    REG_MULTI_SZ    E:\\0C:\mnt\backup\'
out=$(export_values)
expect_line "reg export" "$out" '"MountedVolumeID"="\\\\?\\Volume{6a1f0c3e-1b2d-4c5e-9f80-1234567890ab}\\"'
expect_line "reg export" "$out" '"MountedDeviceName"="\\Device\\HarddiskVolume7"'
expect_line "reg export" "$out" \
  '"MountedDrives"=hex(7):45,00,3a,00,5c,00,00,00,43,00,3a,00,5c,00,6d,00,6e,00,74,00,5c,00,62,00,61,00,63,00,6b,00,75,00,70,00,5c,00,00,00,00,00'

if [[ $arch == win64 ]] && wine_reg query "$key" /reg:64 >/dev/null 2>&1; then
  echo "FAIL: the 64-bit build wrote the record to the 64-bit view"
  failures=$((failures + 1))
fi

"$wine_run" "$arch" registry_record_tool.exe clear
out=$(query)
expect_line "reg query" "$out" '    MountedVolumeID    REG_SZ    '
expect_line "reg query" "$out" '    MountedDeviceName    REG_SZ    '
expect_line "reg query" "$out" '    MountedDrives    REG_MULTI_SZ    '
out=$(export_values)
expect_line "reg export" "$out" '"MountedVolumeID"=""'
expect_line "reg export" "$out" '"MountedDeviceName"=""'
expect_line "reg export" "$out" '"MountedDrives"=hex(7):00,00,00,00'

if ((failures)); then exit 1; fi
echo "registry record read back as written"
