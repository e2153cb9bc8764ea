#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sys/Tokens.h"

// Tokens scripted by the test: each call fails with the error set for it, and
// every call is recorded in order ("openProcess 42", "impersonate 2 thread 1",
// ...). Handles are numbered from 1 and tracked, so that a test sees a handle
// closed twice, never closed, or used after its close. The token of process
// PID is that of the user userOf(PID) unless `processUsers` names another;
// a process in `endedProcesses` cannot be opened, and the tokens of processes
// in `administrators` are administrators'. Threads get small ids (1, 2, ...)
// in the order they first ask. Thread-safe.
class FakeTokens : public sys::Tokens {
 public:
  static constexpr uint32_t kInvalidHandle = 6;
  static constexpr uint32_t kInvalidParameter = 87;  // what opening an ended process answers

  uint32_t openProcessError = 0;
  uint32_t openProcessTokenError = 0;
  uint32_t tokenUserError = 0;
  uint32_t impersonateError = 0;
  uint32_t revertError = 0;
  int32_t rpcStatus = 0;
  uint32_t clientPid = 0;  // given even when rpcStatus is a failure, as garbage would be
  uint32_t administratorError = 0;
  std::map<uint32_t, Sid> processUsers;
  std::set<uint32_t> endedProcesses;
  std::set<uint32_t> administrators;

  static Sid userOf(uint32_t pid) { return Sid(5, {21, pid}); }

  std::vector<std::string> calls() {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  std::set<Handle> openHandles() {
    const std::lock_guard lock(mutex_);
    std::set<Handle> all = processes_;
    all.insert(tokens_.begin(), tokens_.end());
    return all;
  }
  // The token the thread acts as; 0 when it is itself.
  Handle actingAs(uint32_t thread) {
    const std::lock_guard lock(mutex_);
    const auto found = actingAs_.find(thread);
    return found == actingAs_.end() ? 0 : found->second;
  }

  uint32_t openProcess(uint32_t pid, Handle& process) override {
    const std::lock_guard lock(mutex_);
    calls_.push_back("openProcess " + std::to_string(pid));
    const uint32_t error = endedProcesses.contains(pid) ? kInvalidParameter : openProcessError;
    process = error ? 0 : next_++;
    if (process) {
      processes_.insert(process);
      pids_[process] = pid;
    }
    return error;
  }
  uint32_t openProcessToken(Handle process, Handle& token) override {
    const std::lock_guard lock(mutex_);
    calls_.push_back("openProcessToken " + std::to_string(process));
    token = 0;
    if (!processes_.contains(process)) return kInvalidHandle;
    if (openProcessTokenError) return openProcessTokenError;
    token = next_++;
    tokens_.insert(token);
    pids_[token] = pids_[process];
    return 0;
  }
  uint32_t isTokenUser(Handle token, const Sid& user, bool& same) override {
    const std::lock_guard lock(mutex_);
    calls_.push_back("isTokenUser " + std::to_string(token));
    same = false;
    if (!tokens_.contains(token)) return kInvalidHandle;
    if (tokenUserError) return tokenUserError;
    same = userOfProcess(pids_[token]) == user;
    return 0;
  }
  uint32_t tokenUser(Handle token, std::optional<Sid>& user) override {
    const std::lock_guard lock(mutex_);
    calls_.push_back("tokenUser " + std::to_string(token));
    user.reset();
    if (!tokens_.contains(token)) return kInvalidHandle;
    if (tokenUserError) return tokenUserError;
    user = userOfProcess(pids_[token]);
    return 0;
  }
  uint32_t isTokenAdministrator(Handle token, bool& administrator) override {
    const std::lock_guard lock(mutex_);
    calls_.push_back("isTokenAdministrator " + std::to_string(token));
    administrator = false;
    if (!tokens_.contains(token)) return kInvalidHandle;
    if (administratorError) return administratorError;
    administrator = administrators.contains(pids_[token]);
    return 0;
  }
  void closeHandle(Handle handle) override {
    const std::lock_guard lock(mutex_);
    const bool open = processes_.erase(handle) + tokens_.erase(handle) == 1;
    calls_.push_back("closeHandle " + std::to_string(handle) + (open ? "" : " (not open)"));
  }
  uint32_t impersonateLoggedOnUser(Handle token) override {
    const std::lock_guard lock(mutex_);
    const uint32_t thread = threadId();
    calls_.push_back("impersonate " + std::to_string(token) + " thread " + std::to_string(thread));
    if (!tokens_.contains(token)) return kInvalidHandle;
    if (impersonateError) return impersonateError;
    actingAs_[thread] = token;
    return 0;
  }
  uint32_t revertToSelf() override {
    const std::lock_guard lock(mutex_);
    const uint32_t thread = threadId();
    calls_.push_back("revert thread " + std::to_string(thread));
    if (revertError) return revertError;
    actingAs_.erase(thread);
    return 0;
  }
  uint32_t currentThreadId() override {
    const std::lock_guard lock(mutex_);
    return threadId();
  }
  int32_t localClientPid(uint32_t& pid) override {
    const std::lock_guard lock(mutex_);
    calls_.push_back("localClientPid");
    pid = clientPid;
    return rpcStatus;
  }

 private:
  Sid userOfProcess(uint32_t pid) const {
    const auto found = processUsers.find(pid);
    return found == processUsers.end() ? userOf(pid) : found->second;
  }
  uint32_t threadId() {
    const auto [entry, added] = threadIds_.try_emplace(std::this_thread::get_id(), 0);
    if (added) entry->second = static_cast<uint32_t>(threadIds_.size());
    return entry->second;
  }

  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::set<Handle> processes_;
  std::set<Handle> tokens_;
  std::map<Handle, uint32_t> pids_;  // the process each handle stands for
  std::map<uint32_t, Handle> actingAs_;
  std::map<std::thread::id, uint32_t> threadIds_;
  Handle next_ = 1;
};
