#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// What the vkvd tests look at on the machine: whether disks can be made
// here, what is left of them, and O_DIRECT reads and writes of a block device.
namespace disk_checks {

// Root, /dev/fuse and loop devices.
bool canMakeDisks();

// The loop devices ("loopN") whose backing file lies in `directory`.
std::vector<std::string> loopDevicesBackedFrom(const std::filesystem::path& directory);
// The lines of /proc/self/mountinfo that mount something at or below `directory`.
std::vector<std::string> mountsUnder(const std::filesystem::path& directory);

// A mount as /proc/self/mountinfo lists it.
struct Mount {
  std::string point;
  std::string options;  // the mount's own: "rw,nosuid,nodev,relatime"
  std::string type;
  std::string source;  // "/dev/loop0p1"
};
// The mounts of this process's namespace, in mount order.
std::vector<Mount> mounts();
// Whether `mount` has each of `options` among its own.
bool hasOptions(const Mount& mount, const std::vector<std::string>& options);

// The files below `root`, by their path relative to it.
std::vector<std::filesystem::path> filesBelow(const std::filesystem::path& root);

// O_DIRECT transfers of whole blocks; 0 or the errno of the failure.
int directRead(const std::string& device, off_t offset, size_t size, std::vector<uint8_t>* out = nullptr);
int directWrite(const std::string& device, off_t offset, const std::vector<uint8_t>& data);

}  // namespace disk_checks
