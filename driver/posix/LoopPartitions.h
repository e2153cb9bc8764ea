#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DriverLog.h"
#include "LoopDevice.h"

// The partitions of a loop device as its partition table gives them. The
// table is read with libblkid (as partx does), and each partition that the
// kernel did not create from the table itself is added with BLKPG, with its
// /dev node made where nothing made it, so that /dev/loopNpK appears, with
// its uevent, whether or not the kernel can parse the table. Destroying the
// object deletes the partitions. Not thread-safe.
class LoopPartitions {
 public:
  // Reads the table of `loop` and adds its partitions; null with `error`
  // (an errno). A disk without a partition table has no partitions.
  static std::unique_ptr<LoopPartitions> add(const LoopDevice& loop, std::shared_ptr<DriverLog> log, int& error);
  // Takes over the partitions `loop` has now, as sysfs lists them (an
  // earlier vkvd's), so that destroying the object deletes them.
  static std::unique_ptr<LoopPartitions> adopt(const LoopDevice& loop, std::shared_ptr<DriverLog> log);
  ~LoopPartitions();
  LoopPartitions(const LoopPartitions&) = delete;
  LoopPartitions& operator=(const LoopPartitions&) = delete;

  // Deletes the partitions unless the disk is in use (mounted, held open
  // exclusively, or a partition open): 0, or EBUSY with every partition
  // still there.
  int remove();

  // The partitions' numbers, in the table's order.
  std::vector<int> numbers() const;
  // The /dev node of partition `number`.
  std::string nodePath(int number) const { return "/dev/" + partitionName(number); }

 private:
  struct Partition {
    int number;
    long long start;   // bytes
    long long length;  // bytes
    bool nodeMade;     // vkvd made its /dev node, and removes it
  };

  LoopPartitions(const LoopDevice& loop, std::shared_ptr<DriverLog> log) : loop_(loop), log_(std::move(log)) {}
  int addPartition(Partition& partition);
  int deletePartition(const Partition& partition);
  std::string partitionName(int number) const { return loop_.name() + "p" + std::to_string(number); }
  int makeNode(Partition& partition);

  const LoopDevice& loop_;
  std::shared_ptr<DriverLog> log_;
  std::vector<Partition> partitions_;
};
