#pragma once

#include <windows.h>

#include <utility>

// A handle of the service control manager or of a service, closed with its owner.
class ScmHandle {
 public:
  explicit ScmHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~ScmHandle() {
    if (handle_) CloseServiceHandle(handle_);
  }
  ScmHandle(ScmHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  ScmHandle(const ScmHandle&) = delete;
  ScmHandle& operator=(const ScmHandle&) = delete;

  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};
