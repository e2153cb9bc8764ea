#include "sys/posix/ScopedCallContext.h"

namespace sys::posix {
namespace {

thread_local uint32_t callClientPid = 0;

}  // namespace

ScopedCallContext::ScopedCallContext(uint32_t clientPid) : previous_(callClientPid) { callClientPid = clientPid; }

ScopedCallContext::~ScopedCallContext() { callClientPid = previous_; }

uint32_t ScopedCallContext::currentClientPid() { return callClientPid; }

}  // namespace sys::posix
