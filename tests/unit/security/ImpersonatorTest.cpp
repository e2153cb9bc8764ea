#include "security/Impersonator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>

#include "common/Event.h"
#include "common/Thread.h"
#include "fakes/FakeTokens.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"
#include "sys/ScopedFake.h"

namespace {

using Strings = std::vector<std::string>;
constexpr std::chrono::seconds kBound{10};

// Each test runs against scripted tokens with the debug log open in a
// directory of its own.
class ImpersonatorTest : public ::testing::Test {
 protected:
  void SetUp() override { openDebugLog(dir_.file(u"debug.log").c_str()); }
  void TearDown() override { closeDebugLog(); }

  // What the log holds so far; closes it.
  std::string log() {
    closeDebugLog();
    return readFileBytes(std::filesystem::path(dir_.file(u"debug.log")));
  }
  // The log text of `lines`, after the empty line that opens every log.
  static std::string lines(std::initializer_list<std::string> list) {
    std::string text = VK_TEXT_LINE_END;
    for (const auto& line : list) text += line + VK_TEXT_LINE_END;
    return text;
  }

  TempDir dir_;
  FakeTokens tokens_;
  sys::ScopedFake<sys::Tokens> fake_{tokens_};
};

TEST_F(ImpersonatorTest, ImpersonatesWithTheTokenOfTheProcessAndClosesEverything) {
  const uint32_t self = tokens_.currentThreadId();
  {
    Impersonator impersonator;
    ASSERT_TRUE(impersonator.logonAsProcess(4242));
    EXPECT_EQ(tokens_.calls(), (Strings{"openProcess 4242", "openProcessToken 1", "closeHandle 1"}));
    EXPECT_EQ(tokens_.openHandles(), std::set<sys::Tokens::Handle>{2});

    ASSERT_TRUE(impersonator.impersonateToUser());
    EXPECT_EQ(tokens_.actingAs(self), 2u);
    ASSERT_TRUE(impersonator.resetImpersonation());
    EXPECT_EQ(tokens_.actingAs(self), 0u);
  }
  EXPECT_EQ(tokens_.calls(), (Strings{"openProcess 4242", "openProcessToken 1", "closeHandle 1",
                                      "impersonate 2 thread 1", "revert thread 1", "closeHandle 2"}));
  EXPECT_TRUE(tokens_.openHandles().empty());
  EXPECT_EQ(log(),
            lines({"Impersonator::resetImpersonation OK", "Impersonator::resetImpersonation thread not impersonated",
                   "Impersonator::~Impersonator deleted"}));
}

// A failed logon leaves no token and no open handle, so nothing to
// impersonate: impersonation fails and the thread stays itself.
TEST_F(ImpersonatorTest, FailedLogonLeavesNothingToImpersonate) {
  struct Case {
    const char* name;
    uint32_t pid;
    std::function<void(FakeTokens&)> script;
    Strings calls;
    std::string line;
  };
  const Case cases[] = {
      {"pid 0", 0, [](FakeTokens&) {}, {}, "Impersonator::logonAsProcess err pid=0"},
      {"OpenProcess fails",
       77,
       [](FakeTokens& t) { t.openProcessError = 87; },
       {"openProcess 77"},
       "Impersonator::logonAsProcess OpenProcess err=0x57"},
      {"OpenProcessToken fails",
       77,
       [](FakeTokens& t) { t.openProcessTokenError = 0x522; },
       {"openProcess 77", "openProcessToken 1", "closeHandle 1"},
       "Impersonator::logonAsProcess OpenProcessToken err=0x522"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTokens tokens;
    c.script(tokens);
    const sys::ScopedFake<sys::Tokens> fake(tokens);
    openDebugLog(dir_.file(u"debug.log").c_str());
    {
      Impersonator impersonator;
      EXPECT_FALSE(impersonator.logonAsProcess(c.pid));
      EXPECT_FALSE(impersonator.impersonateToUser());
      EXPECT_EQ(tokens.actingAs(tokens.currentThreadId()), 0u);
    }
    EXPECT_EQ(tokens.calls(), c.calls);
    EXPECT_TRUE(tokens.openHandles().empty());
    EXPECT_EQ(log(), lines({c.line, "Impersonator::impersonateToUser no logged user",
                            "Impersonator::resetImpersonation thread not impersonated",
                            "Impersonator::~Impersonator deleted"}));
  }
}

TEST_F(ImpersonatorTest, WithoutALogonNothingIsImpersonated) {
  {
    Impersonator impersonator;
    EXPECT_FALSE(impersonator.impersonateToUser());
    EXPECT_EQ(tokens_.actingAs(tokens_.currentThreadId()), 0u);
  }
  EXPECT_EQ(tokens_.calls(), Strings{});
  EXPECT_EQ(log(),
            lines({"Impersonator::impersonateToUser no logged user",
                   "Impersonator::resetImpersonation thread not impersonated", "Impersonator::~Impersonator deleted"}));
}

// The token's user is compared with a user the caller names; without a token
// or a readable user, no user matches.
TEST_F(ImpersonatorTest, IsLoggedOnAsOnlyTheTokensUser) {
  struct Case {
    const char* name;
    uint32_t loggedOnPid;  // 0: no logon
    uint32_t tokenUserError;
    uint32_t userPid;
    bool same;
    std::string expectedLog;
  };
  const Case cases[] = {
      {"the token's user", 10, 0, 10, true, lines({})},
      {"another user", 10, 0, 11, false, lines({})},
      {"no logon", 0, 0, 10, false, lines({"Impersonator::isLoggedOnAs no logged user"})},
      {"the user cannot be read", 10, 5, 10, false, lines({"Impersonator::isLoggedOnAs GetTokenInformation err=0x5"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTokens tokens;
    tokens.tokenUserError = c.tokenUserError;
    const sys::ScopedFake<sys::Tokens> fake(tokens);
    Impersonator impersonator;
    if (c.loggedOnPid != 0) {
      ASSERT_TRUE(impersonator.logonAsProcess(c.loggedOnPid));
    }
    openDebugLog(dir_.file(u"debug.log").c_str());
    EXPECT_EQ(impersonator.isLoggedOnAs(FakeTokens::userOf(c.userPid)), c.same);
    EXPECT_EQ(log(), c.expectedLog);
  }
}

// What a caller needs to tell whose a token is: its user, and whether that
// user may act for others. Without a token or a readable answer: nobody.
TEST_F(ImpersonatorTest, TellsTheTokensUserAndWhetherItIsAnAdministrator) {
  struct Case {
    const char* name;
    uint32_t loggedOnPid;  // 0: no logon
    std::function<void(FakeTokens&)> script;
    std::optional<Sid> user;
    bool administrator;
    std::string expectedLog;
  };
  const Case cases[] = {
      {"a user", 10, [](FakeTokens&) {}, FakeTokens::userOf(10), false, lines({})},
      {"an administrator", 10, [](FakeTokens& t) { t.administrators.insert(10); }, FakeTokens::userOf(10), true,
       lines({})},
      {"no logon", 0, [](FakeTokens& t) { t.administrators.insert(10); }, std::nullopt, false,
       lines({"Impersonator::loggedOnUser no logged user", "Impersonator::isAdministrator no logged user"})},
      {"nothing can be read", 10,
       [](FakeTokens& t) {
         t.tokenUserError = 5;
         t.administratorError = 5;
         t.administrators.insert(10);
       },
       std::nullopt, false,
       lines({"Impersonator::loggedOnUser GetTokenInformation err=0x5",
              "Impersonator::isAdministrator CheckTokenMembership err=0x5"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTokens tokens;
    c.script(tokens);
    const sys::ScopedFake<sys::Tokens> fake(tokens);
    Impersonator impersonator;
    if (c.loggedOnPid != 0) {
      ASSERT_TRUE(impersonator.logonAsProcess(c.loggedOnPid));
    }
    openDebugLog(dir_.file(u"debug.log").c_str());
    EXPECT_EQ(impersonator.loggedOnUser(), c.user);
    EXPECT_EQ(impersonator.isAdministrator(), c.administrator);
    EXPECT_EQ(log(), c.expectedLog);
  }
}

TEST_F(ImpersonatorTest, LogonAsComClientTakesTheTokenOfTheCaller) {
  struct Case {
    const char* name;
    int32_t rpcStatus;
    uint32_t openProcessError;
    bool loggedOn;
    Strings calls;
    std::string expectedLog;
  };
  const Case cases[] = {
      {"caller found",
       0,
       0,
       true,
       {"localClientPid", "openProcess 4242", "openProcessToken 1", "closeHandle 1", "closeHandle 2"},
       lines({"Impersonator::logonAsComClient client_pid=4242", "Impersonator::logonAsComClient OK"})},
      {"caller's process cannot be opened",
       0,
       5,
       false,
       {"localClientPid", "openProcess 4242"},
       lines({"Impersonator::logonAsComClient client_pid=4242", "Impersonator::logonAsProcess OpenProcess err=0x5"})},
      // The pid the run time leaves behind on failure is not used.
      {"no call served",
       1725,
       0,
       false,
       {"localClientPid"},
       lines({"Impersonator::getComClientPid I_RpcBindingInqLocalClientPID err rpc_status=0x6BD",
              "Impersonator::logonAsComClient client_pid=0", "Impersonator::logonAsProcess err pid=0"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTokens tokens;
    tokens.clientPid = 4242;
    tokens.rpcStatus = c.rpcStatus;
    tokens.openProcessError = c.openProcessError;
    const sys::ScopedFake<sys::Tokens> fake(tokens);
    openDebugLog(dir_.file(u"debug.log").c_str());
    std::optional<Impersonator> impersonator(std::in_place);
    EXPECT_EQ(impersonator->logonAsComClient(), c.loggedOn);
    EXPECT_EQ(log(), c.expectedLog);
    impersonator.reset();
    EXPECT_EQ(tokens.calls(), c.calls);
    EXPECT_TRUE(tokens.openHandles().empty());
  }
}

TEST_F(ImpersonatorTest, ImpersonatingTwiceIsUndoneByOneReset) {
  const uint32_t self = tokens_.currentThreadId();
  Impersonator impersonator;
  ASSERT_TRUE(impersonator.logonAsProcess(10));
  ASSERT_TRUE(impersonator.impersonateToUser());
  ASSERT_TRUE(impersonator.impersonateToUser());
  EXPECT_TRUE(impersonator.resetImpersonation());
  EXPECT_EQ(tokens_.actingAs(self), 0u);
  EXPECT_TRUE(impersonator.resetImpersonation());
  EXPECT_EQ(tokens_.calls(), (Strings{"openProcess 10", "openProcessToken 1", "closeHandle 1", "impersonate 2 thread 1",
                                      "impersonate 2 thread 1", "revert thread 1"}));
  EXPECT_EQ(log(),
            lines({"Impersonator::resetImpersonation OK", "Impersonator::resetImpersonation thread not impersonated"}));
}

TEST_F(ImpersonatorTest, FailedImpersonationIsNotListed) {
  tokens_.impersonateError = 0x522;
  Impersonator impersonator;
  ASSERT_TRUE(impersonator.logonAsProcess(10));
  EXPECT_FALSE(impersonator.impersonateToUser());
  EXPECT_TRUE(impersonator.resetImpersonation());
  EXPECT_EQ(tokens_.calls(),
            (Strings{"openProcess 10", "openProcessToken 1", "closeHandle 1", "impersonate 2 thread 1"}));
  EXPECT_EQ(log(), lines({"Impersonator::impersonateToUser ImpersonateLoggedOnUser err=0x522",
                          "Impersonator::resetImpersonation thread not impersonated"}));
}

// A failed revert is reported once; the entries stay removed, so it is not retried.
TEST_F(ImpersonatorTest, FailedRevertIsReported) {
  tokens_.revertError = 5;
  Impersonator impersonator;
  ASSERT_TRUE(impersonator.logonAsProcess(10));
  ASSERT_TRUE(impersonator.impersonateToUser());
  EXPECT_FALSE(impersonator.resetImpersonation());
  EXPECT_TRUE(impersonator.resetImpersonation());
  EXPECT_EQ(tokens_.calls(), (Strings{"openProcess 10", "openProcessToken 1", "closeHandle 1", "impersonate 2 thread 1",
                                      "revert thread 1"}));
  EXPECT_EQ(log(), lines({"Impersonator::resetImpersonation RevertToSelf err=0x5",
                          "Impersonator::resetImpersonation thread not impersonated"}));
}

TEST_F(ImpersonatorTest, DestructionRevertsTheDestroyingThreadOnlyWhenItIsListed) {
  const uint32_t self = tokens_.currentThreadId();
  {
    Impersonator impersonator;
    ASSERT_TRUE(impersonator.logonAsProcess(10));
    ASSERT_TRUE(impersonator.impersonateToUser());
  }
  EXPECT_EQ(tokens_.actingAs(self), 0u);
  {
    Impersonator impersonator;
    ASSERT_TRUE(impersonator.logonAsProcess(11));
    ASSERT_TRUE(impersonator.impersonateToUser());
    ASSERT_TRUE(impersonator.resetImpersonation());
  }
  EXPECT_EQ(tokens_.calls(), (Strings{"openProcess 10", "openProcessToken 1", "closeHandle 1", "impersonate 2 thread 1",
                                      "revert thread 1", "closeHandle 2", "openProcess 11", "openProcessToken 3",
                                      "closeHandle 3", "impersonate 4 thread 1", "revert thread 1", "closeHandle 4"}));
  EXPECT_EQ(log(),
            lines({"Impersonator::resetImpersonation OK", "Impersonator::~Impersonator deleted",
                   "Impersonator::resetImpersonation OK", "Impersonator::resetImpersonation thread not impersonated",
                   "Impersonator::~Impersonator deleted"}));
}

// Impersonation is per thread: a thread that did not impersonate reverts
// nothing, and the one that did keeps its identity meanwhile.
TEST_F(ImpersonatorTest, ResetOnAnotherThreadLeavesTheImpersonatingThreadAlone) {
  const uint32_t self = tokens_.currentThreadId();
  auto impersonator = std::make_shared<Impersonator>();
  ASSERT_TRUE(impersonator->logonAsProcess(10));
  ASSERT_TRUE(impersonator->impersonateToUser());

  auto reset = std::make_shared<std::optional<bool>>();
  Thread other;
  ASSERT_TRUE(other.start([impersonator, reset] { *reset = impersonator->resetImpersonation(); }));
  ASSERT_TRUE(other.waitFor(kBound));
  EXPECT_EQ(*reset, true);
  EXPECT_EQ(tokens_.actingAs(self), 2u);
  EXPECT_EQ(tokens_.calls(),
            (Strings{"openProcess 10", "openProcessToken 1", "closeHandle 1", "impersonate 2 thread 1"}));
  EXPECT_EQ(log(), lines({"Impersonator::resetImpersonation thread not impersonated"}));
}

// The thread handed the object (the port thread) may start after the mount
// has dropped its reference: the object and its token are still there.
TEST_F(ImpersonatorTest, ThreadHandedTheObjectImpersonatesAfterTheCreatorLetGo) {
  ASSERT_EQ(tokens_.currentThreadId(), 1u);
  auto impersonator = std::make_shared<Impersonator>();
  ASSERT_TRUE(impersonator->logonAsProcess(10));

  struct Shared {
    Event go{Event::Reset::Manual};
    bool started = false;
    bool impersonated = false;
    uint32_t thread = 0;
    sys::Tokens::Handle actingAs = 0;
  };
  auto shared = std::make_shared<Shared>();
  Thread worker;
  ASSERT_TRUE(worker.start([held = impersonator, shared, &tokens = tokens_]() mutable {
    shared->started = shared->go.wait(kBound);
    shared->impersonated = held->impersonateToUser();
    shared->thread = tokens.currentThreadId();
    shared->actingAs = tokens.actingAs(shared->thread);
    held.reset();  // the last reference: destroyed here
  }));
  impersonator.reset();
  shared->go.set();
  ASSERT_TRUE(worker.waitFor(kBound));

  EXPECT_TRUE(shared->started);
  EXPECT_TRUE(shared->impersonated);
  EXPECT_EQ(shared->actingAs, 2u);
  EXPECT_EQ(tokens_.actingAs(shared->thread), 0u);
  EXPECT_EQ(tokens_.calls(), (Strings{"openProcess 10", "openProcessToken 1", "closeHandle 1", "impersonate 2 thread 2",
                                      "revert thread 2", "closeHandle 2"}));
  EXPECT_TRUE(tokens_.openHandles().empty());
  EXPECT_EQ(log(), lines({"Impersonator::resetImpersonation OK", "Impersonator::~Impersonator deleted"}));
}

// A second logon replaces the token: the first is closed, not lost.
TEST_F(ImpersonatorTest, SecondLogonClosesTheFirstToken) {
  {
    Impersonator impersonator;
    ASSERT_TRUE(impersonator.logonAsProcess(10));
    ASSERT_TRUE(impersonator.logonAsProcess(11));
    ASSERT_TRUE(impersonator.impersonateToUser());
  }
  EXPECT_EQ(tokens_.calls(),
            (Strings{"openProcess 10", "openProcessToken 1", "closeHandle 1", "openProcess 11", "openProcessToken 3",
                     "closeHandle 3", "closeHandle 2", "impersonate 4 thread 1", "revert thread 1", "closeHandle 4"}));
  EXPECT_TRUE(tokens_.openHandles().empty());
}

}  // namespace
