#pragma once

#include "sys/Platform.h"

namespace sys {

// Puts a test's fake in place of one platform facility for the guard's scope.
template <class Facility>
class ScopedFake {
 public:
  explicit ScopedFake(Facility& fake) : previous_(platform().slot<Facility>().exchange(&fake)) {}
  ~ScopedFake() { platform().slot<Facility>().store(previous_); }
  ScopedFake(const ScopedFake&) = delete;
  ScopedFake& operator=(const ScopedFake&) = delete;

 private:
  Facility* previous_;
};

}  // namespace sys
