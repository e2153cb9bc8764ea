#include "com/win32/ComServerLocks.h"

#include <atomic>

namespace {

std::atomic<long> locks{0};
std::atomic<long> ups{0};

}  // namespace

namespace ComServerLocks {

void up() {
  ++ups;
  ++locks;
}
void down() { --locks; }
long count() { return locks.load(); }
long uses() { return ups.load(); }

}  // namespace ComServerLocks
