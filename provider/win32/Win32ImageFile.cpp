#include <windows.h>
// windows.h first
#include <winioctl.h>

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
  // Unwritten ranges then take no space; file systems without sparse files refuse, which is fine.
  DWORD returned = 0;
  DeviceIoControl(file->handle(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  return file;
}

bool pathExists(const std::u16string& path) {
  return GetFileAttributesW(wide::toWchar(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace vsimgpvd
