#pragma once

// What keeps the local server alive: its live objects and its clients'
// LockServer calls, counted for the whole process.
namespace ComServerLocks {

void up();
void down();
long count();
// How many times the count went up since the process started: a server
// that has served no one has nothing to end for.
long uses();

}  // namespace ComServerLocks
