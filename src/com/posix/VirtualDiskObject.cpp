#include "com/posix/VirtualDiskObject.h"

#include <sdbus-c++/Error.h>
#include <sdbus-c++/Types.h>

#include <optional>
#include <utility>
#include <vector>

#include "com/HResult.h"
#include "com/posix/BusCaller.h"
#include "com/posix/DbusEventSink.h"
#include "com/posix/GuardedHandler.h"
#include "com/posix/MountArguments.h"
#include "com/posix/MountServiceBusNames.h"
#include "common/WideString.h"
#include "service/DebugLog.h"
#include "sys/posix/ScopedCallContext.h"

using namespace mount_service_bus;
using sys::posix::ScopedCallContext;

namespace {

// The calling thread's client context for `caller`: nobody when unknown.
ScopedCallContext callContextOf(const std::optional<BusCaller>& caller) {
  if (!caller || !caller->identity()) debugLog(u"VirtualDiskObject: the caller's process is unknown or gone\n");
  return ScopedCallContext(caller ? caller->pid() : 0, caller ? caller->identity() : std::nullopt);
}

}  // namespace

std::shared_ptr<VirtualDiskObject> VirtualDiskObject::create(std::shared_ptr<ServiceConnection> connection,
                                                             std::shared_ptr<CallWorkers> workers, std::string path,
                                                             std::string creator, Releaser releaser) {
  std::shared_ptr<VirtualDiskObject> object(new VirtualDiskObject(
      std::move(connection), std::move(workers), std::move(path), std::move(creator), std::move(releaser)));
  object->registerInterfaces();
  return object;
}

VirtualDiskObject::VirtualDiskObject(std::shared_ptr<ServiceConnection> connection,
                                     std::shared_ptr<CallWorkers> workers, std::string path, std::string creator,
                                     Releaser releaser)
    : connection_(std::move(connection)),
      workers_(std::move(workers)),
      path_(std::move(path)),
      creator_(std::move(creator)),
      releaser_(std::move(releaser)),
      object_(sdbus::createObject(connection_->connection(), path_)) {}

void VirtualDiskObject::registerInterfaces() {
  object_->registerMethod(
      kVirtualDiskInterface, "Mount", "sssbssssv",
      {"image_file_path", "base_image_file_path", "mount_tag", "using_image_encryption", "image_master_password",
       "debug_log_path", "temp_file", "additional_opts", "callback_context"},
      "i", {"result"}, handler(&VirtualDiskObject::mount));
  object_->registerMethod(kVirtualDiskInterface, "Umount", "sv", {"mount_tag", "callback_context"}, "i", {"result"},
                          handler(&VirtualDiskObject::umount));
  object_->registerMethod(kVirtualDiskInterface, "UmountWithOutcome", "sv", {"mount_tag", "callback_context"}, "is",
                          {"result", "outcome"}, handler(&VirtualDiskObject::umountWithOutcome));
  object_->registerMethod(kVirtualDiskInterface, "CancelMount", "", {}, "b", {"cancelled"},
                          handler(&VirtualDiskObject::cancelMount));
  object_->registerMethod(kVirtualDiskInterface, "EnumMounted", "", {}, "iv", {"result", "callback_context"},
                          handler(&VirtualDiskObject::enumMounted));
  object_->registerMethod(kVirtualDiskInterface, "Release", "", {}, "", {}, handler(&VirtualDiskObject::release));
  object_->registerMethod(kConnectionPointInterface, "Advise", "", {}, "iu", {"hresult", "cookie"},
                          handler(&VirtualDiskObject::advise));
  object_->registerMethod(kConnectionPointInterface, "Unadvise", "u", {"cookie"}, "i", {"hresult"},
                          handler(&VirtualDiskObject::unadvise));
  object_->registerMethod(kConnectionPointInterface, "EnumConnections", "", {}, "a(su)", {"connections"},
                          handler(&VirtualDiskObject::enumConnections));
  object_->registerSignal(kConnectionPointInterface, "OnEnumMounted", "ss", {"mount_tag", "image_path"});
  object_->registerSignal(kConnectionPointInterface, "OnImageIndexProgress", "iddv",
                          {"image_part_number", "total_sectors", "sectors_processed", "user_data"});
  object_->finishRegistration();
}

sdbus::method_callback VirtualDiskObject::handler(void (VirtualDiskObject::*method)(sdbus::MethodCall&)) {
  return guardedHandler([this, method](sdbus::MethodCall& call) { (this->*method)(call); });
}

void VirtualDiskObject::runAsCaller(const sdbus::MethodCall& call, Work work) {
  // Asked on the loop's thread, as the call arrives: the bus daemon answers at once.
  const std::optional<BusCaller> caller = BusCaller::identify(connection_->busDaemon(), call.getSender());
  // A user's calls count together, whichever connections bring them.
  const std::string callerKey = caller ? "uid " + std::to_string(caller->uid()) : call.getSender();
  const PendingCall pending(connection_, call);
  const bool taken = workers_->submit(callerKey, [self = shared_from_this(), pending, caller, work = std::move(work)] {
    const ScopedCallContext client = callContextOf(caller);
    work(*self, pending);
  });
  if (!taken) pending.fail(kErrorLimitsExceeded, "too many calls are in progress; try again later");
}

void VirtualDiskObject::mount(sdbus::MethodCall& call) {
  std::string image, base, mountTag, password, debugLogPath, tempFile, options;
  bool encryption = false;
  sdbus::Variant callbackContext;
  call >> image >> base >> mountTag >> encryption >> password >> debugLogPath >> tempFile >> options >> callbackContext;
  auto arguments =
      std::make_shared<const MountArguments>(image, base, encryption, password, debugLogPath, tempFile, options);
  runAsCaller(call, [arguments](VirtualDiskObject& self, const PendingCall& pending) {
    self.answer(pending, self.disk_.mount(arguments->imageFilePath(), arguments->baseImageFilePath(),
                                          arguments->usingImageEncryption(), arguments->imageMasterPassword(),
                                          arguments->debugLogPath(), arguments->tempFile(),
                                          arguments->additionalOpts()));
  });
}

void VirtualDiskObject::umount(sdbus::MethodCall& call) {
  std::string mountTag;
  sdbus::Variant callbackContext;
  call >> mountTag >> callbackContext;
  runAsCaller(call, [tag = wide::fromUtf8(mountTag)](VirtualDiskObject& self, const PendingCall& pending) {
    self.answer(pending, self.disk_.umount(tag.empty() ? nullptr : tag.c_str()));
  });
}

void VirtualDiskObject::umountWithOutcome(sdbus::MethodCall& call) {
  std::string mountTag;
  sdbus::Variant callbackContext;
  call >> mountTag >> callbackContext;
  runAsCaller(call, [tag = wide::fromUtf8(mountTag)](VirtualDiskObject& self, const PendingCall& pending) {
    CVirtualDisk::UmountOutcome outcome = CVirtualDisk::UmountOutcome::NotUnmounted;
    const int32_t result = self.disk_.umount(tag.empty() ? nullptr : tag.c_str(), &outcome);
    self.answer(pending, result, std::string(outcomeName(outcome)));
  });
}

// Answered on the loop's thread, at once: a mount in progress may hold every worker.
void VirtualDiskObject::cancelMount(sdbus::MethodCall& call) {
  const ScopedCallContext client =
      callContextOf(BusCaller::identify(connection_->busDaemon(), call.getSender()));
  PendingCall(connection_, call).reply(CVirtualDisk::cancelMount());
}

const char* VirtualDiskObject::outcomeName(CVirtualDisk::UmountOutcome outcome) {
  switch (outcome) {
    case CVirtualDisk::UmountOutcome::Unmounted: return kUmountUnmounted;
    case CVirtualDisk::UmountOutcome::NothingMounted: return kUmountNothingMounted;
    case CVirtualDisk::UmountOutcome::CancelledMount: return kUmountCancelledMount;
    case CVirtualDisk::UmountOutcome::Refused: return kUmountRefused;
    case CVirtualDisk::UmountOutcome::NotUnmounted: break;
  }
  return kUmountNotUnmounted;
}

void VirtualDiskObject::enumMounted(sdbus::MethodCall& call) {
  runAsCaller(call, [](VirtualDiskObject& self, const PendingCall& pending) {
    uint32_t count = 0;
    const int32_t result = self.disk_.enumMounted(&count);
    // A failed query leaves callback_context untouched: empty.
    self.answer(pending, result, result == 0 ? sdbus::Variant(count) : emptyVariant());
  });
}

void VirtualDiskObject::release(sdbus::MethodCall& call) {
  requireCreator(call, "release it");
  PendingCall(connection_, call).reply();
  releaser_(path_);
}

void VirtualDiskObject::advise(sdbus::MethodCall& call) {
  requireCreator(call, "advise a sink on it");
  std::vector<CProxy_IVirtualDiskEvents::Connection> connections;
  uint32_t cookie = 0;
  int32_t result = disk_.events().EnumConnections(&connections);
  if (result == HResult::Ok && connections.size() >= kMaxSinks) result = HResult::ConnectAdviseLimit;
  if (result == HResult::Ok) {
    result = disk_.events().Advise(std::make_shared<DbusEventSink>(connection_, object_, creator_), &cookie);
  }
  PendingCall(connection_, call).reply(result, cookie);
}

void VirtualDiskObject::unadvise(sdbus::MethodCall& call) {
  requireCreator(call, "unadvise its sinks");
  uint32_t cookie = 0;
  call >> cookie;
  PendingCall(connection_, call).reply(disk_.events().Unadvise(cookie));
}

void VirtualDiskObject::enumConnections(sdbus::MethodCall& call) {
  requireCreator(call, "list its sinks");
  std::vector<CProxy_IVirtualDiskEvents::Connection> connections;
  if (disk_.events().EnumConnections(&connections) != 0) {
    throw sdbus::Error(kErrorFailed, "the connections cannot be listed: out of memory");
  }
  std::vector<sdbus::Struct<std::string, uint32_t>> listed;
  for (const CProxy_IVirtualDiskEvents::Connection& connection : connections) {
    const auto* sink = dynamic_cast<const DbusEventSink*>(connection.sink.get());
    listed.emplace_back(sink ? sink->destination() : std::string(), connection.cookie);
  }
  PendingCall(connection_, call).reply(listed);
}

void VirtualDiskObject::requireCreator(const sdbus::MethodCall& call, const char* what) const {
  if (call.getSender() != creator_) {
    throw sdbus::Error(kErrorAccessDenied, std::string("only the client that created the object may ") + what);
  }
}

void VirtualDiskObject::withdraw() {
  {
    const std::lock_guard<std::mutex> guard(answerMutex_);
    withdrawn_ = true;
  }
  disk_.cancelOwnMount();
  object_->unregister();
}
