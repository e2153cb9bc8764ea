#include "LoopPartitions.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

constexpr long long kProbeSector = 512;  // libblkid counts in 512-byte sectors
constexpr long long kSysfsSector = 512;  // and so does sysfs

struct ProbeDeleter {
  void operator()(blkid_probe probe) const { blkid_free_probe(probe); }
};
using Probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeDeleter>;

int blkpg(int fd, int op, int number, long long start, long long length) {
  blkpg_partition partition{};
  partition.pno = number;
  partition.start = start;
  partition.length = length;
  blkpg_ioctl_arg argument{};
  argument.op = op;
  argument.datalen = sizeof(partition);
  argument.data = &partition;
  return ioctl(fd, BLKPG, &argument) == 0 ? 0 : errno;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

std::unique_ptr<LoopPartitions> LoopPartitions::add(const LoopDevice& loop, std::shared_ptr<DriverLog> log,
                                                    int& error) {
  std::unique_ptr<LoopPartitions> partitions(new LoopPartitions(loop, log));
  Probe probe(blkid_new_probe_from_filename(loop.path().c_str()));
  if (!probe) {
    error = errno ? errno : EIO;
    log->line("cannot read the partition table of %s: %s", loop.path().c_str(), std::strerror(error));
    return nullptr;
  }
  blkid_probe_enable_partitions(probe.get(), 1);
  blkid_partlist list = blkid_probe_get_partitions(probe.get());
  const int count = list ? blkid_partlist_numof_partitions(list) : 0;
  if (count <= 0) log->line("%s has no partition table with partitions", loop.path().c_str());
  for (int i = 0; i < count; ++i) {
    blkid_partition entry = blkid_partlist_get_partition(list, i);
    Partition partition{blkid_partition_get_partno(entry), blkid_partition_get_start(entry) * kProbeSector,
                        blkid_partition_get_size(entry) * kProbeSector, false};
    error = partitions->addPartition(partition);
    if (error != 0) return nullptr;
    partitions->partitions_.push_back(partition);
  }
  return partitions;
}

std::unique_ptr<LoopPartitions> LoopPartitions::adopt(const LoopDevice& loop, std::shared_ptr<DriverLog> log) {
  std::unique_ptr<LoopPartitions> partitions(new LoopPartitions(loop, std::move(log)));
  std::error_code error;
  for (std::filesystem::directory_iterator entry("/sys/block/" + loop.name(), error), end; !error && entry != end;
       entry.increment(error)) {
    const std::filesystem::path& path = entry->path();
    std::ifstream number(path / "partition"), start(path / "start"), size(path / "size");
    // Its node goes with it, whether the earlier vkvd or devtmpfs made it.
    Partition partition{0, 0, 0, true};
    if (number >> partition.number && start >> partition.start && size >> partition.length) {
      partition.start *= kSysfsSector;
      partition.length *= kSysfsSector;
      partitions->partitions_.push_back(partition);
    }
  }
  return partitions;
}

LoopPartitions::~LoopPartitions() {
  for (auto it = partitions_.rbegin(); it != partitions_.rend(); ++it) {
    if (const int error = deletePartition(*it)) {
      log_->line("cannot delete partition %s: %s", partitionName(it->number).c_str(), std::strerror(error));
    }
  }
}

int LoopPartitions::remove() {
  // An exclusive open fails while the disk or any partition is mounted or
  // claimed; held while deleting, it keeps new claims out.
  sys::posix::UniqueFd exclusive(open(loop_.path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
  if (!exclusive.valid()) return errno;
  for (size_t deleted = 0; deleted < partitions_.size(); ++deleted) {
    Partition& partition = partitions_[partitions_.size() - 1 - deleted];
    if (const int error = deletePartition(partition)) {
      // Put back what is gone, so the disk stays whole.
      for (size_t i = partitions_.size() - deleted; i < partitions_.size(); ++i) addPartition(partitions_[i]);
      return error;
    }
  }
  partitions_.clear();
  return 0;
}

std::vector<int> LoopPartitions::numbers() const {
  std::vector<int> numbers;
  for (const Partition& partition : partitions_) numbers.push_back(partition.number);
  return numbers;
}

// Adds the partition, unless the kernel made it from the table, and its
// node; on failure the partition is not there.
int LoopPartitions::addPartition(Partition& partition) {
  const std::string name = partitionName(partition.number);
  if (!exists("/sys/class/block/" + name)) {
    const int error = blkpg(loop_.fd(), BLKPG_ADD_PARTITION, partition.number, partition.start, partition.length);
    if (error != 0) {
      log_->line("cannot add partition %s (%lld bytes at %lld): %s", name.c_str(), partition.length, partition.start,
                 std::strerror(error));
      return error;
    }
  }
  const int error = makeNode(partition);
  if (error != 0) blkpg(loop_.fd(), BLKPG_DEL_PARTITION, partition.number, 0, 0);
  return error;
}

int LoopPartitions::deletePartition(const Partition& partition) {
  const int error = blkpg(loop_.fd(), BLKPG_DEL_PARTITION, partition.number, 0, 0);
  if (error == 0 && partition.nodeMade) unlink(nodePath(partition.number).c_str());
  return error;
}

// Makes the /dev node from the numbers in sysfs where no devtmpfs or udev
// did; 0 or an errno.
int LoopPartitions::makeNode(Partition& partition) {
  const std::string name = partitionName(partition.number);
  const std::string node = nodePath(partition.number);
  unsigned major = 0, minor = 0;
  char colon = 0;
  std::ifstream numbers("/sys/class/block/" + name + "/dev");
  if (!(numbers >> major >> colon >> minor) || colon != ':') {
    log_->line("cannot read the device numbers of %s from sysfs", name.c_str());
    return ENODEV;
  }
  struct stat status {};
  if (stat(node.c_str(), &status) == 0 && S_ISBLK(status.st_mode) && status.st_rdev == makedev(major, minor)) return 0;
  unlink(node.c_str());
  if (mknod(node.c_str(), S_IFBLK | 0600, makedev(major, minor)) != 0) {
    const int error = errno;
    log_->line("cannot make the node %s: %s", node.c_str(), std::strerror(error));
    return error;
  }
  partition.nodeMade = true;
  log_->line("made the node %s (%u:%u)", node.c_str(), major, minor);
  return 0;
}
