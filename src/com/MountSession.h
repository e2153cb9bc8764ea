#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "common/Sid.h"

class Impersonator;

// The one owner of what a mount sets up: the open image, the port thread and
// whose identity it serves, the driver's disk, the volume registration and
// the mounted-drive record. A mount or an unmount is an operation; one runs
// at a time, holding the session from its start to its end, and the phase
// says how far the mount has come. The watchdog acts only between
// operations and only on the state it looked at; a probe writes the record
// only while a disk is there; a mount in progress can be cancelled (by an
// unmount, its client, or the service's stop), and after the stop no mount
// begins. Process-wide; thread-safe.
class MountSession {
 public:
  enum class Phase { Idle, Opening, Creating, Mounted, Unmounting };
  // Why an operation did not begin.
  enum class Refusal { None, Busy, Stopping };

  // One mount's or unmount's hold on the session, until it is destroyed.
  class Operation {
   public:
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Whether the operation holds the session, and why not.
    Refusal refusal() const { return refusal_; }
    bool held() const { return refusal_ == Refusal::None; }
    // The phase the session was in when the operation began.
    Phase phaseBefore() const { return phaseBefore_; }
    // Moves the mount on to `phase`; false, changing nothing, once the
    // mount is cancelled (or when the operation holds nothing).
    bool advance(Phase phase);

   private:
    friend class MountSession;
    Operation(MountSession& session, Refusal refusal, Phase phaseBefore)
        : session_(session), refusal_(refusal), phaseBefore_(phaseBefore) {}

    MountSession& session_;
    const Refusal refusal_;
    const Phase phaseBefore_;
  };

  // How long the stop waits for a mount in progress to end.
  static constexpr std::chrono::milliseconds kStopWait{20000};

  static MountSession& instance();

  // A mount begins at once or not at all; an unmount waits up to `wait` for
  // the operation in progress. A mount leaves the phase as it found it until
  // it advances; an unmount enters Unmounting. Each ends in Idle, but a mount
  // that reached Mounted.
  Operation beginMount();
  Operation beginUnmount(std::chrono::milliseconds wait);

  // Asks the mount in progress, if any, to stop at its next step; true when
  // there was one (in Opening or Creating).
  bool cancelMount();
  // Whether the mount in progress is asked to stop: the provider's progress
  // callback answers with it.
  bool cancelRequested() const;

  // Whose identity the port thread serves as for the current mount, for the
  // port thread's restarts, and the user of the client that mounted (its
  // owner, which the actor may not be). The port thread keeps the actor alive
  // while it serves; the session only names it. Both are forgotten when the
  // mount is undone.
  void setActor(const std::shared_ptr<Impersonator>& actor, const Sid& owner);
  std::shared_ptr<Impersonator> actor() const;
  std::optional<Sid> owner() const;
  Phase phase() const;

  // The watchdog's view: a number for the state between two operations,
  // none while one runs.
  std::optional<uint64_t> settledState() const;
  // Runs `act` holding the session when nothing has changed since
  // `settledState` gave `state`; false, without running it, otherwise. When
  // `act` returns true the mount is gone (the image closed): the session is
  // Idle.
  bool actIfUnchanged(uint64_t state, const std::function<bool()>& act);

  // Runs `write` (a probe's record write) only while a disk is there or
  // being created; false, without running it, otherwise.
  bool writeWhileMounted(const std::function<void()>& write);

  // The service's stop: cancels a mount in progress and waits, at most
  // `wait`, for the operation in progress to end; true when it did. No mount
  // begins afterwards.
  bool stop(std::chrono::milliseconds wait);
  // Lets mounts begin again after a stop (tests).
  void reopen();

 private:
  // Installs the probes' record gate.
  MountSession();
  void end();

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable ended_;
  bool running_ = false;  // an operation (or a watchdog act) holds the session
  bool mountRunning_ = false;
  bool cancelRequested_ = false;
  bool stopping_ = false;
  Phase phase_ = Phase::Idle;
  uint64_t state_ = 0;  // counts the operations begun
  std::weak_ptr<Impersonator> actor_;
  std::optional<Sid> owner_;
};
