// vkbvd, the command-line client, against the real system as root: a private
// system bus, vkvd mounting volumes in a directory of the test's, the mount
// service, and the client's commands run as a user runs them, checked by
// what they print, their exit codes and what is left on the machine.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
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

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

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
    makeImage();
    bus_ = std::make_unique<PrivateBus>(dir_.path());
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

  // Starts vkbvd with `arguments`; its output goes to files of the test.
  std::unique_ptr<Child> startClient(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{VKBVD_PROGRAM};
    command.insert(command.end(), arguments.begin(), arguments.end());
    fs::remove(dir_.path() / "client.out");
    fs::remove(dir_.path() / "client.err");
    return std::make_unique<Child>(command, dir_.path() / "client.out", dir_.path() / "client.err");
  }
  ClientResult finish(Child& client) {
    ClientResult result;
    result.exitCode = client.wait(kClientWait);
    result.out = readText(dir_.path() / "client.out");
    result.err = readText(dir_.path() / "client.err");
    return result;
  }
  ClientResult client(const std::vector<std::string>& arguments) { return finish(*startClient(arguments)); }

  std::string mountPoint() const { return (volumes_ / "BACKUP").string(); }
  bool anythingMountedInVolumes() const {
    return readText("/proc/self/mountinfo").find(volumes_.string() + "/") != std::string::npos;
  }

  TempDir dir_;
  fs::path runtime_;
  fs::path volumes_;
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

}  // namespace
