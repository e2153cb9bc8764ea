#pragma once

// What the service says an unmount did.
enum class UmountOutcome {
  Unmounted,       // the driver removed the disk
  NothingMounted,  // there was no disk
  CancelledMount,  // a mount in progress was cancelled, and nothing is mounted
  NotUnmounted,    // the disk could not be removed, or another mount or unmount held on
  Refused,         // the mount is another user's: the service did nothing
};
