// The mount session on its own: what each of its callers may do in each
// phase of a mount, and that the watchdog never acts on a state that has
// changed since it looked.
#include "com/MountSession.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "common/Event.h"
#include "common/Thread.h"

namespace {

using Phase = MountSession::Phase;
using Refusal = MountSession::Refusal;
constexpr std::chrono::seconds kBound{10};
constexpr std::chrono::milliseconds kNoWait{0};

// Brings the process's session into `phase` and keeps it there while it
// lives: an operation of its own runs on a thread until the end, except for
// Idle and Mounted, which no operation holds. Leaves the session Idle.
class PhaseHolder {
 public:
  explicit PhaseHolder(Phase phase) {
    EXPECT_EQ(MountSession::instance().phase(), Phase::Idle) << "every test leaves the session idle";
    if (phase == Phase::Mounted) {
      MountSession::Operation mount = MountSession::instance().beginMount();
      mount.advance(Phase::Mounted);
    }
    if (phase == Phase::Idle || phase == Phase::Mounted) return;
    held_ = holder_.start([this, phase] {
      MountSession& session = MountSession::instance();
      MountSession::Operation operation =
          phase == Phase::Unmounting ? session.beginUnmount(kNoWait) : session.beginMount();
      if (phase != Phase::Unmounting) operation.advance(phase);
      ready_.set();
      release_.wait(kBound);
    });
    EXPECT_TRUE(held_ && ready_.wait(kBound));
  }
  ~PhaseHolder() {
    release_.set();
    if (held_) {
      EXPECT_TRUE(holder_.waitFor(kBound));
    }
    MountSession& session = MountSession::instance();
    session.reopen();
    if (session.phase() == Phase::Mounted) session.beginUnmount(kBound);
  }
  PhaseHolder(const PhaseHolder&) = delete;
  PhaseHolder& operator=(const PhaseHolder&) = delete;

 private:
  Thread holder_;
  bool held_ = false;
  Event ready_{Event::Reset::Manual};
  Event release_{Event::Reset::Manual};
};

struct PhaseCase {
  const char* name;
  Phase phase;
  Refusal mount;         // what a mount that comes meets
  Refusal unmount;       // an unmount that does not wait
  bool cancels;          // a cancel finds a mount to stop
  bool watchdogMayLook;  // the watchdog gets a state to act on
  bool recordWritten;    // a probe's record write goes ahead
  bool stopEndsAtOnce;   // the stop finds no operation to wait for
};

const PhaseCase kPhases[] = {
    {"Idle", Phase::Idle, Refusal::None, Refusal::None, false, true, false, true},
    {"Opening", Phase::Opening, Refusal::Busy, Refusal::Busy, true, false, false, false},
    {"Creating", Phase::Creating, Refusal::Busy, Refusal::Busy, true, false, true, false},
    {"Mounted", Phase::Mounted, Refusal::None, Refusal::None, false, true, true, true},
    {"Unmounting", Phase::Unmounting, Refusal::Busy, Refusal::Busy, false, false, false, false},
};

class MountSessionPhaseTest : public ::testing::TestWithParam<PhaseCase> {};

TEST_P(MountSessionPhaseTest, EachCallerMeetsWhatThePhaseAllows) {
  const PhaseCase& c = GetParam();
  MountSession& session = MountSession::instance();
  {
    const PhaseHolder holder(c.phase);
    EXPECT_EQ(session.phase(), c.phase);
    {
      const MountSession::Operation mount = session.beginMount();
      EXPECT_EQ(mount.refusal(), c.mount);
      if (mount.held()) {
        EXPECT_EQ(mount.phaseBefore(), c.phase) << "a mount leaves the phase until it advances";
      }
    }
    EXPECT_EQ(session.phase(), c.phase);
    {
      const MountSession::Operation unmount = session.beginUnmount(kNoWait);
      EXPECT_EQ(unmount.refusal(), c.unmount);
      if (unmount.held()) {
        EXPECT_EQ(session.phase(), Phase::Unmounting);
      }
    }
    if (c.unmount == Refusal::None && c.phase == Phase::Mounted) {
      EXPECT_EQ(session.phase(), Phase::Idle) << "the unmount took the disk";
      MountSession::Operation again = session.beginMount();
      again.advance(Phase::Mounted);
    }
    EXPECT_EQ(session.settledState().has_value(), c.watchdogMayLook);
    bool wrote = false;
    EXPECT_EQ(session.writeWhileMounted([&] { wrote = true; }), c.recordWritten);
    EXPECT_EQ(wrote, c.recordWritten);
    EXPECT_EQ(session.cancelMount(), c.cancels);
    EXPECT_EQ(session.stop(kNoWait), c.stopEndsAtOnce);
    EXPECT_EQ(session.beginMount().refusal(), Refusal::Stopping) << "after the stop, no mount begins";
  }
  EXPECT_EQ(session.phase(), Phase::Idle);
  EXPECT_EQ(session.beginMount().refusal(), Refusal::None);
}

INSTANTIATE_TEST_SUITE_P(Phases, MountSessionPhaseTest, ::testing::ValuesIn(kPhases),
                         [](const ::testing::TestParamInfo<PhaseCase>& each) { return each.param.name; });

TEST(MountSessionTest, ACancelledMountCannotAdvanceAndEndsIdle) {
  MountSession& session = MountSession::instance();
  {
    MountSession::Operation mount = session.beginMount();
    ASSERT_TRUE(mount.advance(Phase::Opening));
    EXPECT_FALSE(session.cancelRequested());
    EXPECT_TRUE(session.cancelMount());
    EXPECT_TRUE(session.cancelRequested());
    EXPECT_FALSE(mount.advance(Phase::Creating));
    EXPECT_EQ(session.phase(), Phase::Opening);
  }
  EXPECT_EQ(session.phase(), Phase::Idle);
  EXPECT_FALSE(session.cancelRequested()) << "the next mount starts uncancelled";
}

// The watchdog looked, then a mount came and went: what it saw no longer
// holds, so it does nothing; on an unchanged state it acts, and a check that
// closed the image leaves the session idle.
TEST(MountSessionTest, TheWatchdogActsOnlyOnTheStateItSaw) {
  MountSession& session = MountSession::instance();
  {
    MountSession::Operation mount = session.beginMount();
    mount.advance(Phase::Mounted);
  }
  const std::optional<uint64_t> seen = session.settledState();
  ASSERT_TRUE(seen);
  { const MountSession::Operation another = session.beginMount(); }
  bool acted = false;
  EXPECT_FALSE(session.actIfUnchanged(*seen, [&] { return acted = true; }));
  EXPECT_FALSE(acted);

  const std::optional<uint64_t> now = session.settledState();
  ASSERT_TRUE(now);
  EXPECT_FALSE(session.actIfUnchanged(*now, [&] {
    EXPECT_EQ(session.beginMount().refusal(), Refusal::Busy) << "no mount begins while the watchdog acts";
    return false;  // the image could not be closed
  }));
  EXPECT_EQ(session.phase(), Phase::Mounted);
  EXPECT_TRUE(session.actIfUnchanged(*session.settledState(), [] { return true; }));
  EXPECT_EQ(session.phase(), Phase::Idle);
}

}  // namespace
