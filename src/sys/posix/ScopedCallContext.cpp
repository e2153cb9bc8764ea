#include "sys/posix/ScopedCallContext.h"

#include <utility>

namespace sys::posix {
namespace {

thread_local const ScopedCallContext* currentCall = nullptr;

}  // namespace

ScopedCallContext::ScopedCallContext(uint32_t clientPid, std::optional<Identity> client)
    : clientPid_(client ? clientPid : 0), client_(std::move(client)), previous_(currentCall) {
  currentCall = this;
}

ScopedCallContext::~ScopedCallContext() { currentCall = previous_; }

uint32_t ScopedCallContext::currentClientPid() { return currentCall ? currentCall->clientPid_ : 0; }

std::optional<Identity> ScopedCallContext::currentClient() {
  return currentCall ? currentCall->client_ : std::nullopt;
}

std::optional<Identity> ScopedCallContext::clientIdentity(uint32_t pid) {
  if (currentCall == nullptr || pid == 0 || currentCall->clientPid_ != pid) return std::nullopt;
  return currentCall->client_;
}

}  // namespace sys::posix
