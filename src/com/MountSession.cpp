#include "com/MountSession.h"

#include "volume/VolumeDeviceNotificatorThread.h"

MountSession& MountSession::instance() {
  static auto* const session = new MountSession;  // never freed: calls may still run at exit
  return *session;
}

MountSession::MountSession() {
  VolumeDeviceNotificatorThread::setRecordGate(
      [this](const std::function<void()>& write) { return writeWhileMounted(write); });
}

MountSession::Operation::~Operation() {
  if (held()) session_.end();
}

bool MountSession::Operation::advance(Phase phase) {
  const std::lock_guard<std::mutex> guard(session_.mutex_);
  if (!held() || session_.cancelRequested_) return false;
  session_.phase_ = phase;
  return true;
}

MountSession::Operation MountSession::beginMount() {
  const std::lock_guard<std::mutex> guard(mutex_);
  if (stopping_) return Operation(*this, Refusal::Stopping, phase_);
  if (running_) return Operation(*this, Refusal::Busy, phase_);
  running_ = true;
  mountRunning_ = true;
  cancelRequested_ = false;
  ++state_;
  return Operation(*this, Refusal::None, phase_);
}

MountSession::Operation MountSession::beginUnmount(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!ended_.wait_for(lock, wait, [this] { return !running_; })) return Operation(*this, Refusal::Busy, phase_);
  running_ = true;
  ++state_;
  const Phase before = phase_;
  phase_ = Phase::Unmounting;
  return Operation(*this, Refusal::None, before);
}

void MountSession::end() {
  const std::lock_guard<std::mutex> guard(mutex_);
  // A mount that stopped on its way, or an unmount, leaves nothing mounted;
  // a mount refused at its start leaves the phase as it found it.
  if (phase_ != Phase::Mounted) {
    phase_ = Phase::Idle;
    actor_.reset();
    owner_.reset();
  }
  running_ = false;
  mountRunning_ = false;
  cancelRequested_ = false;
  ended_.notify_all();
}

bool MountSession::cancelMount() {
  const std::lock_guard<std::mutex> guard(mutex_);
  if (!mountRunning_) return false;
  cancelRequested_ = true;
  return true;
}

bool MountSession::cancelRequested() const {
  const std::lock_guard<std::mutex> guard(mutex_);
  return cancelRequested_;
}

void MountSession::setActor(const std::shared_ptr<Impersonator>& actor, const Sid& owner) {
  const std::lock_guard<std::mutex> guard(mutex_);
  actor_ = actor;
  owner_ = owner;
}

std::shared_ptr<Impersonator> MountSession::actor() const {
  const std::lock_guard<std::mutex> guard(mutex_);
  return actor_.lock();
}

std::optional<Sid> MountSession::owner() const {
  const std::lock_guard<std::mutex> guard(mutex_);
  return owner_;
}

MountSession::Phase MountSession::phase() const {
  const std::lock_guard<std::mutex> guard(mutex_);
  return phase_;
}

std::optional<uint64_t> MountSession::settledState() const {
  const std::lock_guard<std::mutex> guard(mutex_);
  if (running_) return std::nullopt;
  return state_;
}

bool MountSession::actIfUnchanged(uint64_t state, const std::function<bool()>& act) {
  {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (running_ || state != state_) return false;
    running_ = true;
  }
  const bool gone = act();
  const std::lock_guard<std::mutex> guard(mutex_);
  if (gone) {
    phase_ = Phase::Idle;
    actor_.reset();
    owner_.reset();
    ++state_;
  }
  running_ = false;
  ended_.notify_all();
  return gone;
}

bool MountSession::writeWhileMounted(const std::function<void()>& write) {
  const std::lock_guard<std::mutex> guard(mutex_);
  if (phase_ != Phase::Creating && phase_ != Phase::Mounted) return false;
  write();
  return true;
}

bool MountSession::stop(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  if (mountRunning_) cancelRequested_ = true;
  return ended_.wait_for(lock, wait, [this] { return !running_; });
}

void MountSession::reopen() {
  const std::lock_guard<std::mutex> guard(mutex_);
  stopping_ = false;
}
