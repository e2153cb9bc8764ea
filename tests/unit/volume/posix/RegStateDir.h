#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "support/TempDir.h"

// Points the registry store at a temporary state directory for the guard's
// scope: the store is then <temp>/registry.
class RegStateDir {
 public:
  RegStateDir() {
    if (const char* old = std::getenv("VKBVD_STATE_DIR")) previous_ = old;
    setenv("VKBVD_STATE_DIR", dir_.path().c_str(), 1);
  }
  ~RegStateDir() {
    if (previous_) {
      setenv("VKBVD_STATE_DIR", previous_->c_str(), 1);
    } else {
      unsetenv("VKBVD_STATE_DIR");
    }
  }
  RegStateDir(const RegStateDir&) = delete;
  RegStateDir& operator=(const RegStateDir&) = delete;

  std::filesystem::path store() const { return dir_.path() / "registry"; }

 private:
  TempDir dir_;
  std::optional<std::string> previous_;
};
