#!/usr/bin/env bash
# The synthesized disk checked by standard tools: a dump of the disk around an
# ext4 volume image must pass sgdisk's verification, sfdisk and libblkid must
# agree on its one partition, and the partition must mount and give back the
# volume's files byte for byte. Block devices need root and loop devices; the
# checks that need none still run without them.
set -euo pipefail

tool=$1                      # the vkbvd-disk program
work=$(mktemp -d /tmp/vkbvd-disk-test.XXXXXX)
# Compressed images keep their indexes here, not in the system's store.
export VSIMGPVD_INDEX_DIR="$work/index"
loops=()
mounts=()
cleanup() {
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || true; done
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
expect_eq() { [[ "$1" == "$2" ]] || fail "$3: expected '$2', got '$1'"; }

can_use_block_devices() {
  [[ $(id -u) -eq 0 && -e /dev/loop-control ]] || return 1
  local probe
  probe=$(losetup -f 2>/dev/null) || return 1
  [[ -n "$probe" ]]
}

# A sample volume: an ext4 file system in a file, made from a directory.
make_volume() {
  local image=$1 block=$2
  mkdir -p "$work/files/docs"
  echo "hello from the backup" > "$work/files/hello.txt"
  head -c 1048573 /dev/urandom > "$work/files/docs/random.bin"
  seq 1 20000 > "$work/files/docs/numbers.txt"
  truncate -s 48M "$image"
  mkfs.ext4 -q -F -b "$block" -L VKBTEST -d "$work/files" "$image"
}

check_disk() {
  local block=$1
  local volume="$work/volume-$block.img" disk="$work/disk-$block.img"
  echo "== sector size $block"
  make_volume "$volume" 4096
  local before
  before=$(sha256sum < "$volume")

  "$tool" info "$volume" --block-size "$block" > "$work/info.txt"
  cat "$work/info.txt"
  "$tool" dump "$volume" "$disk" --block-size "$block" --log "$work/dump.log"
  grep -q "VirtualImageManager::openImage init image_size=$((48 * 1024 * 1024)) block_size=$block" "$work/dump.log" \
    || fail "the dump's log lacks the open line"
  expect_eq "$(sha256sum < "$volume")" "$before" "the volume image is unchanged"

  local p=$((16384 / block + 2)) n=$((48 * 1024 * 1024 / block))
  local disk_bytes=$(( (p + n + p - 1) * block ))
  expect_eq "$(stat -c %s "$disk")" "$disk_bytes" "disk size"
  grep -q "partition first LBA:   $p\$" "$work/info.txt" || fail "info shows first LBA $p"
  grep -q "partition last LBA:    $((p + n - 1))\$" "$work/info.txt" || fail "info shows last LBA"

  grep -q "^format:                raw\$" "$work/info.txt" || fail "info shows the raw format"

  # The same volume compressed gives the same disk, byte for byte.
  gzip -c "$volume" > "$volume.gz"
  "$tool" info "$volume.gz" --block-size "$block" > "$work/info-gz.txt"
  grep -q "^format:                gzip\$" "$work/info-gz.txt" || fail "info shows gzip"
  grep -Eq "^index:                 [0-9]+ access points, stored\$" "$work/info-gz.txt" || fail "info shows the index"
  "$tool" dump "$volume.gz" "$disk.gz-dump" --block-size "$block"
  cmp "$disk" "$disk.gz-dump" || fail "the compressed volume's disk differs"
  rm -f "$volume.gz" "$disk.gz-dump"

  # The data region of the disk is the volume image byte for byte.
  cmp <(tail -c +$((p * block + 1)) "$disk" | head -c $((n * block))) "$volume" \
    || fail "the partition's bytes differ from the volume image"

  local dev=$disk
  if [[ $block -ne 512 ]] || can_use_block_devices; then
    can_use_block_devices || { echo "SKIP: sector size $block needs a loop device (root)"; return 0; }
    dev=$(losetup -f --show -r -b "$block" "$disk")
    loops+=("$dev")
  fi

  local verify
  verify=$(sgdisk -v "$dev" 2>&1) || fail "sgdisk -v: $verify"
  grep -q "No problems found" <<<"$verify" || fail "sgdisk -v: $verify"

  local json
  json=$(sfdisk --json "$dev")
  python3 - "$json" "$p" "$n" "$block" <<'PY' || fail "sfdisk's view of the table"
import json, sys
table = json.loads(sys.argv[1])["partitiontable"]
p, n, block = (int(x) for x in sys.argv[2:5])
assert table["label"] == "gpt", table
assert table["id"].upper() == "B507877D-0C17-4E93-8B08-0A19587A72DD", table["id"]
assert table.get("sectorsize", 512) == block, table
parts = table["partitions"]
assert len(parts) == 1, parts
part = parts[0]
assert part["start"] == p and part["size"] == n, part
assert part["type"].upper() == "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", part
assert part["uuid"].upper() == "90880754-EB48-4430-A000-2591793D855C", part
assert part["name"] == "VKB PARTITION", part
PY

  # libblkid's reading of the same table; partx counts 512-byte sectors.
  expect_eq "$(blkid -p -s PTTYPE -o value "$dev")" "gpt" "blkid PTTYPE"
  expect_eq "$(blkid -p -s PTUUID -o value "$dev")" "b507877d-0c17-4e93-8b08-0a19587a72dd" "blkid PTUUID"
  local pairs
  pairs=$(partx --pairs -o NR,START,SECTORS,TYPE,UUID,NAME "$dev")
  expect_eq "$pairs" "NR=\"1\" START=\"$((p * block / 512))\" SECTORS=\"$((n * block / 512))\" TYPE=\"ebd0a0a2-b9e5-4433-87c0-68b6b72699c7\" UUID=\"90880754-eb48-4430-a000-2591793d855c\" NAME=\"VKB PARTITION\"" "partx"

  can_use_block_devices || { echo "SKIP: mounting the partition needs root and loop devices"; return 0; }
  mount_partition "$dev" "$p" "$n" "$block"
}

# Finds the partition from the table and mounts it read-only: the kernel's own
# partition device where the kernel parses GPT, else a loop device over the
# partition's range as the table gives it.
mount_partition() {
  local disk_dev=$1 p=$2 n=$3 block=$4
  local scanned
  scanned=$(losetup -f --show -r -P -b "$block" "$disk")
  loops+=("$scanned")
  udevadm settle 2>/dev/null || sleep 1
  local part_dev=${scanned}p1
  if [[ ! -b "$part_dev" ]]; then
    local start sectors
    read -r start sectors < <(partx --noheadings --raw -o START,SECTORS "$disk_dev")  # 512-byte units
    expect_eq "$((start * 512))" "$((p * block))" "partition start from the table"
    part_dev=$(losetup -f --show -r -o $((start * 512)) --sizelimit $((sectors * 512)) "$disk")
    loops+=("$part_dev")
  fi
  expect_eq "$(blkid -p -s LABEL -o value "$part_dev")" "VKBTEST" "file system label"
  local mnt="$work/mnt-$block"
  mkdir -p "$mnt"
  mount -o ro,nosuid,nodev -t ext4 "$part_dev" "$mnt"
  mounts+=("$mnt")
  diff -r "$work/files" "$mnt" --exclude=lost+found || fail "the mounted files differ"
  echo "mounted $part_dev: files match"
  umount "$mnt"
  mounts=("${mounts[@]/$mnt}")
}

check_disk 512
check_disk 4096
echo "PASS"
