#include "sys/win32/Win32FileSystem.h"

#include <windows.h>
// windows.h first
#include <sddl.h>

#include "common/WideString.h"
#include "common/WinError.h"

namespace sys::win32 {
namespace {

// Writes each '\n' as CR LF, as the C run time's text mode does.
class Win32TextFile final : public TextFile {
 public:
  explicit Win32TextFile(HANDLE file) : file_(file) {}
  ~Win32TextFile() override { CloseHandle(file_); }
  Win32TextFile(const Win32TextFile&) = delete;
  Win32TextFile& operator=(const Win32TextFile&) = delete;

  bool write(std::string_view text) override {
    std::string converted;
    converted.reserve(text.size() + 16);
    for (char c : text) {
      if (c == '\n') converted.push_back('\r');
      converted.push_back(c);
    }
    std::string_view rest = converted;
    while (!rest.empty()) {
      DWORD written = 0;
      if (!WriteFile(file_, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr) || written == 0) {
        return false;
      }
      rest.remove_prefix(written);
    }
    return true;
  }

 private:
  HANDLE file_;
};

// A new file's DACL: full access for its owner and for LocalSystem only.
class OwnerOnlySecurity {
 public:
  OwnerOnlySecurity() {
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)(A;;FA;;;SY)", SDDL_REVISION_1, &descriptor_,
                                                         nullptr);
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  ~OwnerOnlySecurity() { LocalFree(descriptor_); }
  OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
  OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;

  SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace

std::unique_ptr<TextFile> Win32FileSystem::openTextFile(const std::u16string& path, OpenMode mode, uint32_t& error) {
  if (path.empty() || path.find(u'\0') != std::u16string::npos) {
    error = WinError::InvalidName;
    return nullptr;
  }
  const bool truncate = mode == OpenMode::Truncate;
  OwnerOnlySecurity security;
  HANDLE file = CreateFileW(wide::toWchar(path).c_str(), truncate ? GENERIC_WRITE : FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, truncate ? security.attributes() : nullptr,
                            truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return nullptr;
  }
  error = WinError::Success;
  return std::make_unique<Win32TextFile>(file);
}

}  // namespace sys::win32
