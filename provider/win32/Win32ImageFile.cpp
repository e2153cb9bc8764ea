#include <windows.h>
// windows.h first
#include <winioctl.h>

#include <atomic>
#include <string>

#include "common/WideString.h"
#include "provider/ImageFile.h"

namespace vsimgpvd {
namespace {

OVERLAPPED positionAt(uint64_t offset) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

// Owns its handle from the open on.
class Win32ImageFile final : public ImageFile {
 public:
  Win32ImageFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
      : file_(CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr)),
        error_(file_ == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS) {}
  ~Win32ImageFile() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  Win32ImageFile(const Win32ImageFile&) = delete;
  Win32ImageFile& operator=(const Win32ImageFile&) = delete;

  HANDLE handle() const { return file_; }
  // The Win32 error of a failed open, ERROR_SUCCESS when open.
  DWORD error() const { return error_; }

  uint32_t readAt(void* destination, uint64_t offset, uint32_t count) override {
    auto* bytes = static_cast<char*>(destination);
    uint32_t done = 0;
    while (done < count) {
      OVERLAPPED position = positionAt(offset + done);
      DWORD got = 0;
      if (!ReadFile(file_, bytes + done, count - done, &got, &position) || got == 0) break;
      done += got;
    }
    return done;
  }

  uint32_t writeAt(const void* source, uint64_t offset, uint32_t count) override {
    const auto* bytes = static_cast<const char*>(source);
    uint32_t done = 0;
    while (done < count) {
      OVERLAPPED position = positionAt(offset + done);
      DWORD put = 0;
      if (!WriteFile(file_, bytes + done, count - done, &put, &position) || put == 0) break;
      done += put;
    }
    return done;
  }

 private:
  HANDLE file_;
  DWORD error_;
};

bool isDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

InitCode initCodeFromError(DWORD error, const std::wstring& path) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: return kImageNotFound;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return kOutOfMemory;
    case ERROR_ACCESS_DENIED: return isDirectory(path) ? kUnknownFormat : kImageUnreadable;
    default: return kImageUnreadable;
  }
}

// Unwritten ranges then take no space; file systems without sparse files refuse, which is fine.
void makeSparse(HANDLE file) {
  DWORD returned = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
}

std::wstring tempDirectory() {
  std::wstring directory(MAX_PATH + 1, L'\0');
  const DWORD length = GetTempPathW(static_cast<DWORD>(directory.size()), directory.data());
  if (length == 0 || length >= directory.size()) return {};
  directory.resize(length);
  return directory;
}

// A new name at each call, from the process id, the time and a count; a name
// that exists anyway is refused by CREATE_NEW and another one tried.
std::wstring uniqueTempName() {
  static std::atomic<uint32_t> counter{0};
  return L"vsimgpvd-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) + L"-" +
         std::to_wstring(++counter) + L".tmp";
}

}  // namespace

InitCode openImageFile(const std::u16string& path, std::unique_ptr<ImageFile>& file, uint64_t& size) {
  const std::wstring native = wide::toWchar(path);
  auto opened = std::make_unique<Win32ImageFile>(native, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (opened->handle() == INVALID_HANDLE_VALUE) return initCodeFromError(opened->error(), native);
  if (GetFileType(opened->handle()) != FILE_TYPE_DISK) return kUnknownFormat;
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(opened->handle(), &length)) return kImageUnreadable;
  size = static_cast<uint64_t>(length.QuadPart);
  file = std::move(opened);
  return kOpened;
}

std::unique_ptr<ImageFile> createTempFile(const std::u16string& path) {
  auto file = std::make_unique<Win32ImageFile>(wide::toWchar(path), GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW,
                                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
  if (file->handle() == INVALID_HANDLE_VALUE) return nullptr;
  makeSparse(file->handle());
  return file;
}

// Not shared, so no other process can open it while it lives.
std::unique_ptr<ImageFile> createUnnamedTempFile() {
  const std::wstring directory = tempDirectory();
  if (directory.empty()) return nullptr;
  constexpr int kAttempts = 16;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    auto file = std::make_unique<Win32ImageFile>(directory + uniqueTempName(), GENERIC_READ | GENERIC_WRITE, 0,
                                                 CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
    if (file->handle() != INVALID_HANDLE_VALUE) {
      makeSparse(file->handle());
      return file;
    }
    if (file->error() != ERROR_FILE_EXISTS) return nullptr;
  }
  return nullptr;
}

bool pathExists(const std::u16string& path) {
  return GetFileAttributesW(wide::toWchar(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A process may hold millions of handles: no image set comes near.
bool canHoldOpen(uint32_t) { return true; }

}  // namespace vsimgpvd
