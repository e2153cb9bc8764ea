#include <windows.h>

#include "common/WideString.h"
#include "provider/LogFile.h"

namespace vsimgpvd {
namespace {

// Owns its handle; writes each '\n' as CR LF, as the C run time's text mode does.
class Win32LogFile final : public LogFile {
 public:
  // Only a file on a disk: a pipe or device named as the log could block
  // every write. The server may learn the caller's identity, never act as it.
  explicit Win32LogFile(const std::wstring& path)
      : file_(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr)) {
    if (file_ != INVALID_HANDLE_VALUE && GetFileType(file_) != FILE_TYPE_DISK) {
      CloseHandle(file_);
      file_ = INVALID_HANDLE_VALUE;
    }
  }
  ~Win32LogFile() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  Win32LogFile(const Win32LogFile&) = delete;
  Win32LogFile& operator=(const Win32LogFile&) = delete;

  bool isOpen() const { return file_ != INVALID_HANDLE_VALUE; }

  bool append(std::string_view text) override {
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

}  // namespace

std::unique_ptr<LogFile> openLogFile(const std::u16string& path) {
  auto file = std::make_unique<Win32LogFile>(wide::toWchar(path));
  if (!file->isOpen()) return nullptr;
  return file;
}

}  // namespace vsimgpvd
