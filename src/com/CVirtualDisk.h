#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "com/CProxy_IVirtualDiskEvents.h"
#include "com/MountSession.h"

class MountParams;
class Impersonator;

// The mount service object that clients call, whichever binding brings the
// calls: mounts one backup image as the driver's disk, unmounts it, and
// reports what is mounted. What a mount sets up is process-wide (the open
// image, the port thread, the driver's one disk, the volume registration),
// so every object sees, and can unmount, the disk another one mounted. The
// object's own state is its connection point for events.
//
// A mount acts as its client, or as a process of the client's own user that
// the client names (any process when the client is an administrator); what
// the client may not read it cannot mount. The mount is its client's user's
// (its owner): only that user or an administrator may unmount it, cancel it
// or learn its image's name. Mounts and unmounts of all objects run one at a
// time, through the mount session; an unmount that comes during a mount
// cancels it. Results are the service's result codes; nothing throws.
class CVirtualDisk {
 public:
  // What an unmount did, beside its result (0, or kAnotherUsersMount when refused).
  enum class UmountOutcome {
    Unmounted,       // the driver removed the disk
    NothingMounted,  // there was no disk to remove
    CancelledMount,  // a mount in progress was cancelled, and nothing is mounted
    NotUnmounted,    // the disk could not be removed, or another operation held on past the wait
    Refused,         // the mount is another user's: nothing was done
  };

  // mount's own results; openImage's failures are passed on as they are.
  // The driver query or the disk creation failed, or a disk exists already.
  static constexpr int32_t kDeviceFailure = -9;
  // Mounted; the image opened with a condition.
  static constexpr int32_t kOpenedWithCondition = -14;
  // The mount was cancelled (by an unmount, its client or the service's stop)
  // before the disk was there; nothing of it is left.
  static constexpr int32_t kCancelled = -19;
  // The image may not be read for the client (or names nothing).
  static constexpr int32_t kCannotReadImage = -15;
  static constexpr int32_t kCannotReadNetworkImage = -18;  // the same, for an image given as a network one
  // umount's refusal: the mount (or the mount in progress) is another user's.
  static constexpr int32_t kAnotherUsersMount = -20;
  // enumMounted's result when the driver query failed.
  static constexpr int32_t kQueryFailed = 1;
  // How long an unmount waits for a mount or unmount in progress.
  static constexpr std::chrono::milliseconds kUmountWait{30000};

  CVirtualDisk();

  // The binding drops the call's mount_tag and callback_context, which play
  // no part. `usingImageEncryption` is a VARIANT_BOOL. Returns 0, -14, -9,
  // -15, -18, -19 or a failure code of openImage.
  int32_t mount(const char16_t* imageFilePath, const char16_t* baseImageFilePath, int16_t usingImageEncryption,
                const char16_t* imageMasterPassword, const char16_t* debugLogPath, const char16_t* tempFile,
                const char16_t* additionalOpts);
  // Cancels a mount in progress, waits for it to end, then removes the disk,
  // whatever `mountTag` says, and undoes what a mount set up; returns 0, and
  // what it did in `outcome` when given. kAnotherUsersMount, doing nothing,
  // when the caller may not act on the mount.
  int32_t umount(const char16_t* mountTag, UmountOutcome* outcome = nullptr);
  // Asks the mount in progress, whichever object runs it, to stop; true when
  // there was one and the caller may act on it. Its caller gets kCancelled.
  static bool cancelMount();
  // Cancels this object's own mount, if it runs one: its client has gone
  // (released the object or left), and nobody would learn of the disk.
  void cancelOwnMount();
  // Stores the number of mounted images in `mountedCount` (when given) and
  // fires onEnumMounted, with an empty image path for a caller who may not
  // act on the mount; 0, or 1 when the driver query failed.
  int32_t enumMounted(uint32_t* mountedCount);

  // The connection point the binding advises sinks on.
  CProxy_IVirtualDiskEvents& events() { return *events_; }

  // Replaces how long an unmount waits for a mount in progress (tests);
  // returns the previous bound.
  static std::chrono::milliseconds swapUmountWait(std::chrono::milliseconds wait);

 private:
  // The mount from its settings on, once the driver holds no disk and the
  // parameters name an image.
  int32_t mountImage(const char16_t* imageFilePath, const MountParams& params, MountSession::Operation& operation);
  // The driver's disk for the image that the mount opened (`opened`: 0 or
  // -14), as the service's own identity; the mount's result.
  static int32_t createDisk(const char16_t* imageFilePath, uint64_t diskSize, uint32_t sectorSize, int32_t opened,
                            MountSession::Operation& operation);
  // What an unmount that removed no disk did.
  static UmountOutcome unremovedOutcome(bool cancelledMount);
  // Logs the cancellation; kCancelled.
  static int32_t cancelled();
  // Who the mount acts as: the client, or the process the client named when
  // it is the client's user's or the client is an administrator; `owner` is
  // the client's user. None, with a log line, when neither can be taken.
  static std::shared_ptr<Impersonator> chooseActor(const MountParams& params, std::optional<Sid>& owner);
  // Whether the calling client is the mount's owner or an administrator, or
  // no mount has an owner.
  static bool callerMayActOnMount();

  std::shared_ptr<CProxy_IVirtualDiskEvents> events_;
  std::atomic<bool> mounting_{false};  // this object's mount holds the session
};
