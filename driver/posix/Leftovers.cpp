#include "Leftovers.h"

#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "FuseDisk.h"
#include "IdentityFile.h"
#include "LoopDevice.h"
#include "LoopPartitions.h"
#include "RuntimeDirectory.h"
#include "common/Thread.h"
#include "sys/posix/MountInfo.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kLoopName = "loop";

std::string firstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The entries of a directory; none when it cannot be read.
std::vector<fs::path> entriesOf(const fs::path& directory) {
  std::vector<fs::path> entries;
  std::error_code error;
  for (fs::directory_iterator entry(directory, error), end; !error && entry != end; entry.increment(error)) {
    entries.push_back(entry->path());
  }
  return entries;
}

// A device number as sysfs and mountinfo write it, "MAJOR:MINOR".
bool parseDeviceNumber(std::string_view text, dev_t& device) {
  unsigned major = 0, minor = 0;
  const char* end = text.data() + text.size();
  const auto [colon, majorError] = std::from_chars(text.data(), end, major);
  if (majorError != std::errc() || colon == end || *colon != ':') return false;
  const auto [last, minorError] = std::from_chars(colon + 1, end, minor);
  if (minorError != std::errc() || last != end) return false;
  device = makedev(major, minor);
  return true;
}

using LoopDevices = std::vector<std::unique_ptr<LoopDevice>>;

// The loop devices (/dev/loopN) that present `file`, held open.
LoopDevices adoptLoopDevices(const std::string& file, const std::shared_ptr<DriverLog>& log) {
  LoopDevices loops;
  for (const fs::path& disk : entriesOf("/sys/block")) {
    const std::string name = disk.filename();
    int number = 0;
    const char* end = name.data() + name.size();
    if (!name.starts_with(kLoopName) || std::from_chars(name.data() + kLoopName.size(), end, number).ptr != end ||
        LoopDevice::backingFile(number) != file) {
      continue;
    }
    if (std::unique_ptr<LoopDevice> loop = LoopDevice::adopt(number, file, log)) loops.push_back(std::move(loop));
  }
  return loops;
}

// The device numbers of `loops` and of their partitions.
std::vector<dev_t> blockDevicesOf(const LoopDevices& loops) {
  std::vector<dev_t> devices;
  for (const std::unique_ptr<LoopDevice>& loop : loops) {
    const fs::path disk = "/sys/block/" + loop->name();
    std::vector<fs::path> blocks = {disk};
    for (const fs::path& part : entriesOf(disk)) {
      if (!firstLine(part / "partition").empty()) blocks.push_back(part);
    }
    for (const fs::path& block : blocks) {
      dev_t device = 0;
      if (parseDeviceNumber(firstLine(block / "dev"), device)) devices.push_back(device);
    }
  }
  return devices;
}

// The mount points below `directory` of any of `devices`, the last mounted
// first, as /proc/self/mountinfo lists them.
std::vector<std::string> mountPointsBelow(const fs::path& directory, const std::vector<dev_t>& devices) {
  const std::string prefix = directory.string() + "/";
  std::vector<std::string> points;
  std::ifstream mountInfo("/proc/self/mountinfo");
  for (std::string line; std::getline(mountInfo, line);) {
    std::istringstream fields(line);
    std::string id, parent, number, root, point;
    dev_t device = 0;
    if (!(fields >> id >> parent >> number >> root >> point) || !parseDeviceNumber(number, device)) continue;
    point = sys::posix::unescapeMountField(point);
    if (point.starts_with(prefix) && std::find(devices.begin(), devices.end(), device) != devices.end()) {
      points.insert(points.begin(), point);
    }
  }
  return points;
}

// Follows no symbolic link: what is mounted elsewhere stays.
void unmountLazily(const std::string& point, DriverLog& log) {
  if (umount2(point.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0) {
    log.line("unmounted %s, left behind by an earlier run", point.c_str());
  }
}

// Unmounts a volume and removes its directory when that lies in a user's
// directory of the mount directory (a directory below lies on another volume).
void unmountVolume(const fs::path& point, const fs::path& mountDirectory, DriverLog& log) {
  unmountLazily(point, log);
  if (point.parent_path().parent_path() == mountDirectory && rmdir(point.c_str()) == 0) {
    log.line("removed the mount point %s, left behind by an earlier run", point.c_str());
    rmdir(point.parent_path().c_str());  // the user's directory, once nothing else is in it
  }
}

// Unmounts the volumes, then deletes the partitions of each loop device and
// detaches it: at once, unless something else holds it open.
void detachLoopDevices(LoopDevices& loops, const std::vector<std::string>& volumes, const fs::path& mountDirectory,
                       const std::shared_ptr<DriverLog>& log) {
  for (const std::string& point : volumes) unmountVolume(point, mountDirectory, *log);
  for (std::unique_ptr<LoopDevice>& loop : loops) {
    const int number = loop->number();
    const std::string path = loop->path();
    // Destroyed in this order, they delete the partitions, then detach the device.
    std::unique_ptr<LoopPartitions> partitions = LoopPartitions::adopt(*loop, log);
    partitions.reset();
    loop.reset();
    if (LoopDevice::backingFile(number).empty()) {
      log->line("detached %s, left behind by an earlier run", path.c_str());
    } else {
      log->line("%s, left behind by an earlier run, is held open elsewhere: it detaches at its last close",
                path.c_str());
    }
  }
}

}  // namespace

void Leftovers::reclaim(const RuntimeDirectory& runtime, const MountDirectory* mounts,
                        const std::shared_ptr<DriverLog>& log) {
  // Paths as the kernel writes them: the runtime and mount directories'
  // paths have no symbolic links or dots. Nothing below the disk's mount
  // point is looked at: the file system mounted there may be one that
  // nobody serves.
  const fs::path diskMountPoint = fs::path(runtime.path()) / RuntimeDirectory::kDiskMountPoint;
  // The loop devices are known by the disk file's path, which goes when its
  // file system is unmounted; held open, they stay on the file.
  const auto loops = std::make_shared<LoopDevices>(adoptLoopDevices(diskMountPoint / FuseDisk::kFileName, log));
  const fs::path mountDirectory = mounts ? mounts->path() : std::string();
  const std::vector<std::string> volumes =
      mounts ? mountPointsBelow(mountDirectory, blockDevicesOf(*loops)) : std::vector<std::string>();
  IdentityFile::removeLeftovers(runtime, *log);
  unmountLazily(diskMountPoint, *log);
  if (loops->empty()) return;
  Thread detaching;
  if (!detaching.start(
          [loops, volumes, mountDirectory, log] { detachLoopDevices(*loops, volumes, mountDirectory, log); })) {
    log->line(
        "cannot start a thread to detach the loop devices left behind by an earlier run; they detach at their "
        "last close");
  } else if (!detaching.waitFor(kDetachWait)) {
    log->line(
        "detaching the loop devices left behind by an earlier run takes longer than %lld ms; it goes on by itself",
        static_cast<long long>(kDetachWait.count()));
  }
}
