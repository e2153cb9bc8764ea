#include "com/CProxy_IVirtualDiskEvents.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "com/HResult.h"
#include "com/ProgressContext.h"
#include "com/RecordingSink.h"
#include "common/Thread.h"

namespace {

using Names = std::vector<std::string>;
constexpr std::chrono::seconds kBound{10};

class ConnectionPointTest : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingSink> sink(const std::string& name) {
    return std::make_shared<RecordingSink>(name, journal_);
  }
  // Advises `sink` and returns its cookie; 0 when refused.
  uint32_t advise(std::shared_ptr<VirtualDiskEventSink> sink) {
    uint32_t cookie = 0;
    return events_.Advise(std::move(sink), &cookie) == HResult::Ok ? cookie : 0;
  }
  std::vector<uint32_t> cookies() {
    std::vector<CProxy_IVirtualDiskEvents::Connection> connections;
    EXPECT_EQ(events_.EnumConnections(&connections), HResult::Ok);
    std::vector<uint32_t> list;
    for (const auto& connection : connections) list.push_back(connection.cookie);
    return list;
  }

  std::shared_ptr<EventJournal> journal_ = std::make_shared<EventJournal>();
  CProxy_IVirtualDiskEvents events_;
};

TEST_F(ConnectionPointTest, CookiesAreSlotsPlusOneAndFreedSlotsAreReused) {
  for (uint32_t expected = 1; expected <= 4; ++expected) EXPECT_EQ(advise(sink("s")), expected);
  EXPECT_EQ(advise(sink("fifth")), 5u) << "the full four slots grow to eight";
  EXPECT_EQ(cookies(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));

  EXPECT_EQ(events_.Unadvise(2), HResult::Ok);
  EXPECT_EQ(cookies(), (std::vector<uint32_t>{1, 3, 4, 5}));
  EXPECT_EQ(advise(sink("again")), 2u) << "the first free slot";
  EXPECT_EQ(advise(sink("sixth")), 6u);
}

TEST_F(ConnectionPointTest, AFiringSkipsUnadvisedSinks) {
  const uint32_t first = advise(sink("first"));
  const uint32_t second = advise(sink("second"));
  advise(sink("third"));
  ASSERT_EQ(events_.Unadvise(second), HResult::Ok);
  EXPECT_EQ(events_.Fire_onEnumMounted(u"first_tag", u"C:\\vol.vkb"), HResult::Ok);
  EXPECT_EQ(journal_->sinks(), (Names{"first", "third"}));
  EXPECT_EQ(advise(sink("back")), second);
  EXPECT_EQ(first, 1u);
}

TEST_F(ConnectionPointTest, UnadviseRefusesCookiesThatNameNoSink) {
  EXPECT_EQ(events_.Unadvise(1), HResult::ConnectNoConnection) << "no slots yet";
  const uint32_t cookie = advise(sink("one"));
  ASSERT_EQ(cookie, 1u);
  struct Case {
    const char* name;
    uint32_t cookie;
  };
  const Case cases[] = {
      {"cookie 0", 0},
      {"an empty slot never given", 3},
      {"one beyond the slots", 5},
      {"far beyond", 0xFFFFFFFF},
  };
  for (const auto& c : cases) EXPECT_EQ(events_.Unadvise(c.cookie), HResult::ConnectNoConnection) << c.name;
  EXPECT_EQ(events_.Unadvise(cookie), HResult::Ok);
  EXPECT_EQ(events_.Unadvise(cookie), HResult::ConnectNoConnection) << "the same cookie twice";
}

TEST_F(ConnectionPointTest, NullPointersAreRefusedAndTheCookieCleared) {
  uint32_t cookie = 77;
  EXPECT_EQ(events_.Advise(nullptr, &cookie), HResult::Pointer);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(events_.Advise(sink("no cookie"), nullptr), HResult::Pointer);
  EXPECT_TRUE(cookies().empty()) << "nothing was advised";
  EXPECT_EQ(events_.EnumConnections(nullptr), HResult::Pointer);
}

// What the binding answers when a sink's QueryInterface for the event
// interface fails: a sink without the interface cannot connect.
TEST(AdviseResultOfQueryTest, OnlyAMissingInterfaceBecomesCannotConnect) {
  struct Case {
    int32_t query;
    int32_t advise;
  };
  const Case cases[] = {
      {HResult::NoInterface, HResult::ConnectCannotConnect},
      {HResult::OutOfMemory, HResult::OutOfMemory},
      {HResult::Fail, HResult::Fail},
  };
  for (const auto& c : cases) EXPECT_EQ(CProxy_IVirtualDiskEvents::adviseResultOfQuery(c.query), c.advise) << c.query;
}

// One client cannot grow the list without bound; a freed slot is usable again.
TEST_F(ConnectionPointTest, SlotsStopGrowingAtTheLimit) {
  for (uint32_t expected = 1; expected <= CProxy_IVirtualDiskEvents::kMaxSlots; ++expected) {
    ASSERT_EQ(advise(sink("s")), expected);
  }
  auto refused = sink("refused");
  uint32_t cookie = 77;
  EXPECT_EQ(events_.Advise(refused, &cookie), HResult::ConnectAdviseLimit);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(refused.use_count(), 1) << "the refused sink is not kept";

  ASSERT_EQ(events_.Unadvise(500), HResult::Ok);
  EXPECT_EQ(events_.Advise(refused, &cookie), HResult::Ok);
  EXPECT_EQ(cookie, 500u);
}

// A sink that fails does not stop the firing, which answers with the last
// sink called; arguments that cannot be built end it at that sink.
TEST_F(ConnectionPointTest, FiringCallsEverySinkInSlotOrder) {
  struct Case {
    const char* name;
    std::function<void(RecordingSink& first, RecordingSink& second, RecordingSink& third)> script;
    Names called;
    int32_t result;
  };
  const Case cases[] = {
      {"all succeed", [](RecordingSink&, RecordingSink&, RecordingSink&) {}, {"1", "2", "3"}, HResult::Ok},
      {"the middle one fails",
       [](RecordingSink&, RecordingSink& second, RecordingSink&) { second.result = HResult::Fail; },
       {"1", "2", "3"},
       HResult::Ok},
      {"the last one fails",
       [](RecordingSink&, RecordingSink&, RecordingSink& third) { third.result = HResult::Fail; },
       {"1", "2", "3"},
       HResult::Fail},
      {"one answers S_FALSE last",
       [](RecordingSink&, RecordingSink&, RecordingSink& third) { third.result = HResult::False; },
       {"1", "2", "3"},
       HResult::False},
      {"the middle one's arguments cannot be built",
       [](RecordingSink& first, RecordingSink& second, RecordingSink&) {
         first.result = HResult::Fail;
         second.argumentsFail = true;
       },
       {"1"},
       HResult::OutOfMemory},
  };
  for (const auto& c : cases) {
    for (const bool progress : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (progress ? ", progress" : ", enumeration"));
      auto journal = std::make_shared<EventJournal>();
      auto first = std::make_shared<RecordingSink>("1", journal);
      auto second = std::make_shared<RecordingSink>("2", journal);
      auto third = std::make_shared<RecordingSink>("3", journal);
      c.script(*first, *second, *third);
      CProxy_IVirtualDiskEvents events;
      uint32_t cookie = 0;
      for (const auto& each : {first, second, third}) ASSERT_EQ(events.Advise(each, &cookie), HResult::Ok);
      const int32_t result = progress ? events.Fire_onImageIndexProgress(2, 100.0, 50.0)
                                      : events.Fire_onEnumMounted(u"first_tag", u"C:\\vol.vkb");
      EXPECT_EQ(result, c.result);
      EXPECT_EQ(journal->sinks(), c.called);
    }
  }
}

TEST_F(ConnectionPointTest, EventsCarryTheirValues) {
  EXPECT_EQ(events_.Fire_onEnumMounted(u"t", u"p"), HResult::Ok) << "no sinks: nothing fired, S_OK";
  EXPECT_TRUE(journal_->calls().empty());

  advise(sink("s"));
  events_.Fire_onEnumMounted(u"first_tag", u"C:\\vol.vkb");
  events_.Fire_onImageIndexProgress(-1, 3e19, 0.5);
  const std::vector<SinkCall> calls = journal_->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].event, "onEnumMounted");
  EXPECT_EQ(calls[0].mountTag, u"first_tag");
  EXPECT_EQ(calls[0].imagePath, u"C:\\vol.vkb");
  EXPECT_EQ(calls[1].event, "onImageIndexProgress");
  EXPECT_EQ(calls[1].imagePartNumber, -1);
  EXPECT_EQ(calls[1].totalSectors, 3e19);
  EXPECT_EQ(calls[1].sectorsProcessed, 0.5);
}

TEST_F(ConnectionPointTest, EnumConnectionsListsTheAdvisedSinksWithTheirCookies) {
  auto first = sink("first");
  auto third = sink("third");
  advise(first);
  const uint32_t second = advise(sink("second"));
  advise(third);
  events_.Unadvise(second);
  std::vector<CProxy_IVirtualDiskEvents::Connection> connections{{nullptr, 99}};
  ASSERT_EQ(events_.EnumConnections(&connections), HResult::Ok);
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_EQ(connections[0].sink, first);
  EXPECT_EQ(connections[0].cookie, 1u);
  EXPECT_EQ(connections[1].sink, third);
  EXPECT_EQ(connections[1].cookie, 3u);
}

// Runs `body` on another thread and waits for it, as a second client's call.
void onAnotherThread(std::function<void()> body) {
  Thread thread;
  ASSERT_TRUE(thread.start(std::move(body)));
  ASSERT_TRUE(thread.waitFor(kBound));
}

// A firing visits the slots there were when it began, as they are when it
// reaches each one.
TEST_F(ConnectionPointTest, AdviseAndUnadviseOnAnotherThreadDuringAFiring) {
  auto first = sink("first");
  advise(first);
  advise(sink("second"));
  advise(sink("third"));
  advise(sink("fourth"));
  auto taker = sink("takes the freed slot");
  auto grower = sink("grows the slots");
  std::atomic<uint32_t> takerCookie{0};
  std::atomic<uint32_t> growerCookie{0};
  first->during = [&] {
    onAnotherThread([&] {
      events_.Unadvise(2);
      takerCookie = advise(taker);
      growerCookie = advise(grower);
    });
  };
  EXPECT_EQ(events_.Fire_onEnumMounted(u"", u""), HResult::Ok);
  EXPECT_EQ(takerCookie, 2u);
  EXPECT_EQ(growerCookie, 5u);
  EXPECT_EQ(journal_->sinks(), (Names{"first", "takes the freed slot", "third", "fourth"}));
}

// A sink unadvised, and let go by everyone else, while it is being called
// lives until its call returns.
TEST_F(ConnectionPointTest, ASinkUnadvisedDuringItsCallLivesUntilItReturns) {
  auto held = sink("held");
  std::weak_ptr<RecordingSink> watch = held;
  bool aliveAfterUnadvise = false;
  held->during = [&] {
    onAnotherThread([&] { events_.Unadvise(1); });
    aliveAfterUnadvise = !watch.expired();
  };
  advise(std::move(held));
  EXPECT_EQ(events_.Fire_onEnumMounted(u"", u""), HResult::Ok);
  EXPECT_TRUE(aliveAfterUnadvise);
  EXPECT_TRUE(watch.expired()) << "released once the call returned";
  EXPECT_EQ(journal_->sinks(), Names{"held"});
}

// Firings on one thread while another advises and unadvises: every firing
// completes and the list stays whole.
TEST_F(ConnectionPointTest, FiringsAndChangesOnTwoThreads) {
  constexpr int kRounds = 200;
  advise(sink("steady"));
  std::atomic<bool> allFired{true};
  Thread firing;
  ASSERT_TRUE(firing.start([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (events_.Fire_onImageIndexProgress(1, i, i) != HResult::Ok) allFired = false;
    }
  }));
  for (int i = 0; i < kRounds; ++i) {
    const uint32_t cookie = advise(sink("passing"));
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(events_.Unadvise(cookie), HResult::Ok);
  }
  ASSERT_TRUE(firing.waitFor(kBound));
  EXPECT_TRUE(allFired);
  EXPECT_EQ(cookies(), std::vector<uint32_t>{1});
  size_t steadyCalls = 0;
  for (const SinkCall& call : journal_->calls()) steadyCalls += call.sink == "steady";
  EXPECT_EQ(steadyCalls, static_cast<size_t>(kRounds));
}

class ProgressContextTest : public ::testing::Test {
 protected:
  ProgressContextTest() { events_->Advise(sink_, &cookie_); }

  std::shared_ptr<EventJournal> journal_ = std::make_shared<EventJournal>();
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>("sink", journal_);
  std::shared_ptr<CProxy_IVirtualDiskEvents> events_ = std::make_shared<CProxy_IVirtualDiskEvents>();
  uint32_t cookie_ = 0;
  ProgressContext context_;
};

TEST_F(ProgressContextTest, ReportsReachTheTargetAsUnsignedDoubles) {
  context_.setTarget(events_);
  sink_->result = HResult::Fail;  // a failing sink cannot stop the provider
  const uint64_t max = ~uint64_t{0};
  const uint64_t half = uint64_t{1} << 63;
  EXPECT_EQ(indexProgressCallback(3, max, half, &context_), 1);
  const std::vector<SinkCall> calls = journal_->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].event, "onImageIndexProgress");
  EXPECT_EQ(calls[0].imagePartNumber, 3);
  EXPECT_EQ(calls[0].totalSectors, 1.8446744073709552e19);
  EXPECT_EQ(calls[0].sectorsProcessed, 9.223372036854775808e18);
}

TEST_F(ProgressContextTest, WithoutATargetReportsAreRefusedAndFireNothing) {
  EXPECT_EQ(indexProgressCallback(1, 10, 5, &context_), 0) << "never set";
  context_.setTarget(events_);
  EXPECT_EQ(indexProgressCallback(1, 10, 5, nullptr), 0) << "a null context";
  context_.clearTarget();
  EXPECT_EQ(indexProgressCallback(1, 10, 5, &context_), 0) << "cleared";
  EXPECT_TRUE(journal_->calls().empty());
}

// The object may be released while a report that took it is still firing:
// that report finishes on it, and the next one is refused.
TEST_F(ProgressContextTest, AReportInProgressKeepsItsTargetAlive) {
  context_.setTarget(events_);
  std::weak_ptr<CProxy_IVirtualDiskEvents> watch = events_;
  bool aliveAfterRelease = false;
  sink_->during = [&] {
    context_.clearTarget();
    events_.reset();  // the object's last other owner lets go
    aliveAfterRelease = !watch.expired();
  };
  EXPECT_EQ(indexProgressCallback(1, 10, 5, &context_), 1);
  EXPECT_TRUE(aliveAfterRelease);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(indexProgressCallback(1, 10, 6, &context_), 0);
  EXPECT_EQ(journal_->calls().size(), 1u);
}

}  // namespace
