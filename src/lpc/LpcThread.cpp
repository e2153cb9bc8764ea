#include "lpc/LpcThread.h"

#include <chrono>

#include "common/Event.h"
#include "lpc/LpcServer.h"
#include "security/Impersonator.h"
#include "service/DebugLog.h"

using std::chrono::milliseconds;

namespace {

constexpr milliseconds kStartWait{6000};
constexpr milliseconds kStopStageWait{1000};
// Longer than a whole start and stop, so that callers queue behind each other.
constexpr milliseconds kControlWait{20000};

}  // namespace

// One started thread and what it owns: its server, its flag, its ready event.
// The thread shares it, so an abandoned thread never touches a later one's.
struct LpcThread::Session {
  LpcServer server;
  std::atomic<bool> isRunning{false};
  std::atomic<bool> failed{false};
  // Set by a stop: a thread that comes up only afterwards never serves.
  std::atomic<bool> stopRequested{false};
  Event ready{Event::Reset::Manual};
};

std::atomic<LpcThread*> LpcThread::instance_{nullptr};

LpcThread::LpcThread() { instance_.store(this); }

LpcThread::~LpcThread() {
  stop();
  LpcThread* self = this;
  instance_.compare_exchange_strong(self, nullptr);
}

LpcThread* LpcThread::instance() { return instance_.load(); }

void LpcThread::stopLpcThread() {
  if (LpcThread* thread = instance()) thread->stop();
}

bool LpcThread::start(std::shared_ptr<Impersonator> impersonation) {
  ScopedLock guard(controlLock_, kControlWait);
  if (!guard.locked()) {
    debugLog(u"LpcThread::start another start or stop is in progress\n");
    return false;
  }
  return startLocked(std::move(impersonation));
}

void LpcThread::stop() {
  ScopedLock guard(controlLock_, kControlWait);
  if (!guard.locked()) {
    debugLog(u"LpcThread::stop another start or stop is in progress\n");
    return;
  }
  stopLocked();
}

bool LpcThread::restart(std::shared_ptr<Impersonator> impersonation) {
  ScopedLock guard(controlLock_, kControlWait);
  if (!guard.locked()) {
    debugLog(u"LpcThread::restart another start or stop is in progress\n");
    return false;
  }
  stopLocked();
  if (startLocked(std::move(impersonation))) return true;
  debugLog(u"LpcThread::restart failed to start thred\n");
  return false;
}

bool LpcThread::startLocked(std::shared_ptr<Impersonator> impersonation) {
  if (thread_) {
    if (session_->isRunning) return true;
    stopLocked();  // a thread that ended, or never came up in time, serves nobody: replace it
  }
  auto session = std::make_shared<Session>();
  auto thread = std::make_unique<Thread>();
  // The thread holds its own references: the session and the impersonation
  // stay valid for as long as it may use them.
  if (!thread->start([session, impersonation] { onStart(*session, impersonation.get()); })) {
    session->server.closePort();
    return false;
  }
  session_ = session;
  thread_ = std::move(thread);
  session->ready.wait(kStartWait);
  if (session->isRunning) return true;
  debugLog(u"LpcThread::start thread is not running\n");
  if (session->failed) forgetThread();
  return false;
}

void LpcThread::stopLocked() {
  if (!thread_) return;
  session_->stopRequested = true;
  session_->isRunning = false;
  if (thread_->waitFor(kStopStageWait)) {
    forgetThread();
    debugLog(u"LpcThread::stop isRunning==false OK\n");
    return;
  }
  // Closing the ports makes the blocked listen or receive fail.
  session_->server.closeCommPort();
  session_->server.closePort();
  if (thread_->waitFor(kStopStageWait)) {
    forgetThread();
    debugLog(u"LpcThread::stop force shutdown OK\n");
    return;
  }
  // Still inside a request (an image read that does not return): the thread
  // is left to end by itself; it has no port any more and serves nobody.
  debugLog(u"LpcThread::stop brutal TerminateThread\n");
  forgetThread();
}

void LpcThread::forgetThread() {
  thread_.reset();
  session_.reset();
}

void LpcThread::onStart(Session& session, Impersonator* impersonation) {
  if (impersonation) {
    debugLog(u"LpcThread::onStart try to impersonate thread\n");
    if (!impersonation->impersonateToUser()) {
      debugLog(u"LpcThread::onStart impersonation failed\n");
      failStart(session);
      return;
    }
  }
  if (!onBeforeRun(session)) {
    debugLog(u"LpcThread::onStart onBeforeRun failed\n");
    failStart(session);
    return;
  }
  session.isRunning = true;
  debugLog(u"LpcThread::onStart running OK\n");
  session.ready.set();
  run(session);
}

// Tells the starter at once instead of letting it wait out its bound.
void LpcThread::failStart(Session& session) {
  session.failed = true;
  session.ready.set();
}

bool LpcThread::onBeforeRun(Session& session) {
  debugLog(u"LpcThread::onBeforeRun port_name=%s\n", LpcDiskMessage::kPortName);
  if (session.server.create()) return true;
  debugLog(u"LpcThread::onBeforeRun Error:%s\n", session.server.lastError());
  return false;
}

int LpcThread::run(Session& session) {
  LpcServer& server = session.server;
  while (session.isRunning && !session.stopRequested) {
    server.closeCommPort();
    const int listened = server.lpc_listen();
    if (listened == LpcServer::Connected) {
      if (!server.handle_request()) debugLog(u"LpcThread::run handle_request fail=%s\n", server.lastError());
    } else if (listened == LpcServer::ConnectionFailed) {
      debugLog(u"LpcThread::run server status msg=%s\n", server.lastError());
    } else {
      debugLog(u"LpcThread::run server closed msg=%s\n", server.lastError());
      break;
    }
  }
  debugLog(u"LpcThread::run exiting\n");
  session.isRunning = false;
  server.closeCommPort();
  server.closePort();
  return 0;
}
