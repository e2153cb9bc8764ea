#include "com/win32/ComServerLocks.h"

#include <atomic>

namespace {

std::atomic<long> locks{0};

}  // namespace

namespace ComServerLocks {

void up() { ++locks; }
void down() { --locks; }
long count() { return locks.load(); }

}  // namespace ComServerLocks
