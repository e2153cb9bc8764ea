#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ExitCode.h"
#include "InterruptSignals.h"
#include "UmountOutcome.h"

// A call the bus or the service could not answer: the D-Bus error's name
// and message.
struct BusFailure {
  std::string name;
  std::string message;

  std::string describe() const { return message.empty() ? name : message + " (" + name + ")"; }
  // Why the service could not be used, as a clause for the user.
  std::string reason() const {
    return (accessDenied() ? "you may not use the mount service (" : "the mount service cannot be reached (") +
           describe() + ")";
  }
  ExitCode exitCode() const { return accessDenied() ? ExitCode::AccessRefused : ExitCode::ServiceUnreachable; }

 private:
  // The bus's policy, or the service, refuses this user the call.
  bool accessDenied() const { return name == "org.freedesktop.DBus.Error.AccessDenied"; }
};

// The arguments of a mount, as they are sent.
struct MountRequest {
  std::string image;
  std::string baseImage;
  bool usingEncryption = false;
  std::string password;
  std::string debugLog;
  std::string tempFile;
  std::string options;
};

// The mount service through its D-Bus API: one object made by the class
// object, on a connection of our own to the system bus ($DBUS_SYSTEM_BUS_ADDRESS
// when set), with the connection advised as a sink of the object. Calls are
// sent asynchronously and their answers awaited on the calling thread, which
// meanwhile delivers the object's events to the handlers; every wait is
// bounded. The object is released when this ends. Not thread-safe: one
// thread drives it, and it starts none.
class MountService {
 public:
  enum class Wait { Answered, Interrupted, TimedOut };

  // Opening an image may index it first, which takes minutes for a large
  // one: the mount's answer is awaited for a day.
  static constexpr std::chrono::hours kMountTimeout{24};
  // The service waits for the driver at most 10 s a request, and an unmount
  // makes a few of them.
  static constexpr std::chrono::seconds kUmountTimeout{120};
  static constexpr std::chrono::seconds kCallTimeout{30};

  using ProgressHandler = std::function<void(int32_t part, double totalSectors, double sectorsProcessed)>;

  // Connects and makes an object; null with `failure`.
  static std::unique_ptr<MountService> connect(BusFailure& failure);
  ~MountService();
  MountService(const MountService&) = delete;
  MountService& operator=(const MountService&) = delete;

  // Advises the connection on the object, so that its events come here.
  bool advise(BusFailure& failure);
  void onProgress(ProgressHandler handler) { progress_ = std::move(handler); }

  // UmountWithOutcome; its result is always 0, its outcome in `outcome`.
  bool umount(UmountOutcome& outcome, BusFailure& failure);
  // CancelMount: asks the service to stop the mount in progress; `cancelled`
  // when there was one.
  bool cancelMount(bool& cancelled, BusFailure& failure);
  // EnumMounted's answer and the event it sends this sink.
  struct Enumeration {
    int32_t result = 0;  // 0, or 1 when the service could not ask the driver
    uint32_t count = 0;  // of mounted images
    std::string tag;     // the event's; empty when none is mounted or no event came
    std::string image;
  };
  bool enumMounted(Enumeration& enumeration, BusFailure& failure);

  // Sends Mount; its answer is awaited with waitForMount.
  bool sendMount(const MountRequest& request, BusFailure& failure);
  // Waits at most `limit` for the answer of the Mount sent, or until an
  // interrupt.
  Wait waitForMount(std::chrono::milliseconds limit, InterruptSignals& interrupts);
  // The Mount's answer once it came: its result, or false with `failure`.
  bool mountResult(int32_t& result, BusFailure& failure) const;

 private:
  // A call's answer, filled when it arrives: the reply, or why none came.
  struct Answer {
    bool arrived = false;
    sdbus::MethodReply reply;
    std::optional<BusFailure> failure;
  };

  explicit MountService(std::unique_ptr<sdbus::IConnection> connection) : connection_(std::move(connection)) {}
  bool createObject(BusFailure& failure);
  void release();
  void subscribeToEvents();
  // Whether `signal` comes from the service's connection.
  bool fromService(const sdbus::Signal& signal) const;

  // Writes a call's arguments.
  using Arguments = std::function<void(sdbus::MethodCall&)>;

  // Sends `method` of `interface` on `proxy`'s object with `arguments`
  // (none when null); its answer, or the bus's failure, lands in `answer`.
  // `proxy` receives the answer and must live until then.
  bool send(sdbus::IProxy& proxy, const char* interface, const char* method, const Arguments& arguments,
            std::chrono::microseconds timeout, const std::shared_ptr<Answer>& answer, BusFailure& failure);
  // Sends the call and waits for its answer, at most `timeout`.
  bool call(sdbus::IProxy& proxy, const char* interface, const char* method, const Arguments& arguments,
            std::chrono::microseconds timeout, sdbus::MethodReply& reply, BusFailure& failure);
  // Delivers what arrives until `answer` has arrived, `deadline` has passed
  // or a signal of `interrupts` (when given) came. A connection that breaks
  // answers with its failure.
  Wait runUntil(Answer& answer, std::chrono::steady_clock::time_point deadline, InterruptSignals* interrupts);

  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> object_;
  std::string serviceOwner_;  // the unique name that answered CreateInstance
  ProgressHandler progress_;
  Enumeration enumerated_;
  std::shared_ptr<Answer> mountAnswer_;
};
