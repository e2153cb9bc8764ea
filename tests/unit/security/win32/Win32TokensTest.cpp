#include "sys/win32/Win32Tokens.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/Thread.h"

namespace {

using sys::win32::Win32Tokens;

constexpr uint32_t kInvalidParameter = 87;
constexpr int32_t kNoCallActive = 1725;

// Whether the calling thread carries a token of its own (impersonates).
bool threadImpersonates() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  CloseHandle(token);
  return true;
}

// Wine has one user, so this process's own token is the one there is to impersonate.
TEST(Win32TokensTest, ImpersonatesOwnTokenOnTheCallingThreadOnly) {
  Win32Tokens tokens;
  sys::Tokens::Handle process = 0;
  ASSERT_EQ(tokens.openProcess(GetCurrentProcessId(), process), 0u);
  sys::Tokens::Handle token = 0;
  ASSERT_EQ(tokens.openProcessToken(process, token), 0u);
  tokens.closeHandle(process);

  ASSERT_FALSE(threadImpersonates());
  ASSERT_EQ(tokens.impersonateLoggedOnUser(token), 0u);
  EXPECT_TRUE(threadImpersonates());
  auto otherImpersonates = std::make_shared<bool>(true);
  Thread other;
  ASSERT_TRUE(other.start([otherImpersonates] { *otherImpersonates = threadImpersonates(); }));
  ASSERT_TRUE(other.waitFor(std::chrono::seconds(10)));
  EXPECT_FALSE(*otherImpersonates);

  EXPECT_EQ(tokens.revertToSelf(), 0u);
  EXPECT_FALSE(threadImpersonates());
  tokens.closeHandle(token);
}

// The user of this process's token, as the system reports it.
std::optional<Sid> ownUser() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::nullopt;
  DWORD needed = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
  std::vector<uint8_t> information(needed);
  const bool read = needed > 0 && GetTokenInformation(token, TokenUser, information.data(), needed, &needed);
  CloseHandle(token);
  if (!read) return std::nullopt;
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(information.data())->User.Sid;
  return Sid::fromBytes(std::span(static_cast<const uint8_t*>(sid), GetLengthSid(sid)));
}

TEST(Win32TokensTest, TokenUserIsThatOfItsProcessOnly) {
  const std::optional<Sid> user = ownUser();
  ASSERT_TRUE(user);
  std::vector<uint32_t> otherRids = user->subAuthorities();
  ASSERT_FALSE(otherRids.empty());
  ++otherRids.back();
  Win32Tokens tokens;
  sys::Tokens::Handle process = 0;
  ASSERT_EQ(tokens.openProcess(GetCurrentProcessId(), process), 0u);
  sys::Tokens::Handle token = 0;
  ASSERT_EQ(tokens.openProcessToken(process, token), 0u);

  struct Case {
    const char* name;
    Sid user;
    bool same;
  };
  const Case cases[] = {
      {"its user", *user, true},
      {"another user of the same domain", Sid(user->authority(), otherRids), false},
      {"a user of another authority", Sid(user->authority() + 1, user->subAuthorities()), false},
  };
  for (const auto& c : cases) {
    bool same = !c.same;
    EXPECT_EQ(tokens.isTokenUser(token, c.user, same), 0u) << c.name;
    EXPECT_EQ(same, c.same) << c.name;
  }
  bool same = true;
  EXPECT_NE(tokens.isTokenUser(process, *user, same), 0u) << "a process handle is no token";
  EXPECT_FALSE(same);
  tokens.closeHandle(process);
  tokens.closeHandle(token);
}

// Whether this process's token is an administrator's, as the system tells it.
bool ownTokenIsAdministrators() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  const BOOL checked = CheckTokenMembership(nullptr, administrators, &member);
  FreeSid(administrators);
  return checked && member;
}

TEST(Win32TokensTest, TokenUserAndAdministratorAreThoseOfItsProcess) {
  const std::optional<Sid> expected = ownUser();
  ASSERT_TRUE(expected);
  Win32Tokens tokens;
  sys::Tokens::Handle process = 0;
  ASSERT_EQ(tokens.openProcess(GetCurrentProcessId(), process), 0u);
  sys::Tokens::Handle token = 0;
  ASSERT_EQ(tokens.openProcessToken(process, token), 0u);

  std::optional<Sid> user;
  EXPECT_EQ(tokens.tokenUser(token, user), 0u);
  EXPECT_EQ(user, expected);
  const bool expectedAdministrator = *expected == Sid::localSystem() || ownTokenIsAdministrators();
  bool administrator = !expectedAdministrator;
  EXPECT_EQ(tokens.isTokenAdministrator(token, administrator), 0u);
  EXPECT_EQ(administrator, expectedAdministrator);

  user = Sid::localSystem();
  EXPECT_NE(tokens.tokenUser(process, user), 0u) << "a process handle is no token";
  EXPECT_FALSE(user);
  administrator = true;
  EXPECT_NE(tokens.isTokenAdministrator(process, administrator), 0u);
  EXPECT_FALSE(administrator);
  tokens.closeHandle(process);
  tokens.closeHandle(token);
}

TEST(Win32TokensTest, ProcessZeroIsAnInvalidParameter) {
  Win32Tokens tokens;
  sys::Tokens::Handle process = 99;
  EXPECT_EQ(tokens.openProcess(0, process), kInvalidParameter);
  EXPECT_EQ(process, 0u);
}

TEST(Win32TokensTest, NoClientOutsideACall) {
  Win32Tokens tokens;
  uint32_t pid = 99;
  EXPECT_EQ(tokens.localClientPid(pid), kNoCallActive);
  EXPECT_EQ(pid, 0u);
}

TEST(Win32TokensTest, ThreadIdIsTheSystems) {
  Win32Tokens tokens;
  EXPECT_EQ(tokens.currentThreadId(), GetCurrentThreadId());
}

}  // namespace
