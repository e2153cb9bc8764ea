#!/usr/bin/env bash
# What `cmake --install` lays out under another prefix than the configured
# one: the programs, the provider's library, the bus policy, the activation
# file, the systemd units and the index store's tmpfiles entry, the paths in
# the activation file and the units naming the programs where they were
# installed.
set -euo pipefail

build=$1  # the build directory
stage=$(mktemp -d /tmp/vkbvd-install-test.XXXXXX)
trap 'rm -rf "$stage"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$stage cmake --install "$build" --prefix /opt/vk > "$stage.log" 2>&1 || { cat "$stage.log"; fail "install"; }
rm -f "$stage.log"
root=$stage/opt/vk
for program in sbin/vkbvd-service sbin/vkvd bin/vkbvd; do
  [[ -x $root/$program ]] || fail "$program is not installed"
done
[[ -f $root/lib/libvsimgpvd.so ]] || fail "the provider's library is not installed"
[[ -f $root/share/dbus-1/system.d/com.velkara.MountService.conf ]] || fail "the bus policy is not installed"

expect_line() {  # file, line
  grep -qxF "$2" "$1" || fail "$(basename "$1") lacks '$2': $(cat "$1")"
}
expect_line "$root/share/dbus-1/system-services/com.velkara.MountService.service" "Exec=/opt/vk/sbin/vkbvd-service"
expect_line "$root/share/dbus-1/system-services/com.velkara.MountService.service" \
  "SystemdService=vkbvd-service.service"
expect_line "$root/lib/systemd/system/vkbvd-service.service" "ExecStart=/opt/vk/sbin/vkbvd-service"
grep -q '^ExecStart=/opt/vk/sbin/vkvd ' "$root/lib/systemd/system/vkvd.service" ||
  fail "vkvd.service does not start /opt/vk/sbin/vkvd"
expect_line "$root/lib/tmpfiles.d/vkbvd.conf" "d /var/cache/vkbvd/index 1733 root root -"
echo "installed as laid out"
