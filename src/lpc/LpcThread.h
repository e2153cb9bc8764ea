#pragma once

#include <atomic>
#include <memory>

#include "common/Lock.h"
#include "common/Thread.h"

class Impersonator;

// Runs the port server on a thread of its own: creates the port when the
// thread starts, serves one connection after the other, and stops gently
// first and by closing the ports last. A thread is never killed: one that
// does not end is left to end by itself with its own server, which no longer
// has a port. Restarting is how the identity that serves the driver changes.
// Start, stop and restart are serialized; any thread may call them.
class LpcThread {
 public:
  LpcThread();
  ~LpcThread();
  LpcThread(const LpcThread&) = delete;
  LpcThread& operator=(const LpcThread&) = delete;

  // True when a thread is already there, or the new one reached its serving
  // loop. The thread impersonates `impersonation`'s user when one is given;
  // when it cannot, it ends without serving and this is false, so that the
  // driver is never served with the service's own rights in the user's place.
  bool start(std::shared_ptr<Impersonator> impersonation);
  void stop();
  // Stops the thread and starts a new one; false as start.
  bool restart(std::shared_ptr<Impersonator> impersonation);

  // Stops the process's instance, if there is one.
  static void stopLpcThread();
  static LpcThread* instance();

 private:
  struct Session;

  bool startLocked(std::shared_ptr<Impersonator> impersonation);
  void stopLocked();
  void forgetThread();
  static void onStart(Session& session, Impersonator* impersonation);
  static void failStart(Session& session);
  static bool onBeforeRun(Session& session);
  static int run(Session& session);

  static std::atomic<LpcThread*> instance_;

  Lock controlLock_;
  std::shared_ptr<Session> session_;
  std::unique_ptr<Thread> thread_;
};
