#include "lpc/LpcServer.h"

#include <chrono>

#include "common/NtStatus.h"
#include "device/TimerTask.h"
#include "disk/VirtualImageManager.h"
#include "sys/Platform.h"

namespace {

// Closing is quick; a closer that cannot get the lock in this time gives up
// rather than hang (the handle is then closed by the port thread's own exit).
constexpr std::chrono::milliseconds kCloseWait{5000};

}  // namespace

LpcServer::~LpcServer() {
  closeCommPort();
  closePort();
}

bool LpcServer::create() {
  lastError_.clear();
  if (portHandle_.load() != sys::Ports::kNoHandle) {
    lastError_ = u"LpcServer::create already created";
    return false;
  }
  view_ = {};
  readWindow_ = writeWindow_ = nullptr;
  commPortHandle_ = sys::Ports::kNoHandle;
  sys::Ports::Handle port = sys::Ports::kNoHandle;
  if (!NtStatus::succeeded(sys::platform().ports().createPort(port, LpcDiskMessage::kPortName, 0,
                                                              LpcDiskMessage::kMaxMessageLength, 0))) {
    lastError_ = u"LpcServer::create NtCreatePort fail";
    return false;
  }
  portHandle_ = port;
  return true;
}

int LpcServer::lpc_listen() {
  lastError_.clear();
  const sys::Ports::Handle port = portHandle_.load();
  if (port == sys::Ports::kNoHandle) {
    lastError_ = u"LpcServer::lpc_listen fail port_handle is NULL";
    return PortGone;
  }
  sys::Ports& ports = sys::platform().ports();
  message_.clear();
  if (!NtStatus::succeeded(ports.listenPort(port, message_.message()))) {
    lastError_ = u"LpcServer::lpc_listen fail NtListenPort";
    return PortGone;
  }
  const bool accept = VirtualImageManager::isImageOpen();
  TimerTask::setLpcConnectPending();
  sys::Ports::Handle comm = sys::Ports::kNoHandle;
  sys::ClientView view;
  const int32_t accepted = ports.acceptConnectPort(comm, message_.message(), accept, view);
  commPortHandle_ = comm;
  if (!NtStatus::succeeded(accepted) && accept) {
    lastError_ = u"LpcServer::lpc_listen fail NtAcceptConnectPort";
    return ConnectionFailed;
  }
  if (!NtStatus::succeeded(ports.completeConnectPort(comm))) {
    lastError_ = u"LpcServer::lpc_listen fail NtCompleteConnectPort";
    return ConnectionFailed;
  }
  view_ = view;
  readWindow_ = view_.base;
  writeWindow_ = view_.base ? view_.base + LpcDiskMessage::kWindowSize : nullptr;
  TimerTask::clearLpcConnectPending();
  return Connected;
}

bool LpcServer::handle_request() {
  lastError_.clear();
  sys::Ports& ports = sys::platform().ports();
  const sys::Ports::Handle comm = commPortHandle_.load();
  if (!NtStatus::succeeded(ports.replyWaitReceivePort(comm, message_.message()))) {
    lastError_ = u"LpcServer::handle_request fail NtReplyWaitReceivePort";
    // Nothing usable arrived; the driver is told that nothing moved.
    message_.setStatus(LpcDiskMessage::LPC_STATUS_FAILED);
    message_.setResult(0);
    ports.replyPort(comm, message_.message());
    return false;
  }
  serve();
  if (!NtStatus::succeeded(ports.replyPort(comm, message_.message()))) {
    lastError_ = u"LpcServer::handle_request fail NtReplyPort";  // the driver never got its answer
    return false;
  }
  return true;
}

void LpcServer::serve() {
  const uint8_t op = message_.op();
  if (op != LpcDiskMessage::LPC_OP_READ && op != LpcDiskMessage::LPC_OP_WRITE) return;  // answered unchanged
  uint32_t result = 0;
  if (fitsView(op, message_.length())) {
    result = op == LpcDiskMessage::LPC_OP_READ
                 ? VirtualImageManager::read(readWindow_, message_.offset(), message_.length())
                 : VirtualImageManager::write(writeWindow_, message_.offset(), message_.length());
  }
  message_.setResult(result);
  if (result != 0) {
    message_.setStatus(LpcDiskMessage::LPC_STATUS_OK);
  } else {
    message_.setStatus(VirtualImageManager::isImageOpen() ? LpcDiskMessage::LPC_STATUS_FAILED
                                                          : LpcDiskMessage::LPC_STATUS_NO_IMAGE);
  }
}

// A read must fit the read window and the view; a write's data must lie
// inside the view after the write window's start. A request that does not fit
// moves nothing.
bool LpcServer::fitsView(uint8_t op, uint32_t length) const {
  if (!view_.base) return false;
  if (op == LpcDiskMessage::LPC_OP_READ) return length <= LpcDiskMessage::kWindowSize && length <= view_.size;
  return view_.size >= LpcDiskMessage::kWindowSize && length <= view_.size - LpcDiskMessage::kWindowSize;
}

void LpcServer::closePort() { closeHandle(portHandle_); }

void LpcServer::closeCommPort() { closeHandle(commPortHandle_); }

void LpcServer::closeHandle(std::atomic<sys::Ports::Handle>& handle) {
  ScopedLock guard(serverLock_, kCloseWait);
  if (!guard.locked()) return;
  const sys::Ports::Handle closing = handle.exchange(sys::Ports::kNoHandle);
  if (closing != sys::Ports::kNoHandle) sys::platform().ports().close(closing);
}
