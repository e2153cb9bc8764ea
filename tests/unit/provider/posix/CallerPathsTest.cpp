#include <fcntl.h>
#include <linux/openat2.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "ProviderTestSupport.h"
#include "provider/ImageFile.h"

using namespace vsimgpvd;
namespace fs = std::filesystem;

namespace {

// A user and group that exist nowhere: the client of a mount.
constexpr long kClient = 12345;

// Owns a descriptor the test opened.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Runs `body` on a thread of its own acting as the client: file-system user
// and group kClient, no supplementary groups. The per-thread system calls
// leave every other thread as it was.
void runAsClient(const std::function<void()>& body) {
  std::thread([&body] {
    syscall(SYS_setgroups, 0, nullptr);
    syscall(SYS_setfsgid, kClient);
    syscall(SYS_setfsuid, kClient);
    // Called with -1, setfsuid changes nothing and tells the current one.
    if (syscall(SYS_setfsuid, -1) != kClient || syscall(SYS_setfsgid, -1) != kClient) {
      ADD_FAILURE() << "the thread could not act as the client";
      return;
    }
    body();
  }).join();
}

void writeFile(const fs::path& path, const std::string& bytes) {
  Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  ASSERT_GE(file.get(), 0) << path;
  ASSERT_EQ(write(file.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void giveToClient(const fs::path& path) { ASSERT_EQ(lchown(path.c_str(), kClient, kClient), 0) << path; }

// The descriptors this process holds open.
uint64_t openDescriptorCount() {
  uint64_t count = 0;
  for (fs::directory_iterator entry("/proc/self/fd"); entry != fs::directory_iterator(); ++entry) ++count;
  // Less the listing's own.
  return count - 1;
}

bool kernelHasOpenat2() {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  const long fd = syscall(SYS_openat2, AT_FDCWD, "/", &how, sizeof how);
  if (fd >= 0) close(static_cast<int>(fd));
  return fd >= 0 || errno != ENOSYS;
}

std::u16string utf16(const std::string& text) { return fs::path(text).u16string(); }

}  // namespace

TEST_F(ProviderTest, TempFileHasNoNameOnceOpened) {
  const std::u16string imagePath = makeFile(u"disk.img", patternBytes(1 << 16, 1));
  const std::u16string temp = dir_.file(u"overlay.tmp");
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, imagePath, temp.c_str()), kOpened);
  EXPECT_FALSE(fs::exists(fs::symlink_status(fs::path(temp))));

  const std::string bytes = patternBytes(5000, 2);
  ASSERT_EQ(image->write(bytes.data(), 40000, 5000), 5000u);
  EXPECT_EQ(readBytes(*image, 40000, 5000), bytes);
}

// The client swaps a directory of its temp file path for a link to a
// directory of root's between the mount and the unmount; the unmount, done as
// root, must not remove root's file of the same name.
TEST_F(ProviderTest, TempDirectorySwappedForALinkLeavesTheLinkedFileAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as another user and own a directory it cannot enter";
  fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
  const fs::path secret = dir_.path() / "secret";
  fs::create_directory(secret);
  fs::permissions(secret, fs::perms::owner_all);
  writeFile(secret / "overlay.tmp", "root's own file");
  const fs::path client = dir_.path() / "client";
  fs::create_directories(client / "work");
  giveToClient(client);
  giveToClient(client / "work");
  writeFile(client / "disk.img", patternBytes(4096, 1));

  ImagePtr image = createImage();
  runAsClient([&] {
    EXPECT_EQ(
        initImage(*image, (client / "disk.img").u16string(), (client / "work" / "overlay.tmp").u16string().c_str()),
        kOpened);
  });
  fs::rename(client / "work", client / "old");
  fs::create_directory_symlink(secret, client / "work");
  image.reset();

  EXPECT_EQ(readFileBytes(secret / "overlay.tmp"), "root's own file");
}

namespace {

struct LogLinkCase {
  std::string name;
  // What root's file holds; empty when there is none.
  std::string content;
};

std::ostream& operator<<(std::ostream& out, const LogLinkCase& c) { return out << c.name; }

class LogLinkTest : public ProviderTest, public ::testing::WithParamInterface<LogLinkCase> {};

}  // namespace

// The client names as the provider's log its own link to a file of root's,
// there or not yet; the provider, opening the log as the service, must
// neither add lines to that file nor create it.
TEST_P(LogLinkTest, ALinkAsTheLogIsNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to own a file that a link of another user points to";
  const LogLinkCase& c = GetParam();
  const fs::path target = dir_.path() / "system.conf";
  if (!c.content.empty()) writeFile(target, c.content);
  const fs::path log = dir_.path() / "provider.log";
  fs::create_symlink(target, log);
  giveToClient(log);

  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, makeFile(u"disk.img", patternBytes(512, 1)), nullptr, log.u16string().c_str()), kOpened);
  image.reset();

  EXPECT_EQ(fs::exists(target), !c.content.empty());
  EXPECT_EQ(readFileBytes(target), c.content);
  EXPECT_TRUE(fs::is_symlink(log));
}

INSTANTIATE_TEST_SUITE_P(Targets, LogLinkTest,
                         ::testing::Values(LogLinkCase{"ExistingFile", "root:settings\n"}, LogLinkCase{"NoFile", ""}),
                         [](const ::testing::TestParamInfo<LogLinkCase>& param) { return param.param.name; });

namespace {

enum class TerminalAs { Image, Log };

std::ostream& operator<<(std::ostream& out, TerminalAs as) {
  return out << (as == TerminalAs::Image ? "Image" : "Log");
}

class TerminalTest : public ProviderTest, public ::testing::WithParamInterface<TerminalAs> {};

// In a new session without a controlling terminal, gives the provider a
// terminal's name as the image or the log, and tells the init code, whether
// the terminal became the process's controlling one, and whether anything
// reached it.
std::string initWithTerminal(TerminalAs as, const std::u16string& image) {
  if (setsid() < 0) return "setsid failed";
  // Closing a controlling terminal's master hangs up its session: the report must come out all the same.
  signal(SIGHUP, SIG_IGN);
  const Descriptor master(posix_openpt(O_RDWR | O_NOCTTY));
  if (master.get() < 0 || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) return "no terminal";
  if (fcntl(master.get(), F_SETFL, O_NONBLOCK) != 0) return "fcntl failed";
  const std::string name = ptsname(master.get());
  // Held open, so that what reaches the terminal can be read at the master.
  const Descriptor held(open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (held.get() < 0) return "terminal cannot be opened";

  ImagePtr provider = createImage();
  const std::u16string terminal = utf16(name);
  const int32_t code = as == TerminalAs::Image
                           ? provider->init(terminal.c_str(), nullptr, false, nullptr, nullptr, nullptr)
                           : provider->init(image.c_str(), nullptr, false, nullptr, terminal.c_str(), nullptr);
  const Descriptor controlling(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  const bool none = controlling.get() < 0 && errno == ENXIO;
  char byte = 0;
  const bool written = read(master.get(), &byte, 1) == 1;
  return "init=" + std::to_string(code) + " controlling_terminal=" + (none ? "no" : "yes") +
         " written=" + (written ? "yes" : "no");
}

}  // namespace

TEST_P(TerminalTest, ATerminalIsRefusedAndNeverBecomesTheControllingOne) {
  const std::u16string image = makeFile(u"disk.img", patternBytes(512, 1));
  const std::string expected = GetParam() == TerminalAs::Image ? "init=4" : "init=0";
  EXPECT_EXIT(
      {
        std::cerr << initWithTerminal(GetParam(), image);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^" + expected + " controlling_terminal=no written=no$");
}

INSTANTIATE_TEST_SUITE_P(Uses, TerminalTest, ::testing::Values(TerminalAs::Image, TerminalAs::Log),
                         ::testing::PrintToStringParamName());

namespace {

enum class Argument { Image, Log, TempFile };

struct MagicLinkCase {
  std::string name;
  Argument argument;
  // The path given, from the test directory, a descriptor of it and one of the image.
  std::function<std::string(const fs::path& directory, int directoryFd, int imageFd)> path;
  int32_t expected;
};

std::ostream& operator<<(std::ostream& out, const MagicLinkCase& c) { return out << c.name; }

std::string throughDescriptor(int fd, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(fd) + "/" + name;
}

const std::vector<MagicLinkCase> kMagicLinkCases = {
    {"ImageInADirectoryDescriptor", Argument::Image,
     [](const fs::path&, int directoryFd, int) { return throughDescriptor(directoryFd, "disk.img"); },
     kImageUnreadable},
    {"ImageAsItsDescriptor", Argument::Image,
     [](const fs::path&, int, int imageFd) { return "/proc/self/fd/" + std::to_string(imageFd); }, kImageUnreadable},
    {"ImageUnderTheRootLink", Argument::Image,
     [](const fs::path& directory, int, int) { return "/proc/self/root" + (directory / "disk.img").string(); },
     kImageUnreadable},
    {"ImageUnderTheWorkingDirectoryLink", Argument::Image,
     [](const fs::path& directory, int, int) {
       return "/proc/" + std::to_string(getpid()) + "/cwd/" + fs::relative(directory / "disk.img").string();
     },
     kImageUnreadable},
    {"LogInADirectoryDescriptor", Argument::Log,
     [](const fs::path&, int directoryFd, int) { return throughDescriptor(directoryFd, "provider.log"); }, kOpened},
    {"TempFileInADirectoryDescriptor", Argument::TempFile,
     [](const fs::path&, int directoryFd, int) { return throughDescriptor(directoryFd, "overlay.tmp"); },
     kTempFileUnusable},
};

class MagicLinkTest : public ProviderTest, public ::testing::WithParamInterface<MagicLinkCase> {};

}  // namespace

// Such a link leads wherever the process that holds it was, past every
// directory's permissions on the way: no path a client gives may go through one.
TEST_P(MagicLinkTest, APathThroughAMagicLinkIsRefused) {
  if (!kernelHasOpenat2()) GTEST_SKIP() << "the kernel cannot refuse magic links (no openat2)";
  const MagicLinkCase& c = GetParam();
  const std::u16string imagePath = makeFile(u"disk.img", patternBytes(512, 1));
  const Descriptor directory(open(dir_.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const Descriptor imageFile(open((dir_.path() / "disk.img").c_str(), O_RDONLY | O_CLOEXEC));
  const std::u16string given = utf16(c.path(dir_.path(), directory.get(), imageFile.get()));

  ImagePtr image = createImage();
  const std::u16string& imageArgument = c.argument == Argument::Image ? given : imagePath;
  const char16_t* log = c.argument == Argument::Log ? given.c_str() : nullptr;
  const char16_t* temp = c.argument == Argument::TempFile ? given.c_str() : nullptr;
  EXPECT_EQ(initImage(*image, imageArgument, temp, log), c.expected) << fs::path(given);
  EXPECT_FALSE(fs::exists(dir_.path() / "provider.log"));
}

INSTANTIATE_TEST_SUITE_P(Paths, MagicLinkTest, ::testing::ValuesIn(kMagicLinkCases),
                         [](const ::testing::TestParamInfo<MagicLinkCase>& param) { return param.param.name; });

namespace {

struct PartSetCase {
  std::string name;
  uint32_t parts;
  int32_t expected;
};

std::ostream& operator<<(std::ostream& out, const PartSetCase& c) { return out << c.name; }

class PartSetLimitTest : public ProviderTest, public ::testing::WithParamInterface<PartSetCase> {};

// Under a soft limit that leaves the reserve and room for `room` more files,
// opens the set and releases it; tells the init code and how many
// descriptors were left open.
std::string initUnderLimit(const std::u16string& first, uint32_t room) {
  const uint64_t before = openDescriptorCount();
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return "getrlimit failed";
  limit.rlim_cur = before + kReservedDescriptors + room;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return "setrlimit failed";
  int32_t code = 0;
  {
    ImagePtr image = createImage();
    code = image->init(first.c_str(), nullptr, false, nullptr, nullptr, nullptr);
  }
  return "init=" + std::to_string(code) + " left_open=" + std::to_string(openDescriptorCount() - before);
}

}  // namespace

TEST_P(PartSetLimitTest, ASetIsOpenedOnlyWhenTheProcessCanHoldItOpen) {
  constexpr uint32_t kRoom = 40;
  const PartSetCase& c = GetParam();
  std::u16string first;
  for (uint32_t number = 1; number <= c.parts; ++number) {
    char name[16];
    std::snprintf(name, sizeof name, "d.%03u", number);
    const std::u16string path = makeFile(utf16(name), patternBytes(512, number));
    if (number == 1) first = path;
  }
  EXPECT_EXIT(
      {
        std::cerr << initUnderLimit(first, kRoom);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^init=" + std::to_string(c.expected) + " left_open=0$");
}

INSTANTIATE_TEST_SUITE_P(Sets, PartSetLimitTest,
                         ::testing::Values(PartSetCase{"MorePartsThanRoom", 80, kImageTooLarge},
                                           PartSetCase{"FewerPartsThanRoom", 30, kOpened}),
                         [](const ::testing::TestParamInfo<PartSetCase>& param) { return param.param.name; });
