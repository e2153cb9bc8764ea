#include "MountService.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "com/posix/MountServiceBusNames.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kServiceName = "com.velkara.MountService";
constexpr const char* kClassObjectPath = "/com/velkara/MountService/VirtualDisk";
constexpr const char* kClassFactory = "com.velkara.MountService.ClassFactory";
constexpr const char* kVirtualDisk = "com.velkara.MountService.VirtualDisk";
constexpr const char* kConnectionPoint = "com.velkara.MountService.ConnectionPoint";

// Releasing the object is the last thing the client does: it does not wait long.
constexpr std::chrono::seconds kReleaseTimeout{5};
// How much longer than a call's own timeout its answer is awaited: the bus
// library reports the timeout itself, as an answer.
constexpr std::chrono::seconds kTimeoutMargin{5};

// What the service ignores in the context arguments: a variant holding an
// empty string.
sdbus::Variant emptyContext() { return sdbus::Variant(std::string()); }

BusFailure failureOf(const sdbus::Error& error) { return BusFailure{error.getName(), error.getMessage()}; }

BusFailure malformedAnswer(const std::string& method) {
  return BusFailure{"", "the service's answer to " + method + " has an unexpected form"};
}

// Reads the values of an answer, in order; false with `failure` when they
// are not what the API declares.
template <typename... Values>
bool readReply(sdbus::MethodReply& reply, const std::string& method, BusFailure& failure, Values&... values) {
  try {
    (reply >> ... >> values);
  } catch (const sdbus::Error&) {
    failure = malformedAnswer(method);
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<MountService> MountService::connect(BusFailure& failure) {
  try {
    std::unique_ptr<MountService> service(new MountService(sdbus::createSystemBusConnection()));
    if (!service->createObject(failure)) return nullptr;
    return service;
  } catch (const sdbus::Error& error) {
    failure = failureOf(error);
    return nullptr;
  }
}

MountService::~MountService() { release(); }

bool MountService::createObject(BusFailure& failure) {
  const std::unique_ptr<sdbus::IProxy> classObject = sdbus::createProxy(*connection_, kServiceName, kClassObjectPath);
  sdbus::MethodReply reply;
  sdbus::ObjectPath path;
  if (!call(*classObject, kClassFactory, "CreateInstance", nullptr, kCallTimeout, reply, failure) ||
      !readReply(reply, "CreateInstance", failure, path)) {
    return false;
  }
  // Signals are believed only from the connection that answered: any
  // connection may send one with the object's path and the service's members.
  serviceOwner_ = reply.getSender();
  object_ = sdbus::createProxy(*connection_, kServiceName, path);
  subscribeToEvents();
  return true;
}

void MountService::release() {
  if (!object_) return;
  sdbus::MethodReply reply;
  BusFailure ignored;
  // Refused or unanswered, the object still goes with our connection.
  call(*object_, kVirtualDisk, "Release", nullptr, kReleaseTimeout, reply, ignored);
  object_.reset();
}

// Events whose arguments do not read as the API declares them are dropped.
void MountService::subscribeToEvents() {
  object_->registerSignalHandler(kConnectionPoint, "OnImageIndexProgress", [this](sdbus::Signal& signal) {
    if (!fromService(signal)) return;
    int32_t part = 0;
    double total = 0;
    double processed = 0;
    try {
      signal >> part >> total >> processed;
    } catch (const sdbus::Error&) {
      return;
    }
    if (progress_) progress_(part, total, processed);
  });
  object_->registerSignalHandler(kConnectionPoint, "OnEnumMounted", [this](sdbus::Signal& signal) {
    if (!fromService(signal)) return;
    std::string tag;
    std::string image;
    try {
      signal >> tag >> image;
    } catch (const sdbus::Error&) {
      return;
    }
    enumerated_.tag = tag;
    enumerated_.image = image;
  });
  object_->finishRegistration();
}

bool MountService::fromService(const sdbus::Signal& signal) const {
  return !serviceOwner_.empty() && signal.getSender() == serviceOwner_;
}

bool MountService::advise(BusFailure& failure) {
  sdbus::MethodReply reply;
  int32_t result = 0;
  uint32_t cookie = 0;
  if (!call(*object_, kConnectionPoint, "Advise", nullptr, kCallTimeout, reply, failure) ||
      !readReply(reply, "Advise", failure, result, cookie)) {
    return false;
  }
  if (result != 0) {
    failure = BusFailure{"", "the service refused to advise this client (" + std::to_string(result) + ")"};
  }
  return result == 0;
}

bool MountService::umount(UmountOutcome& outcome, BusFailure& failure) {
  const auto arguments = [](sdbus::MethodCall& umount) { umount << std::string() << emptyContext(); };
  sdbus::MethodReply reply;
  int32_t result = 0;
  std::string word;
  if (!call(*object_, kVirtualDisk, "UmountWithOutcome", arguments, kUmountTimeout, reply, failure) ||
      !readReply(reply, "UmountWithOutcome", failure, result, word)) {
    return false;
  }
  using namespace mount_service_bus;
  if (word == kUmountUnmounted) {
    outcome = UmountOutcome::Unmounted;
  } else if (word == kUmountNothingMounted) {
    outcome = UmountOutcome::NothingMounted;
  } else if (word == kUmountCancelledMount) {
    outcome = UmountOutcome::CancelledMount;
  } else if (word == kUmountRefused) {
    outcome = UmountOutcome::Refused;
  } else {
    outcome = UmountOutcome::NotUnmounted;
  }
  return true;
}

bool MountService::cancelMount(bool& cancelled, BusFailure& failure) {
  sdbus::MethodReply reply;
  return call(*object_, kVirtualDisk, "CancelMount", nullptr, kCallTimeout, reply, failure) &&
         readReply(reply, "CancelMount", failure, cancelled);
}

bool MountService::enumMounted(Enumeration& enumeration, BusFailure& failure) {
  enumerated_ = Enumeration();
  sdbus::MethodReply reply;
  sdbus::Variant context;
  if (!call(*object_, kVirtualDisk, "EnumMounted", nullptr, kCallTimeout, reply, failure)) return false;
  // The event is sent before the answer, so it has been delivered by now.
  enumeration = enumerated_;
  if (!readReply(reply, "EnumMounted", failure, enumeration.result, context)) return false;
  if (enumeration.result != 0) return true;
  try {
    enumeration.count = context.get<uint32_t>();
  } catch (const sdbus::Error&) {
    failure = malformedAnswer("EnumMounted");
    return false;
  }
  return true;
}

bool MountService::sendMount(const MountRequest& request, BusFailure& failure) {
  const auto arguments = [&request](sdbus::MethodCall& mount) {
    mount << request.image << request.baseImage << std::string() << request.usingEncryption << request.password
          << request.debugLog << request.tempFile << request.options << emptyContext();
  };
  mountAnswer_ = std::make_shared<Answer>();
  return send(*object_, kVirtualDisk, "Mount", arguments, kMountTimeout, mountAnswer_, failure);
}

MountService::Wait MountService::waitForMount(std::chrono::milliseconds limit, InterruptSignals& interrupts) {
  return runUntil(*mountAnswer_, Clock::now() + limit, &interrupts);
}

bool MountService::mountResult(int32_t& result, BusFailure& failure) const {
  if (!mountAnswer_ || !mountAnswer_->arrived) {
    failure = BusFailure{"", "the service has not answered the mount"};
    return false;
  }
  if (mountAnswer_->failure) {
    failure = *mountAnswer_->failure;
    return false;
  }
  sdbus::MethodReply reply = mountAnswer_->reply;
  return readReply(reply, "Mount", failure, result);
}

bool MountService::send(sdbus::IProxy& proxy, const char* interface, const char* method, const Arguments& arguments,
                        std::chrono::microseconds timeout, const std::shared_ptr<Answer>& answer, BusFailure& failure) {
  try {
    sdbus::MethodCall call = proxy.createMethodCall(interface, method);
    if (arguments) arguments(call);
    proxy.callMethod(
        call,
        [answer](sdbus::MethodReply& reply, const sdbus::Error* error) {
          if (error) answer->failure = failureOf(*error);
          answer->reply = reply;
          answer->arrived = true;
        },
        timeout);
  } catch (const sdbus::Error& error) {
    failure = failureOf(error);
    return false;
  }
  return true;
}

bool MountService::call(sdbus::IProxy& proxy, const char* interface, const char* method, const Arguments& arguments,
                        std::chrono::microseconds timeout, sdbus::MethodReply& reply, BusFailure& failure) {
  const auto answer = std::make_shared<Answer>();
  if (!send(proxy, interface, method, arguments, timeout, answer, failure)) return false;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout) + kTimeoutMargin;
  if (runUntil(*answer, deadline, nullptr) != Wait::Answered) {
    failure = BusFailure{"", "the service did not answer " + std::string(method) + " in time"};
    return false;
  }
  if (answer->failure) {
    failure = *answer->failure;
    return false;
  }
  reply = answer->reply;
  return true;
}

MountService::Wait MountService::runUntil(Answer& answer, Clock::time_point deadline, InterruptSignals* interrupts) {
  try {
    while (true) {
      while (!answer.arrived && connection_->processPendingRequest()) {
      }
      if (answer.arrived) return Wait::Answered;
      const auto now = Clock::now();
      if (now >= deadline) return Wait::TimedOut;
      const sdbus::IConnection::PollData bus = connection_->getEventLoopPollData();
      const int64_t left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
      const int busTimeout = bus.getPollTimeout();
      const auto timeout = static_cast<int>(busTimeout < 0 ? left : std::min<int64_t>(busTimeout, left));
      pollfd entries[] = {{bus.fd, bus.events, 0}, {interrupts ? interrupts->fd() : -1, POLLIN, 0}};
      if (poll(entries, 2, timeout) < 0 && errno != EINTR) throw sdbus::Error("", "cannot wait for the bus");
      if (interrupts && entries[1].revents != 0 && interrupts->take()) return Wait::Interrupted;
    }
  } catch (const sdbus::Error& error) {
    // The connection broke: no answer can come any more.
    answer.failure = failureOf(error);
    answer.arrived = true;
    return Wait::Answered;
  }
}
