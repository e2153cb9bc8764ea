#pragma once

#include <chrono>
#include <memory>

#include "DriverLog.h"
#include "MountDirectory.h"
#include "RuntimeDirectory.h"

// What an earlier vkvd on this runtime directory left behind when it ended
// without removing its disk (killed, or crashed): the loop devices on its
// disk file with their partitions, the mounts of those in the mount
// directory with the directories they were mounted on, the disk's file
// system and the identity files. The loop devices are known by their
// backing file, whose path only a vkvd on this runtime directory uses, and
// the mounts by their devices, so nothing of another vkvd is touched. Called
// once at start, after publishing the interface has shown that no other vkvd
// serves this runtime directory.
class Leftovers {
 public:
  // How long reclaiming waits for the loop devices to go. The kernel fails
  // the I/O of a file system that nobody serves at once; a step that hangs
  // all the same is left to end by itself on its own thread.
  static constexpr std::chrono::milliseconds kDetachWait{15000};

  // Takes away whatever is left in `runtime` and `mounts` (none when null),
  // each step logged.
  static void reclaim(const RuntimeDirectory& runtime, const MountDirectory* mounts,
                      const std::shared_ptr<DriverLog>& log);
};
