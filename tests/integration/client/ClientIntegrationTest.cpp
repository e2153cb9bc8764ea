// vkbvd, the command-line client, against the real system as root: a private
// system bus, vkvd mounting volumes in a directory of the test's, the mount
// service, and the client's commands run as a user runs them, checked by
// what they print, their exit codes and what is left on the machine.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "PrivateBus.h"
#include "ServiceProcess.h"
#include "VkvdProcess.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto kStartWait = 30s;
constexpr auto kStopWait = 30s;
constexpr auto kClientWait = 300s;
constexpr auto kPollInterval = 20ms;
// A user other than root whom the test's bus lets call the service, as a
// member of its group: one every Debian system has.
constexpr char kOtherUser[] = "daemon";
// How soon reads of a volume fail once the service that serves them is gone.
constexpr auto kReadFailureBound = 60s;

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// What a command wrote to its standard output.
std::string runOutput(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) text += buffer;
    pclose(pipe);
  }
  return text;
}

// A program in a process of its own, its output in `out` and `err` (the
// same file unless given apart); ended with SIGTERM (then SIGKILL when it
// does not end in time).
class Child {
 public:
  Child(std::vector<std::string> arguments, const fs::path& out, fs::path err = {}) {
    if (err.empty()) err = out;
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
      const int output = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      const int errors = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (in < 0 || output < 0 || errors < 0 || dup2(in, 0) < 0 || dup2(output, 1) < 0 || dup2(errors, 2) < 0) {
        _exit(126);
      }
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~Child() { stop(SIGTERM); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Sends `signal` while it runs.
  void signal(int number) {
    if (running()) kill(pid_, number);
  }
  pid_t pid() const { return pid_; }
  bool running() {
    if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = 0;
    return pid_ > 0;
  }
  // Waits at most `limit` for the end; the exit code, 128 + N for signal N,
  // or -1 when it did not end in time.
  int wait(std::chrono::milliseconds limit) {
    for (auto waited = 0ms; running() && waited < limit; waited += kPollInterval) {
      std::this_thread::sleep_for(kPollInterval);
    }
    if (running()) return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }
  void stop(int number) {
    if (!running()) return;
    kill(pid_, number);
    if (wait(kStopWait) == -1) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = 0;
    }
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

// A process that reads a file with O_DIRECT, so that every read reaches the
// disk, pass after pass; it writes a byte to its pipe after the first whole
// pass and exits with the errno of the first read that fails (0 when none
// fails within kReaderRun).
class DirectReader {
 public:
  static constexpr auto kReaderRun = 120s;
  static constexpr size_t kChunk = 1 << 20;

  explicit DirectReader(const fs::path& file) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ends[0]);
      readUntilFailure(file, ends[1]);
    }
    close(ends[1]);
    ready_ = ends[0];
  }
  ~DirectReader() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (ready_ >= 0) close(ready_);
  }
  DirectReader(const DirectReader&) = delete;
  DirectReader& operator=(const DirectReader&) = delete;

  bool firstPassDone(std::chrono::milliseconds limit) {
    pollfd ready{ready_, POLLIN, 0};
    char byte = 0;
    return poll(&ready, 1, static_cast<int>(limit.count())) == 1 && read(ready_, &byte, 1) == 1;
  }
  // Its exit code once it ends within `limit`; -1 when it did not.
  int wait(std::chrono::milliseconds limit) {
    int status = 0;
    for (auto waited = 0ms; waited < limit; waited += kPollInterval) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(kPollInterval);
    }
    return -1;
  }

 private:
  [[noreturn]] static void readUntilFailure(const fs::path& file, int ready) {
    const int fd = open(file.c_str(), O_RDONLY | O_DIRECT);
    void* buffer = nullptr;
    if (fd < 0 || posix_memalign(&buffer, 4096, kChunk) != 0) _exit(fd < 0 ? errno : ENOMEM);
    const auto end = std::chrono::steady_clock::now() + kReaderRun;
    for (bool first = true; std::chrono::steady_clock::now() < end; first = false) {
      for (off_t at = 0;; at += kChunk) {
        const ssize_t got = pread(fd, buffer, kChunk, at);
        if (got < 0) _exit(errno);
        if (got == 0) break;
      }
      if (first && write(ready, "r", 1) != 1) _exit(EPIPE);
    }
    _exit(0);
  }

  pid_t pid_ = -1;
  int ready_ = -1;
};

// The threads of process `pid` that are in uninterruptible sleep.
std::vector<std::string> threadsInUninterruptibleSleep(pid_t pid) {
  std::vector<std::string> stuck;
  std::error_code error;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error), end; !error && it != end;
       it.increment(error)) {
    const std::string stat = readText(it->path() / "stat");
    const size_t state = stat.rfind(") ");
    if (state != std::string::npos && stat.compare(state + 2, 1, "D") == 0) stuck.push_back(stat);
  }
  return stuck;
}

struct ClientResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class ClientIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || !fs::exists("/dev/fuse") || !fs::exists("/dev/loop-control")) {
      GTEST_SKIP() << "a real disk needs root, /dev/fuse and loop devices";
    }
    if (!run("command -v dbus-daemon >/dev/null && command -v mkfs.ext4 >/dev/null")) {
      GTEST_SKIP() << "needs dbus-daemon and mkfs.ext4";
    }
    runtime_ = dir_.path() / "run";
    volumes_ = dir_.path() / "volumes";
    setenv("VKBVD_RUNTIME_DIR", runtime_.c_str(), 1);
    setenv("VKBVD_STATE_DIR", (dir_.path() / "state").c_str(), 1);
    // The provider's index store, as the packages make it at boot.
    indexStore_ = dir_.path() / "index";
    ASSERT_EQ(mkdir(indexStore_.c_str(), 0), 0);
    ASSERT_EQ(chmod(indexStore_.c_str(), 01733), 0);
    setenv("VSIMGPVD_INDEX_DIR", indexStore_.c_str(), 1);
    makeImage();
    bus_ = std::make_unique<PrivateBus>(dir_.path(), kOtherUser);
    ASSERT_FALSE(bus_->address().empty()) << readText(dir_.path() / "bus.log");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_->address().c_str(), 1);
    vkvd_ = std::make_unique<VkvdProcess>(runtime_, dir_.path() / "vkvd.log", -1, volumes_);
    ASSERT_FALSE(vkvd_->waitForInterface().empty()) << readText(dir_.path() / "vkvd.log");
    service_ = std::make_unique<ServiceProcess>(
        ServiceProcess::Setup{bus_->address(), runtime_, dir_.path() / "state", serviceLog(), serviceErrors()});
    ASSERT_TRUE(waitForService()) << logs();
  }

  void TearDown() override {
    if (service_) client({"umount"});
    service_.reset();
    vkvd_.reset();
    bus_.reset();
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    unsetenv("VKBVD_STATE_DIR");
    unsetenv("VKBVD_RUNTIME_DIR");
    unsetenv("VSIMGPVD_INDEX_DIR");
  }

  // An ext4 volume labelled BACKUP with a file, as the image.
  void makeImage() {
    const fs::path files = dir_.path() / "files";
    fs::create_directories(files);
    std::ofstream(files / "hello.txt") << "hello from the backup\n";
    image_ = dir_.path() / "volume.img";
    ASSERT_TRUE(run("truncate -s 32M " + image_.string() + " && mkfs.ext4 -q -F -L BACKUP -d " + files.string() + " " +
                    image_.string()));
    image_ = fs::weakly_canonical(image_);
  }

  // The service has its name once a client reaches it.
  bool waitForService() {
    for (auto waited = 0ms; waited < kStartWait; waited += 100ms) {
      if (client({"list"}).exitCode == 0) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  fs::path serviceLog() const { return dir_.path() / "service.log"; }
  fs::path serviceErrors() const { return dir_.path() / "service.err"; }
  std::string logs() const {
    return "\n--- service\n" + readText(serviceLog()) + readText(serviceErrors()) + "\n--- vkvd\n" +
           readText(dir_.path() / "vkvd.log");
  }

  // Starts vkbvd with `arguments`; its output goes to files of the test
  // named after `name`, so that clients at the same time keep theirs apart.
  std::unique_ptr<Child> startClient(const std::vector<std::string>& arguments, const std::string& name = "client") {
    std::vector<std::string> command{VKBVD_PROGRAM};
    command.insert(command.end(), arguments.begin(), arguments.end());
    fs::remove(dir_.path() / (name + ".out"));
    fs::remove(dir_.path() / (name + ".err"));
    return std::make_unique<Child>(command, dir_.path() / (name + ".out"), dir_.path() / (name + ".err"));
  }
  ClientResult finish(Child& client, const std::string& name = "client") {
    ClientResult result;
    result.exitCode = client.wait(kClientWait);
    result.out = readText(dir_.path() / (name + ".out"));
    result.err = readText(dir_.path() / (name + ".err"));
    return result;
  }
  // A gzip image whose index pass takes seconds: 2 GiB of numbers in eight
  // members. Not a file system: a mount of it is meant to be cancelled.
  fs::path makeLongIndexedImage() {
    const std::string member = (dir_.path() / "member.gz").string();
    const fs::path image = dir_.path() / "long.img.gz";
    EXPECT_TRUE(run("seq 1 70000000 | head -c 256M | gzip -1 > " + member + " && for i in 1 2 3 4 5 6 7 8; do cat " +
                    member + "; done > " + image.string() + " && rm " + member));
    return fs::weakly_canonical(image);
  }
  // Waits until the service's log holds `text`, while `client` runs.
  bool waitForServiceLog(const std::string& text, Child& client) {
    for (auto waited = 0ms; client.running() && waited < kClientWait; waited += kPollInterval) {
      if (readText(serviceLog()).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(kPollInterval);
    }
    return false;
  }
  // Nothing of a mount is there: the driver holds no disk, nothing of it
  // is mounted or attached, and the service asked the driver for none.
  void expectNothingOfTheMount() {
    EXPECT_EQ(client({"list"}).out, "nothing mounted\n");
    EXPECT_FALSE(anythingMountedInVolumes());
    EXPECT_FALSE(anythingOfTheDiskLeft());
    EXPECT_EQ(readText(serviceLog()).find("CreateDevWorker::createDev"), std::string::npos) << logs();
  }
  ClientResult client(const std::vector<std::string>& arguments) { return finish(*startClient(arguments)); }
  // vkbvd run by kOtherUser.
  ClientResult clientAsOtherUser(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"/usr/bin/setpriv", "--reuid", kOtherUser, "--regid", kOtherUser,
                                     "--init-groups"};
    command.push_back(VKBVD_PROGRAM);
    command.insert(command.end(), arguments.begin(), arguments.end());
    fs::remove(dir_.path() / "client.out");
    fs::remove(dir_.path() / "client.err");
    Child child(command, dir_.path() / "client.out", dir_.path() / "client.err");
    return finish(child);
  }

  // Where vkvd mounts the volume of a disk mounted by user `owner`.
  std::string mountPoint(uid_t owner = 0) const { return (volumes_ / std::to_string(owner) / "BACKUP").string(); }
  bool anythingMountedInVolumes() const {
    return readText("/proc/self/mountinfo").find(volumes_.string() + "/") != std::string::npos;
  }
  // vkvd's file system, a loop device on its disk file, or its identity.
  bool anythingOfTheDiskLeft() const {
    const bool mounted = readText("/proc/self/mountinfo").find(runtime_.string() + "/") != std::string::npos;
    const bool attached = run("losetup --list --noheadings --output BACK-FILE | grep -q '^" + runtime_.string() + "/'");
    std::error_code error;
    const bool identity = !fs::is_empty(runtime_ / "identity", error) && !error;
    return mounted || attached || identity;
  }

  TempDir dir_;
  fs::path runtime_;
  fs::path volumes_;
  fs::path indexStore_;
  fs::path image_;
  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<VkvdProcess> vkvd_;
  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(ClientIntegrationTest, MountListRefuseAndUnmount) {
  const std::string image = image_.string();
  const ClientResult missing = client({"mount", (dir_.path() / "missing.img").string()});
  EXPECT_EQ(missing.exitCode, 5);
  EXPECT_EQ(missing.err,
            "Cannot mount " + (dir_.path() / "missing.img").string() + ": the image file does not exist.\n");

  const ClientResult mounted = client({"mount", image});
  ASSERT_EQ(mounted.exitCode, 0) << mounted.out << mounted.err << logs();
  std::smatch device;
  ASSERT_TRUE(std::regex_search(mounted.out, device, std::regex("device: /dev/(loop[0-9]+)p1\n"))) << mounted.out;
  const std::string disk = device[1];
  EXPECT_EQ(mounted.out, "Mounted " + image + ".\ndevice: /dev/" + disk + "p1\nmount point: " + mountPoint() + "/\n");
  EXPECT_EQ(readText(mountPoint() + "/hello.txt"), "hello from the backup\n");

  const ClientResult listed = client({"list"});
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_EQ(listed.out, "first_tag: " + image + "\ndevice: /dev/" + disk + "p1\nmount point: " + mountPoint() + "/\n");

  const ClientResult second = client({"mount", image});
  EXPECT_EQ(second.exitCode, 3);
  EXPECT_EQ(second.err, "Cannot mount " + image + ": a disk is mounted already (of " + image +
                            "); unmount it first with 'vkbvd umount'.\n");
  EXPECT_EQ(readText(mountPoint() + "/hello.txt"), "hello from the backup\n") << "the mounted disk is untouched";

  const ClientResult unmounted = client({"umount"});
  EXPECT_EQ(unmounted.exitCode, 0) << unmounted.err << logs();
  EXPECT_EQ(unmounted.out, "Unmounted " + image + ": /dev/" + disk + "p1 (mounted at " + mountPoint() +
                               ") and its disk /dev/" + disk + " are gone.\n");
  EXPECT_FALSE(fs::exists("/sys/class/block/" + disk + "p1"));
  EXPECT_FALSE(anythingMountedInVolumes());
  EXPECT_EQ(client({"list"}).out, "nothing mounted\n");
}

// A compressed image in parts, as a backup written through gzip and split
// is: mounted with its progress shown from the first part's start to the
// last one's end, and its files read back.
TEST_F(ClientIntegrationTest, AGzipImageInPartsIsMountedWithItsProgressAndReadBack) {
  const std::string prefix = (dir_.path() / "volume.img.gz.").string();
  ASSERT_TRUE(run("gzip -c " + image_.string() + " | split -b 20000 -d -a 3 --numeric-suffixes=1 - " + prefix));
  size_t parts = 0;
  while (fs::exists(prefix + std::string(parts < 9 ? "00" : "0") + std::to_string(parts + 1))) ++parts;
  ASSERT_GE(parts, 2u);

  const ClientResult mounted = client({"mount", prefix + "001"});
  ASSERT_EQ(mounted.exitCode, 0) << mounted.out << mounted.err << logs();
  const std::string shown = mounted.out + mounted.err;
  EXPECT_NE(shown.find("Indexing the image, part 1: 0%\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("Indexing the image, part " + std::to_string(parts) + ": 100%\n"), std::string::npos) << shown;
  EXPECT_EQ(readText(mountPoint() + "/hello.txt"), "hello from the backup\n");
  EXPECT_EQ(client({"umount"}).exitCode, 0);
}

// A compressed image mounted by a user other than root: its index is kept
// in the store as that user's own file, and the next mount uses it (a new
// pass would have replaced it with another file).
TEST_F(ClientIntegrationTest, AnotherUsersCompressedImageKeepsItsIndexAsThatUsersOwn) {
  fs::permissions(dir_.path(), fs::perms::others_read | fs::perms::others_exec | fs::perms::group_read |
                                   fs::perms::group_exec, fs::perm_options::add);
  const std::string prefix = (dir_.path() / "volume.img.gz.").string();
  ASSERT_TRUE(run("gzip -c " + image_.string() + " | split -b 20000 - " + prefix));
  const passwd* user = getpwnam(kOtherUser);
  ASSERT_NE(user, nullptr);

  std::vector<ino_t> indexFiles;
  for (int mount = 0; mount < 2; ++mount) {
    SCOPED_TRACE(mount == 0 ? "first mount" : "second mount");
    const ClientResult mounted = clientAsOtherUser({"mount", prefix + "aa"});
    ASSERT_EQ(mounted.exitCode, 0) << mounted.out << mounted.err << logs();
    EXPECT_EQ(readText(mountPoint(user->pw_uid) + "/hello.txt"), "hello from the backup\n");
    EXPECT_EQ(client({"umount"}).exitCode, 0);

    std::vector<fs::path> stored;
    for (const auto& entry : fs::directory_iterator(indexStore_)) stored.push_back(entry.path());
    ASSERT_EQ(stored.size(), 1u);
    struct stat status {};
    ASSERT_EQ(stat(stored[0].c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, user->pw_uid);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_TRUE(stored[0].filename().string().ends_with("-" + std::to_string(user->pw_uid)));
    indexFiles.push_back(status.st_ino);
  }
  EXPECT_EQ(indexFiles[1], indexFiles[0]);
}

// A mounted volume is open to the user who mounted it and to root alone: it
// lies in that user's own directory of mode 0700, which nobody else enters.
// Nothing on it runs as a program: its programs are the image owner's.
TEST_F(ClientIntegrationTest, AVolumeIsOpenToTheUserWhoMountedItAndRootAlone) {
  fs::permissions(dir_.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(image_, fs::perms::others_read, fs::perm_options::add);
  const passwd* user = getpwnam(kOtherUser);
  ASSERT_NE(user, nullptr);
  const ClientResult mounted = clientAsOtherUser({"mount", image_.string()});
  ASSERT_EQ(mounted.exitCode, 0) << mounted.out << mounted.err << logs();
  const std::string point = mountPoint(user->pw_uid);
  EXPECT_NE(mounted.out.find("mount point: " + point + "/\n"), std::string::npos) << mounted.out;
  struct stat status {};
  ASSERT_EQ(stat((volumes_ / std::to_string(user->pw_uid)).c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, user->pw_uid);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  const std::string options = runOutput("findmnt -n -o OPTIONS --mountpoint " + point);
  EXPECT_NE(options.find("noexec"), std::string::npos) << options;
  EXPECT_NE(options.find("nosuid"), std::string::npos) << options;

  const std::string read = " cat " + point + "/hello.txt >/dev/null 2>&1";
  EXPECT_TRUE(run("setpriv --reuid=" + std::to_string(user->pw_uid) + " --regid=" + std::to_string(user->pw_gid) +
                  " --clear-groups" + read));
  EXPECT_FALSE(run("setpriv --reuid=65534 --regid=65534 --clear-groups" + read)) << "another user read the volume";
  EXPECT_EQ(readText(point + "/hello.txt"), "hello from the backup\n") << "root reads it";
}

// The service acts as the user who calls it: an image that user may not
// read is refused, with its sentence. What root mounts, the user sees listed
// with its device and mount point (the record is every user's to read), but
// not its image; and the user may not unmount it.
TEST_F(ClientIntegrationTest, AnotherUserIsRefusedAnImageItMayNotReadAndRootsMount) {
  fs::permissions(image_, fs::perms::owner_read | fs::perms::owner_write);  // root's alone
  const ClientResult refused = clientAsOtherUser({"mount", image_.string()});
  EXPECT_EQ(refused.exitCode, 4) << refused.out << refused.err << logs();
  EXPECT_EQ(refused.err, "Cannot mount " + image_.string() +
                             ": the image file cannot be read with the caller's rights.\n");
  EXPECT_FALSE(anythingOfTheDiskLeft());

  ASSERT_EQ(client({"mount", image_.string()}).exitCode, 0) << logs();
  const ClientResult listed = clientAsOtherUser({"list"});
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_TRUE(std::regex_match(listed.out, std::regex("first_tag: \\(another user's image\\)"
                                                      "\ndevice: /dev/loop[0-9]+p1\nmount point: " +
                                                      mountPoint() + "/\n")))
      << listed.out << listed.err;
  const ClientResult unmounted = clientAsOtherUser({"umount"});
  EXPECT_EQ(unmounted.exitCode, 4) << unmounted.out << unmounted.err;
  EXPECT_EQ(unmounted.err,
            "Nothing was unmounted: the mounted disk is another user's; only that user or root may unmount it.\n");
  EXPECT_NE(readText(serviceLog()).find("CVirtualDisk::umount refused: the mount is another user's\n"),
            std::string::npos);
  const ClientResult stillListed = client({"list"});
  EXPECT_EQ(stillListed.out.rfind("first_tag: " + image_.string() + "\n", 0), 0u) << stillListed.out;
  EXPECT_EQ(readText(fs::path(mountPoint()) / "hello.txt"), "hello from the backup\n");
}

// A process still uses the volume: vkvd detaches it lazily, and the client
// says so instead of reporting success; once the process lets go, it is gone.
TEST_F(ClientIntegrationTest, UnmountOfVolumeInUseSaysItWasDetachedLazily) {
  ASSERT_EQ(client({"mount", image_.string()}).exitCode, 0) << logs();
  int held = open((mountPoint() + "/hello.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);

  const ClientResult unmounted = client({"umount"});
  close(held);
  EXPECT_EQ(unmounted.exitCode, 6) << unmounted.out << unmounted.err << logs();
  EXPECT_NE(unmounted.err.find("was detached lazily and is still in use by a process"), std::string::npos)
      << unmounted.err;
  EXPECT_FALSE(anythingMountedInVolumes());
  const ClientResult after = client({"umount"});
  EXPECT_EQ(after.exitCode, 0) << after.out << after.err;
  EXPECT_EQ(client({"list"}).out, "nothing mounted\n");
}

// Interrupted at some point of its mount, the client either reported the
// mount (exit 0, and it is there) or leaves nothing mounted (exit 130):
// never a mount the user believes failed.
TEST_F(ClientIntegrationTest, InterruptedMountLeavesNothingItDoesNotReport) {
  const std::unique_ptr<Child> mounting = startClient({"mount", image_.string()});
  for (auto waited = 0ms; mounting->running() && waited < kStartWait; waited += kPollInterval) {
    if (readText(serviceLog()).find("CVirtualDisk::mount =") != std::string::npos) break;
    std::this_thread::sleep_for(kPollInterval);
  }
  mounting->signal(SIGINT);
  const ClientResult interrupted = finish(*mounting);
  const ClientResult listed = client({"list"});
  if (interrupted.exitCode == 0) {
    EXPECT_NE(listed.out.find("first_tag: " + image_.string()), std::string::npos) << listed.out;
    EXPECT_EQ(client({"umount"}).exitCode, 0);
  } else {
    EXPECT_EQ(interrupted.exitCode, 130) << interrupted.out << interrupted.err << logs();
    EXPECT_NE(interrupted.err.find("Interrupted"), std::string::npos) << interrupted.err;
    EXPECT_EQ(listed.out, "nothing mounted\n") << interrupted.err;
    EXPECT_FALSE(anythingMountedInVolumes());
  }
}

// An unmount while a mount indexes a large image cancels the mount: the
// mount's client is told it was cancelled, the unmount's what it did, and
// nothing of the mount is left.
TEST_F(ClientIntegrationTest, AnUnmountDuringAnIndexPassCancelsTheMountAndBothSaySo) {
  const fs::path image = makeLongIndexedImage();
  const std::unique_ptr<Child> mounting = startClient({"mount", image.string()}, "mount");
  ASSERT_TRUE(waitForServiceLog("CVirtualDisk::mount start openImage", *mounting)) << logs();
  const ClientResult unmounted = client({"umount"});
  EXPECT_EQ(unmounted.exitCode, 0) << unmounted.err << logs();
  EXPECT_EQ(unmounted.out, "Cancelled the mount in progress; nothing is mounted.\n") << unmounted.err;
  const ClientResult mounted = finish(*mounting, "mount");
  EXPECT_EQ(mounted.exitCode, 8) << mounted.out << mounted.err;
  EXPECT_NE(mounted.err.find("the mount was cancelled"), std::string::npos) << mounted.err;
  EXPECT_NE(readText(serviceLog()).find("CVirtualDisk::mount cancelled\n"), std::string::npos) << logs();
  expectNothingOfTheMount();
}

// The client believes the service's signals only: progress that another
// connection sends it, on its object's path and with the service's member,
// is not shown.
TEST_F(ClientIntegrationTest, ProgressSentByAnotherConnectionIsNotShown) {
  const fs::path image = makeLongIndexedImage();
  const std::unique_ptr<Child> mounting = startClient({"mount", image.string()}, "mount");
  ASSERT_TRUE(waitForServiceLog("CVirtualDisk::mount start openImage", *mounting)) << logs();
  const std::string busctl = "busctl --address=" + bus_->address();
  std::smatch name;
  const std::string connections = runOutput(busctl + " list --unique --no-legend");
  ASSERT_TRUE(std::regex_search(connections, name, std::regex("(:1\\.\\d+) +" + std::to_string(mounting->pid()) + " ")))
      << connections;
  for (int object = 1; object <= 8; ++object) {
    EXPECT_TRUE(run(busctl + " emit --destination=" + name[1].str() + " /com/velkara/MountService/VirtualDisk/" +
                    std::to_string(object) +
                    " com.velkara.MountService.ConnectionPoint OnImageIndexProgress iddv 666 100 50 s ''"));
  }
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(client({"umount"}).exitCode, 0) << logs();
  const ClientResult mounted = finish(*mounting, "mount");
  EXPECT_EQ(mounted.exitCode, 8) << mounted.out << mounted.err;
  EXPECT_NE(mounted.err.find("part 1"), std::string::npos) << mounted.err;
  EXPECT_EQ(mounted.err.find("part 666"), std::string::npos) << mounted.err;
}

// Ctrl-C during the index pass cancels the mount at the service; nothing is
// left and nothing was stored for the image.
TEST_F(ClientIntegrationTest, CtrlCDuringAnIndexPassCancelsTheMount) {
  const fs::path image = makeLongIndexedImage();
  const std::unique_ptr<Child> mounting = startClient({"mount", image.string()}, "mount");
  ASSERT_TRUE(waitForServiceLog("CVirtualDisk::mount start openImage", *mounting)) << logs();
  mounting->signal(SIGINT);
  const ClientResult interrupted = finish(*mounting, "mount");
  EXPECT_EQ(interrupted.exitCode, 130) << interrupted.out << interrupted.err << logs();
  EXPECT_NE(interrupted.err.find("Interrupted; the mount was cancelled and nothing is mounted."), std::string::npos)
      << interrupted.err;
  EXPECT_NE(readText(serviceLog()).find("CVirtualDisk::cancelMount the mount in progress is cancelled\n"),
            std::string::npos)
      << logs();
  expectNothingOfTheMount();
  EXPECT_TRUE(fs::is_empty(indexStore_)) << "a cancelled index is not stored";
}

// The service's stop during the index pass cancels the mount first, then
// stops in its order: no disk is asked for, and the mount's client is told.
TEST_F(ClientIntegrationTest, StoppingTheServiceDuringAnIndexPassCancelsTheMountFirst) {
  const fs::path image = makeLongIndexedImage();
  const std::unique_ptr<Child> mounting = startClient({"mount", image.string()}, "mount");
  ASSERT_TRUE(waitForServiceLog("CVirtualDisk::mount start openImage", *mounting)) << logs();
  EXPECT_EQ(service_->stop(), 0) << logs();
  service_.reset();
  const ClientResult mounted = finish(*mounting, "mount");
  EXPECT_EQ(mounted.exitCode, 8) << mounted.out << mounted.err << logs();
  const std::string log = readText(serviceLog());
  const size_t cancelled = log.find("CVirtualDisk::mount cancelled\n");
  const size_t stopped = log.find("ServiceMain: OnStop OK\n");
  ASSERT_NE(cancelled, std::string::npos) << logs();
  ASSERT_NE(stopped, std::string::npos) << logs();
  EXPECT_LT(cancelled, stopped);
  EXPECT_EQ(log.find("CreateDevWorker::createDev"), std::string::npos) << logs();
  EXPECT_FALSE(anythingOfTheDiskLeft());
}

// A client that leaves the bus during its mount takes its object with it,
// and the object its mount: the index pass stops, nothing is mounted or
// stored, and the service goes on serving.
TEST_F(ClientIntegrationTest, AClientThatLeavesDuringItsMountHasItCancelled) {
  const fs::path image = makeLongIndexedImage();
  const std::unique_ptr<Child> mounting = startClient({"mount", image.string()}, "mount");
  ASSERT_TRUE(waitForServiceLog("CVirtualDisk::mount start openImage", *mounting)) << logs();
  mounting->signal(SIGKILL);
  finish(*mounting, "mount");
  bool cancelled = false;
  for (auto waited = 0ms; !cancelled && waited < kClientWait; waited += kPollInterval) {
    cancelled = readText(serviceLog()).find("CVirtualDisk::mount cancelled\n") != std::string::npos;
    if (!cancelled) std::this_thread::sleep_for(kPollInterval);
  }
  EXPECT_TRUE(cancelled) << logs();
  EXPECT_NE(readText(serviceLog()).find("CVirtualDisk::cancelOwnMount the object's client is gone"), std::string::npos)
      << logs();
  EXPECT_EQ(kill(service_->pid(), 0), 0) << "the service runs" << logs();
  expectNothingOfTheMount();
  EXPECT_TRUE(fs::is_empty(indexStore_)) << "a cancelled index is not stored";
}

// The service dies under a process that reads the mounted volume: the
// reads fail within a bound instead of hanging, and a new service unmounts
// what the old one left.
TEST_F(ClientIntegrationTest, AKilledServiceFailsTheVolumesReadsAndARestartedOneUnmountsIt) {
  ASSERT_EQ(client({"mount", image_.string()}).exitCode, 0) << logs();
  const fs::path data = fs::path(mountPoint()) / "data.bin";
  std::ofstream(data, std::ios::binary) << std::string(8 << 20, 'd');
  ASSERT_TRUE(run("sync -f " + data.string()));
  DirectReader reader(data);
  ASSERT_TRUE(reader.firstPassDone(kStartWait)) << logs();

  ASSERT_EQ(kill(service_->pid(), SIGKILL), 0);
  EXPECT_EQ(reader.wait(kReadFailureBound), EIO) << "the reader neither failed nor ended\n" << logs();
  EXPECT_EQ(threadsInUninterruptibleSleep(vkvd_->pid()), std::vector<std::string>{});

  service_.reset();  // reaps the killed one
  service_ = std::make_unique<ServiceProcess>(ServiceProcess::Setup{
      bus_->address(), runtime_, dir_.path() / "state", dir_.path() / "restarted.log", serviceErrors()});
  ASSERT_TRUE(waitForService()) << logs();
  const ClientResult unmounted = client({"umount"});
  EXPECT_EQ(unmounted.exitCode, 0) << unmounted.out << unmounted.err << logs();
  EXPECT_FALSE(anythingMountedInVolumes());
  EXPECT_FALSE(anythingOfTheDiskLeft());
  EXPECT_EQ(client({"list"}).out, "nothing mounted\n");
}

// vkvd stopped while the volume is mounted takes its disk with it, and the
// service lets go of the image once the disk is gone.
TEST_F(ClientIntegrationTest, VkvdStoppedWhileMountedLeavesNothingBehind) {
  ASSERT_EQ(client({"mount", image_.string()}).exitCode, 0) << logs();
  EXPECT_EQ(vkvd_->stop(), 0) << logs();
  EXPECT_FALSE(anythingMountedInVolumes());
  EXPECT_FALSE(anythingOfTheDiskLeft());
  bool closed = false;
  for (auto waited = 0ms; !closed && waited < kStartWait; waited += 100ms) {
    closed = readText(serviceLog()).find("TimerTask::processIsDevExistsTask driver is not responding\n"
                                         "VirtualImageManager::closeImage \n") != std::string::npos;
    if (!closed) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(closed) << logs();
}

}  // namespace
