#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "provider/InitCodes.h"

namespace vsimgpvd {

// A file the provider reads and writes at byte offsets: an image part (opened
// read-only) or a store of written data. Each platform folder implements
// the functions below.
class ImageFile {
 public:
  virtual ~ImageFile() = default;

  // Moves up to `count` bytes at `offset`; fewer at the end of the file or
  // on an error.
  virtual uint32_t readAt(void* destination, uint64_t offset, uint32_t count) = 0;
  virtual uint32_t writeAt(const void* source, uint64_t offset, uint32_t count) = 0;
  // Bytes that differ whenever the file may have been changed, replaced or
  // truncated since they were taken; empty when the file has none to give.
  virtual std::string identity() const { return {}; }
  // Bytes that name the file itself (not its contents) for as long as it
  // exists; empty when the file has none to give.
  virtual std::string fileKey() const { return {}; }
};

// The paths given below are the caller's. A file opened by one is then used
// through its handle alone, never found by its name again. On Linux a
// symbolic link is not taken for the file itself, nor a magic link of /proc
// anywhere in the path, and no terminal opened becomes the process's
// controlling one.

// Opens an existing regular file read-only and gets its size. Returns kOpened,
// kImageNotFound, kImageUnreadable (also a symbolic link), kUnknownFormat (not
// a regular file) or kOutOfMemory. Never waits for a reader or writer (FIFOs
// are refused).
InitCode openImageFile(const std::u16string& path, std::unique_ptr<ImageFile>& file, uint64_t& size);

// Creates `path` anew for reading and writing, as sparse as the file system
// allows, that goes with its handle: on Linux its name is removed at once,
// on Windows it is deleted on close. Null on failure, and when anything
// already exists at `path` (never truncate, or remove, a file or link the
// caller did not mean: an image part, or any file of the system's).
std::unique_ptr<ImageFile> createTempFile(const std::u16string& path);

// Creates a file for reading and writing that no other process can open and
// that goes with its handle, also when the process dies. Linux: without a
// name, in $TMPDIR, else /var/tmp, else /tmp (where a file system refuses
// unnamed files, named and unlinked at once); Windows: in the temp path,
// unshared and deleted on close. Null when none can be made.
std::unique_ptr<ImageFile> createUnnamedTempFile();

// The index store: files that keep what opening a compressed image found,
// for the next opening of the same image, in a directory of the provider's.
// Each file belongs to the user it was made for (on Linux the file-system
// user of the calling thread, which impersonation sets) and is read by no
// one else. Windows builds keep none.
//
// The stored file `name` of the calling user, open for reading; null when
// there is none, or it is not the user's alone.
std::unique_ptr<ImageFile> openStoredIndex(const std::string& name);
// A new file for an index, without a name: in the store when the user can
// write there, so that it can be published, else a temp file. Null when
// none can be made.
std::unique_ptr<ImageFile> createIndexFile();
// Gives `file` (from createIndexFile) the name `name` in the store, in
// place of any file of the user's by that name. False when it cannot.
bool publishIndexFile(ImageFile& file, const std::string& name);

// True when something exists at `path`.
bool pathExists(const std::u16string& path);

// Descriptors left free for the rest of the process's work when an image's
// files are opened, where the system limits how many a process holds.
constexpr uint32_t kReservedDescriptors = 64;

// True when the process can open `count` more files and keep the reserve.
bool canHoldOpen(uint32_t count);

}  // namespace vsimgpvd
