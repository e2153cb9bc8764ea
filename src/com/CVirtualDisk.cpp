#include "com/CVirtualDisk.h"

#include <atomic>
#include <optional>
#include <string>
#include <utility>

#include "com/MountParams.h"
#include "com/MountSession.h"
#include "com/ProgressContext.h"
#include "device/CreateDevWorker.h"
#include "device/DevInfo.h"
#include "device/RemoveDevWorker.h"
#include "device/RequestDevInfoWorker.h"
#include "disk/VirtualImageManager.h"
#include "lpc/LpcThread.h"
#include "security/Impersonator.h"
#include "security/PrivilegeManager.h"
#include "service/DebugLog.h"
#include "volume/RegTool.h"
#include "volume/VolumeDeviceNotificator.h"

using std::chrono::milliseconds;

namespace {

// Every disk is created and removed with this tag; the client's plays no part.
const std::u16string kConnectionTag = u"first_tag";
constexpr uint32_t kFirstSectorSize = 512;

std::atomic<milliseconds> umountWait{CVirtualDisk::kUmountWait};

// What a mount answers when it may not read the image for its client.
int32_t refusal(const MountParams& params) {
  return params.isNetworkImage() ? CVirtualDisk::kCannotReadNetworkImage : CVirtualDisk::kCannotReadImage;
}

// Closes the image where a failure needs it closed. A provider call that does
// not return keeps it open; the failure's result stays as it is, and the log
// tells.
void closeImage(const char16_t* failureLine) {
  if (!VirtualImageManager::closeImage()) debugLog(failureLine);
}

// Makes the events of a mount's object the target of the provider's progress
// reports while the mount runs.
class ProgressTarget {
 public:
  explicit ProgressTarget(std::shared_ptr<CProxy_IVirtualDiskEvents> events) {
    ProgressContext& context = ProgressContext::instance();
    context.setTarget(std::move(events));
    VirtualImageManager::setProgressCallback(&indexProgressCallback, &context);
  }
  ~ProgressTarget() { ProgressContext::instance().clearTarget(); }
  ProgressTarget(const ProgressTarget&) = delete;
  ProgressTarget& operator=(const ProgressTarget&) = delete;
};

// Raises a flag for the guard's scope: this object's mount holds the session.
class RaisedFlag {
 public:
  explicit RaisedFlag(std::atomic<bool>& flag) : flag_(flag) { flag_ = true; }
  ~RaisedFlag() { flag_ = false; }
  RaisedFlag(const RaisedFlag&) = delete;
  RaisedFlag& operator=(const RaisedFlag&) = delete;

 private:
  std::atomic<bool>& flag_;
};

// The calling thread acting as the actor's user until it reverts, at the
// latest when the scope ends: the actor may outlive the mount in the port
// thread, so its destruction cannot be relied on to revert this thread.
class ActingAs {
 public:
  explicit ActingAs(Impersonator& actor) : actor_(actor), acting_(actor.impersonateToUser()) {}
  ~ActingAs() {
    if (acting_) actor_.resetImpersonation();
  }
  ActingAs(const ActingAs&) = delete;
  ActingAs& operator=(const ActingAs&) = delete;

  bool acting() const { return acting_; }
  void revert() {
    actor_.resetImpersonation();
    acting_ = false;
  }

 private:
  Impersonator& actor_;
  bool acting_;
};

}  // namespace

CVirtualDisk::CVirtualDisk() : events_(std::make_shared<CProxy_IVirtualDiskEvents>()) {}

milliseconds CVirtualDisk::swapUmountWait(milliseconds wait) { return umountWait.exchange(wait); }

int32_t CVirtualDisk::mount(const char16_t* imageFilePath, const char16_t* baseImageFilePath,
                            int16_t usingImageEncryption, const char16_t* imageMasterPassword,
                            const char16_t* debugLogPath, const char16_t* tempFile, const char16_t* additionalOpts) {
  debugLog(u"CVirtualDisk::mount =%s\n", imageFilePath);
  MountSession::Operation operation = MountSession::instance().beginMount();
  if (operation.refusal() == MountSession::Refusal::Stopping) {
    debugLog(u"CVirtualDisk::mount refused: the service is stopping\n");
    return kDeviceFailure;
  }
  if (!operation.held()) {
    debugLog(u"CVirtualDisk::mount another mount or unmount is in progress\n");
    return kDeviceFailure;
  }
  const RaisedFlag mounting(mounting_);  // lowered before the operation lets the session go
  DevInfo info;
  uint32_t count = 0;
  if (!RequestDevInfoWorker::requestDevInfo(&info, &count)) {
    closeImage(u"CVirtualDisk::mount closeImage failed, the image stays open\n");
    return kDeviceFailure;
  }
  if (count > 0) return kDeviceFailure;  // nothing of the mounted disk is touched
  if (!operation.advance(MountSession::Phase::Opening)) return cancelled();
  // A mount never reuses an image that is already open.
  if (VirtualImageManager::isImageOpen() && !VirtualImageManager::closeImage()) {
    debugLog(u"CVirtualDisk::mount closeImage failed, the image stays open\n");
    return kDeviceFailure;
  }
  const MountParams params(imageFilePath, baseImageFilePath, usingImageEncryption, imageMasterPassword, debugLogPath,
                           tempFile, additionalOpts);
  if (params.getFileName() == nullptr) {
    debugLog(u"CVirtualDisk::mount no image file\n");
    return refusal(params);
  }
  return mountImage(imageFilePath, params, operation);
}

int32_t CVirtualDisk::mountImage(const char16_t* imageFilePath, const MountParams& params,
                                 MountSession::Operation& operation) {
  VirtualImageManager::setDebugLogPath(params.getDebugFile());
  VirtualImageManager::setTempFile(params.getTempFile());
  const ProgressTarget progress(events_);

  std::optional<Sid> owner;
  const std::shared_ptr<Impersonator> actor = chooseActor(params, owner);
  if (!actor) return refusal(params);
  ActingAs acting(*actor);
  if (!acting.acting()) {
    debugLog(u"CVirtualDisk::mount refused: cannot act as the client\n");
    return refusal(params);
  }
  // The port thread reads the image for the driver: it must act as the same
  // user, never serve with the service's rights in the user's place.
  debugLog(u"CVirtualDisk::mount restart impersonated LPC\n");
  LpcThread* const port = LpcThread::instance();
  if (port == nullptr || !port->restart(actor)) {
    debugLog(u"CVirtualDisk::mount refused: the port thread cannot act as the client\n");
    return refusal(params);
  }
  MountSession::instance().setActor(actor, *owner);
  if (!PrivilegeManager::checkImageFileAccess(params.getFileName())) return refusal(params);

  debugLog(u"CVirtualDisk::mount start openImage \n");
  uint64_t diskSize = 0;
  uint32_t sectorSize = kFirstSectorSize;
  const int32_t opened = VirtualImageManager::openImage(params.getFileName(), params.getBaseFileName(), diskSize,
                                                        sectorSize, params.getPassword());
  if (opened != 0 && opened != kOpenedWithCondition) {
    debugLog(u"CVirtualDisk::mount openImage failed\n");
    closeImage(u"CVirtualDisk::mount closeImage failed, the image stays open\n");
    return opened == kCancelled ? cancelled() : opened;
  }
  debugLog(u"CVirtualDisk::mount drop impersonation otherwise DeviceNotificator would not work\n");
  acting.revert();
  return createDisk(imageFilePath, diskSize, sectorSize, opened, operation);
}

int32_t CVirtualDisk::createDisk(const char16_t* imageFilePath, uint64_t diskSize, uint32_t sectorSize,
                                 int32_t opened, MountSession::Operation& operation) {
  if (!operation.advance(MountSession::Phase::Creating)) {
    closeImage(u"CVirtualDisk::mount closeImage failed, the image stays open\n");
    return cancelled();
  }
  VolumeDeviceNotificator::listen();
  if (!CreateDevWorker::createDev(imageFilePath, kConnectionTag, diskSize, sectorSize,
                                  opened == kOpenedWithCondition)) {
    debugLog(u"CVirtualDisk::mount createDev failed\n");
    closeImage(u"CVirtualDisk::mount closeImage failed, the image stays open\n");
    VolumeDeviceNotificator::drop();
    return kDeviceFailure;
  }
  if (!operation.advance(MountSession::Phase::Mounted)) {
    // Cancelled while the disk was made: it goes again.
    VolumeDeviceNotificator::drop();
    if (!RemoveDevWorker::removeDev(kConnectionTag)) debugLog(u"CVirtualDisk::mount removeDev failed\n");
    closeImage(u"CVirtualDisk::mount closeImage failed, the image stays open\n");
    return cancelled();
  }
  return opened;
}

int32_t CVirtualDisk::cancelled() {
  debugLog(u"CVirtualDisk::mount cancelled\n");
  return kCancelled;
}

std::shared_ptr<Impersonator> CVirtualDisk::chooseActor(const MountParams& params, std::optional<Sid>& owner) {
  const uint32_t pid = params.getPid();
  debugLog(pid != 0 ? u"CVirtualDisk::mount impersonate to process for access to image via network\n"
                    : u"CVirtualDisk::mount impersonate to COM client for access to image via network\n");
  auto client = std::make_shared<Impersonator>();
  const std::optional<Sid> clientUser = client->logonAsComClient() ? client->loggedOnUser() : std::nullopt;
  if (!clientUser) {
    debugLog(u"CVirtualDisk::mount refused: no identity of the client\n");
    return nullptr;
  }
  owner = clientUser;
  if (pid == 0) return client;
  auto process = std::make_shared<Impersonator>();
  if (!process->logonAsProcess(pid)) {
    debugLog(u"CVirtualDisk::mount refused: no identity of process %u\n", pid);
    return nullptr;
  }
  if (!process->isLoggedOnAs(*clientUser) && !client->isAdministrator()) {
    debugLog(u"CVirtualDisk::mount refused: process %u is not the client's\n", pid);
    return nullptr;
  }
  return process;
}

bool CVirtualDisk::callerMayActOnMount() {
  const std::optional<Sid> owner = MountSession::instance().owner();
  if (!owner) return true;
  Impersonator caller;
  return caller.logonAsComClient() && (caller.isLoggedOnAs(*owner) || caller.isAdministrator());
}

int32_t CVirtualDisk::umount(const char16_t* mountTag, UmountOutcome* outcome) {
  debugLog(u"TEST CVirtualDisk::umount =%s\n", mountTag);
  if (!callerMayActOnMount()) {
    debugLog(u"CVirtualDisk::umount refused: the mount is another user's\n");
    if (outcome != nullptr) *outcome = UmountOutcome::Refused;
    return kAnotherUsersMount;
  }
  MountSession& session = MountSession::instance();
  const bool cancelling = session.cancelMount();
  if (cancelling) debugLog(u"CVirtualDisk::umount cancels the mount in progress\n");
  UmountOutcome done = UmountOutcome::NotUnmounted;
  {
    const MountSession::Operation operation = session.beginUnmount(umountWait.load());
    if (!operation.held()) {
      debugLog(u"CVirtualDisk::umount another mount or unmount is in progress\n");
    } else {
      VolumeDeviceNotificator::drop();
      if (RemoveDevWorker::removeDev(kConnectionTag)) {
        done = UmountOutcome::Unmounted;
      } else {
        debugLog(u"CVirtualDisk::umount removeDev failed\n");
        done = unremovedOutcome(cancelling && operation.phaseBefore() != MountSession::Phase::Mounted);
      }
      closeImage(u"CVirtualDisk::umount closeImage failed, the image stays open\n");
      LpcThread::stopLpcThread();
      RegTool::clearMountedParams();
      PrivilegeManager::resetServicePrivileges();
    }
  }
  if (outcome != nullptr) *outcome = done;
  return 0;
}

CVirtualDisk::UmountOutcome CVirtualDisk::unremovedOutcome(bool cancelledMount) {
  DevInfo info;
  uint32_t count = 0;
  if (!RequestDevInfoWorker::requestDevInfo(&info, &count) || count != 0) return UmountOutcome::NotUnmounted;
  return cancelledMount ? UmountOutcome::CancelledMount : UmountOutcome::NothingMounted;
}

void CVirtualDisk::cancelOwnMount() {
  if (mounting_ && MountSession::instance().cancelMount()) {
    debugLog(u"CVirtualDisk::cancelOwnMount the object's client is gone: its mount is cancelled\n");
  }
}

bool CVirtualDisk::cancelMount() {
  if (!callerMayActOnMount()) {
    debugLog(u"CVirtualDisk::cancelMount refused: the mount is another user's\n");
    return false;
  }
  const bool cancelling = MountSession::instance().cancelMount();
  debugLog(cancelling ? u"CVirtualDisk::cancelMount the mount in progress is cancelled\n"
                      : u"CVirtualDisk::cancelMount no mount is in progress\n");
  return cancelling;
}

int32_t CVirtualDisk::enumMounted(uint32_t* mountedCount) {
  debugLog(u"TEST CVirtualDisk::enumMounted\n");
  DevInfo info;
  uint32_t count = 0;
  if (!RequestDevInfoWorker::requestDevInfo(&info, &count)) return kQueryFailed;
  if (mountedCount != nullptr) *mountedCount = count;
  // Both empty when nothing is mounted; the image is named only to its owner and administrators.
  const std::u16string image = callerMayActOnMount() ? std::u16string(info.image_path) : std::u16string();
  events_->Fire_onEnumMounted(info.connection_tag, image);
  return 0;
}
