#define FUSE_USE_VERSION 312
#include "FusePassthrough.h"

#include <fcntl.h>
#include <fuse3/fuse_lowlevel.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "sys/posix/UniqueFd.h"

namespace {

constexpr fuse_ino_t kFileInode = 2;
constexpr const char* kFileName = "image";
constexpr size_t kMaxRead = 1024 * 1024;

}  // namespace

struct FusePassthrough::Session {
  sys::posix::UniqueFd image;
  uint64_t size = 0;
  std::string mountPoint;
  fuse_session* fuse = nullptr;
  bool mounted = false;
  std::atomic<bool> stopping{false};
  std::vector<char> buffer = std::vector<char>(kMaxRead);
};

namespace {

FusePassthrough::Session& sessionOf(fuse_req_t request) {
  return *static_cast<FusePassthrough::Session*>(fuse_req_userdata(request));
}

struct stat attributesOf(fuse_ino_t inode, uint64_t size) {
  struct stat attributes {};
  attributes.st_ino = inode;
  attributes.st_mode = inode == FUSE_ROOT_ID ? S_IFDIR | 0700 : S_IFREG | 0400;
  attributes.st_nlink = inode == FUSE_ROOT_ID ? 2 : 1;
  attributes.st_size = inode == FUSE_ROOT_ID ? 0 : static_cast<off_t>(size);
  return attributes;
}

void onInit(void*, fuse_conn_info* connection) { connection->max_read = kMaxRead; }

void onLookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  if (parent != FUSE_ROOT_ID || std::strcmp(name, kFileName) != 0) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  fuse_entry_param entry{};
  entry.ino = kFileInode;
  entry.generation = 1;
  entry.attr = attributesOf(kFileInode, sessionOf(request).size);
  entry.attr_timeout = entry.entry_timeout = 3600;
  fuse_reply_entry(request, &entry);
}

void onGetattr(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
  const struct stat attributes = attributesOf(inode, sessionOf(request).size);
  fuse_reply_attr(request, &attributes, 3600);
}

void onOpen(fuse_req_t request, fuse_ino_t inode, fuse_file_info* file) {
  if (inode != kFileInode) {
    fuse_reply_err(request, EISDIR);
    return;
  }
  file->direct_io = 1;
  fuse_reply_open(request, file);
}

void onRead(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info*) {
  FusePassthrough::Session& session = sessionOf(request);
  const ssize_t got = pread(session.image.get(), session.buffer.data(), std::min(size, kMaxRead), offset);
  if (got < 0) {
    fuse_reply_err(request, errno);
  } else {
    fuse_reply_buf(request, session.buffer.data(), static_cast<size_t>(got));
  }
}

// Serves requests until the session is stopped (checked each second) or unmounted.
void serve(FusePassthrough::Session& session) {
  fuse_buf buffer{};
  while (!session.stopping && !fuse_session_exited(session.fuse)) {
    pollfd entry{fuse_session_fd(session.fuse), POLLIN, 0};
    if (poll(&entry, 1, 1000) <= 0) continue;
    if (fuse_session_receive_buf(session.fuse, &buffer) <= 0) break;
    fuse_session_process_buf(session.fuse, &buffer);
  }
  std::free(buffer.mem);
}

}  // namespace

FusePassthrough::FusePassthrough(const std::string& imagePath, const std::string& mountPoint)
    : session_(std::make_unique<Session>()) {
  session_->image = sys::posix::UniqueFd(open(imagePath.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (!session_->image.valid() || fstat(session_->image.get(), &status) != 0) return;
  session_->size = static_cast<uint64_t>(status.st_size);
  session_->mountPoint = mountPoint;
  mkdir(mountPoint.c_str(), 0700);
  fuse_lowlevel_ops ops{};
  ops.init = onInit;
  ops.lookup = onLookup;
  ops.getattr = onGetattr;
  ops.open = onOpen;
  ops.read = onRead;
  std::string name = "passthrough", optionFlag = "-o", options = "max_read=1048576";
  char* argv[] = {name.data(), optionFlag.data(), options.data()};
  fuse_args args = FUSE_ARGS_INIT(3, argv);
  session_->fuse = fuse_session_new(&args, &ops, sizeof(ops), session_.get());
  fuse_opt_free_args(&args);
  if (!session_->fuse || fuse_session_mount(session_->fuse, mountPoint.c_str()) != 0) return;
  session_->mounted = true;
  serving_ = std::thread(serve, std::ref(*session_));
}

// The serving thread sees the stop within its poll's second; the file
// system is unmounted once nothing reads from its device any more.
FusePassthrough::~FusePassthrough() {
  session_->stopping = true;
  if (serving_.joinable()) serving_.join();
  if (session_->mounted) fuse_session_unmount(session_->fuse);
  if (session_->fuse) fuse_session_destroy(session_->fuse);
  rmdir(session_->mountPoint.c_str());
}

std::string FusePassthrough::filePath() const {
  return session_->mounted ? session_->mountPoint + "/" + kFileName : std::string();
}
