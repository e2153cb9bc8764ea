#pragma once

// What keeps the local server alive: its live objects and its clients'
// LockServer calls, counted for the whole process.
namespace ComServerLocks {

void up();
void down();
long count();

}  // namespace ComServerLocks
