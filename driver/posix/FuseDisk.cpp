#define FUSE_USE_VERSION 312
#include "FuseDisk.h"

#include <fcntl.h>
#include <fuse3/fuse_lowlevel.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "lpc/LpcDiskMessage.h"

namespace {

constexpr fuse_ino_t kRootInode = FUSE_ROOT_ID;
constexpr fuse_ino_t kFileInode = 2;
constexpr double kAttributeTimeout = 3600;  // nothing here ever changes
// The thread looks at its stop flag at least this often.
constexpr int kIdleTickMs = 1000;
constexpr uint32_t kWindow = LpcDiskMessage::kWindowSize;
// Reads larger than the read window would need more than one request to fill
// one reply; the kernel is told to send none, and libfuse must agree.
constexpr const char* kMaxRead = "1048576";
static_assert(kWindow == 1048576, "max_read is the read window");

}  // namespace

struct FuseDisk::Session {
  Session(std::string mountPointPath, uint64_t diskSize, std::unique_ptr<SectorChannel> sectorChannel,
          std::shared_ptr<DriverLog> driverLog)
      : mountPoint(std::move(mountPointPath)),
        size(diskSize),
        channel(std::move(sectorChannel)),
        log(std::move(driverLog)) {}
  ~Session() {
    if (fuse) end();
  }

  // Unmounts the file system (lazily, following no symbolic link), then
  // closes the session's device, which fails whatever still waits on it.
  void end() {
    if (mounted) umount2(mountPoint.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
    mounted = false;
    fuse_session_destroy(fuse);
    fuse = nullptr;
  }

  const std::string mountPoint;
  const uint64_t size;
  const std::unique_ptr<SectorChannel> channel;
  const std::shared_ptr<DriverLog> log;
  sys::posix::UniqueFd wake;
  std::atomic<bool> stopping{false};
  fuse_session* fuse = nullptr;  // it owns the device descriptor
  bool mounted = false;
};

namespace {

FuseDisk::Session& sessionOf(fuse_req_t request) {
  return *static_cast<FuseDisk::Session*>(fuse_req_userdata(request));
}

struct stat attributesOf(fuse_ino_t inode, uint64_t size) {
  struct stat attributes {};
  attributes.st_ino = inode;
  attributes.st_uid = getuid();
  attributes.st_gid = getgid();
  if (inode == kRootInode) {
    attributes.st_mode = S_IFDIR | 0700;
    attributes.st_nlink = 2;
  } else {
    attributes.st_mode = S_IFREG | 0600;
    attributes.st_nlink = 1;
    attributes.st_size = static_cast<off_t>(size);
    attributes.st_blocks = static_cast<blkcnt_t>(size / 512);
  }
  return attributes;
}

void onInit(void*, fuse_conn_info* connection) {
  connection->max_read = kWindow;
  connection->max_write = kWindow;
}

void onLookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  if (parent != kRootInode || std::strcmp(name, FuseDisk::kFileName) != 0) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  fuse_entry_param entry{};
  entry.ino = kFileInode;
  entry.generation = 1;
  entry.attr = attributesOf(kFileInode, sessionOf(request).size);
  entry.attr_timeout = kAttributeTimeout;
  entry.entry_timeout = kAttributeTimeout;
  fuse_reply_entry(request, &entry);
}

void onGetattr(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
  if (inode != kRootInode && inode != kFileInode) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  const struct stat attributes = attributesOf(inode, sessionOf(request).size);
  fuse_reply_attr(request, &attributes, kAttributeTimeout);
}

void onOpen(fuse_req_t request, fuse_ino_t inode, fuse_file_info* file) {
  if (inode != kFileInode) {
    fuse_reply_err(request, EISDIR);
    return;
  }
  file->direct_io = 1;
  file->keep_cache = 0;
  fuse_reply_open(request, file);
}

void onRead(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info*) {
  FuseDisk::Session& session = sessionOf(request);
  const uint64_t start = static_cast<uint64_t>(std::max<off_t>(offset, 0));
  const uint64_t length = start < session.size ? std::min<uint64_t>(size, session.size - start) : 0;
  if (length > kWindow) {
    fuse_reply_err(request, EINVAL);
  } else if (length > 0 && !session.channel->read(start, static_cast<uint32_t>(length))) {
    fuse_reply_err(request, EIO);
  } else {
    fuse_reply_buf(request, reinterpret_cast<const char*>(session.channel->readWindow()), length);
  }
}

void onWrite(fuse_req_t request, fuse_ino_t, const char* data, size_t size, off_t offset, fuse_file_info*) {
  FuseDisk::Session& session = sessionOf(request);
  const uint64_t start = static_cast<uint64_t>(std::max<off_t>(offset, 0));
  if (start >= session.size) {
    fuse_reply_err(request, ENOSPC);
    return;
  }
  const uint64_t length = std::min<uint64_t>(size, session.size - start);
  for (uint64_t done = 0; done < length; done += kWindow) {
    const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(kWindow, length - done));
    if (!session.channel->write(start + done, reinterpret_cast<const uint8_t*>(data) + done, chunk)) {
      fuse_reply_err(request, EIO);
      return;
    }
  }
  fuse_reply_write(request, length);
}

fuse_lowlevel_ops operations() {
  fuse_lowlevel_ops ops{};
  ops.init = onInit;
  ops.lookup = onLookup;
  ops.getattr = onGetattr;
  ops.open = onOpen;
  ops.read = onRead;
  ops.write = onWrite;
  return ops;
}

fuse_session* newFuseSession(FuseDisk::Session& session) {
  std::string name = "vkvd", optionFlag = "-o", options = std::string("max_read=") + kMaxRead;
  char* argv[] = {name.data(), optionFlag.data(), options.data()};
  fuse_args args = FUSE_ARGS_INIT(3, argv);
  const fuse_lowlevel_ops ops = operations();
  fuse_session* fuse = fuse_session_new(&args, &ops, sizeof(ops), &session);
  fuse_opt_free_args(&args);
  return fuse;
}

// Gives the session a device of its own, which it then owns: libfuse takes
// an open /dev/fuse named as /dev/fd/N. 0 or an errno.
int openDevice(fuse_session* fuse) {
  const int device = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (device < 0) return errno;
  if (fuse_session_mount(fuse, ("/dev/fd/" + std::to_string(device)).c_str()) == 0) return 0;
  close(device);
  return EINVAL;
}

// Mounts the file system served on `device` on the directory `mountPoint`,
// both descriptors; the new mount's root, or invalid with `error`.
sys::posix::UniqueFd mountOn(int mountPoint, int device, int& error) {
  const auto failed = [&error] {
    error = errno;
    return sys::posix::UniqueFd();
  };
  const sys::posix::UniqueFd context(fsopen("fuse", FSOPEN_CLOEXEC));
  if (!context.valid()) return failed();
  const std::pair<const char*, std::string> options[] = {
      {"source", "vkvd"},
      {"subtype", "vkvd"},
      {"fd", std::to_string(device)},
      {"rootmode", "40000"},  // S_IFDIR, in octal
      {"user_id", std::to_string(getuid())},
      {"group_id", std::to_string(getgid())},
      {"max_read", kMaxRead},
  };
  for (const auto& [key, value] : options) {
    if (fsconfig(context.get(), FSCONFIG_SET_STRING, key, value.c_str(), 0) != 0) return failed();
  }
  if (fsconfig(context.get(), FSCONFIG_SET_FLAG, "default_permissions", nullptr, 0) != 0 ||
      fsconfig(context.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
    return failed();
  }
  sys::posix::UniqueFd root(fsmount(context.get(), FSMOUNT_CLOEXEC, MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV));
  if (!root.valid() ||
      move_mount(root.get(), "", mountPoint, "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
    return failed();
  }
  return root;
}

}  // namespace

std::unique_ptr<FuseDisk> FuseDisk::mount(int mountPoint, const std::string& mountPointPath, uint64_t size,
                                          std::unique_ptr<SectorChannel> channel, std::shared_ptr<DriverLog> log,
                                          int& error) {
  auto session = std::make_shared<Session>(mountPointPath, size, std::move(channel), log);
  session->wake = sys::posix::UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!session->wake.valid()) {
    error = errno;
    return nullptr;
  }
  session->fuse = newFuseSession(*session);
  if (!session->fuse) {
    log->line("libfuse refused the file system's options");
    error = EINVAL;
    return nullptr;
  }
  if ((error = openDevice(session->fuse)) != 0) {
    log->line("cannot open /dev/fuse for the disk's file system: %s", std::strerror(error));
    return nullptr;
  }
  sys::posix::UniqueFd root = mountOn(mountPoint, fuse_session_fd(session->fuse), error);
  if (!root.valid()) {
    log->line("cannot mount the disk's file system at %s: %s", mountPointPath.c_str(), std::strerror(error));
    return nullptr;
  }
  session->mounted = true;
  std::unique_ptr<FuseDisk> disk(new FuseDisk(std::move(root), session));
  disk->serving_ = disk->thread_.start([session] { serve(*session); });
  if (!disk->serving_) {
    error = EAGAIN;
    log->line("cannot start the thread of the disk's file system");
    return nullptr;
  }
  return disk;
}

FuseDisk::FuseDisk(sys::posix::UniqueFd root, std::shared_ptr<Session> session)
    : root_(std::move(root)), session_(std::move(session)) {}

FuseDisk::~FuseDisk() {
  session_->stopping = true;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = write(session_->wake.get(), &one, sizeof(one));
  if (serving_ && !thread_.waitFor(kStopWait)) {
    session_->log->line("the disk's file system thread is still busy after %lld ms; it ends by itself",
                        static_cast<long long>(kStopWait.count()));
  }
}

// Serves requests until the owner stops it or the kernel ends the connection,
// then ends the session: this thread alone uses the session's device
// descriptor, which ending it closes.
void FuseDisk::serve(Session& session) {
  fuse_buf buffer{};
  pollfd entries[2] = {{fuse_session_fd(session.fuse), POLLIN, 0}, {session.wake.get(), POLLIN, 0}};
  while (!session.stopping) {
    if (poll(entries, 2, kIdleTickMs) < 0 && errno != EINTR) break;
    if (session.stopping || !(entries[0].revents & (POLLIN | POLLERR | POLLHUP))) continue;
    const int received = fuse_session_receive_buf(session.fuse, &buffer);
    if (received == -EINTR || received == -EAGAIN) continue;
    if (received <= 0) break;
    fuse_session_process_buf(session.fuse, &buffer);
  }
  std::free(buffer.mem);
  session.end();
}

std::string FuseDisk::filePath() const { return session_->mountPoint + "/" + kFileName; }

sys::posix::UniqueFd FuseDisk::openFile() const {
  return sys::posix::UniqueFd(openat(root_.get(), kFileName, O_RDWR | O_CLOEXEC));
}
