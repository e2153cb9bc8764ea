// The one check of the service's and vkvd's runtime and state directories,
// against real directories: modes, owners, symbolic links, and the
// directories above. "Another user" is a user id that exists nowhere.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/TempDir.h"
#include "sys/posix/PrivateDirectory.h"

namespace fs = std::filesystem;
using sys::posix::PrivateDirectory;
using Readers = PrivateDirectory::Readers;
using Missing = PrivateDirectory::Missing;

namespace {

constexpr uid_t kOtherUid = 12345;

fs::path makeDirectory(const fs::path& path, mode_t mode) {
  fs::create_directory(path);
  chmod(path.c_str(), mode);
  return path;
}

fs::path giveToOtherUser(const fs::path& path) {
  EXPECT_EQ(chown(path.c_str(), kOtherUid, kOtherUid), 0) << path;
  return path;
}

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

struct Case {
  const char* name;
  bool needsRoot;
  // Prepares what the check is given in `base`; the path it is given.
  fs::path (*prepare)(const fs::path& base);
  Readers readers;
  Missing missing;
  int error;            // 0: accepted
  const char* outcome;  // accepted: its path below `base`; refused: in the refusal
};

const Case kCases[] = {
    {"ours, closed to others", false, [](const fs::path& base) { return makeDirectory(base / "run", 0700); },
     Readers::OwnerOnly, Missing::Fail, 0, "run"},
    {"ours, readable by all, where everyone may read", false,
     [](const fs::path& base) { return makeDirectory(base / "run", 0755); }, Readers::Everyone, Missing::Fail, 0,
     "run"},
    {"reached through a symbolic link above it", false,
     [](const fs::path& base) {
       makeDirectory(makeDirectory(base / "real", 0755) / "run", 0700);
       fs::create_directory_symlink(base / "real", base / "link");
       return base / "link" / "run";
     },
     Readers::OwnerOnly, Missing::Fail, 0, "real/run"},
    {"in a sticky directory every user may change", false,
     [](const fs::path& base) { return makeDirectory(makeDirectory(base / "tmp", 01777) / "run", 0700); },
     Readers::OwnerOnly, Missing::Fail, 0, "tmp/run"},
    {"missing, not to be made", false, [](const fs::path& base) { return base / "run"; }, Readers::OwnerOnly,
     Missing::Fail, ENOENT, "cannot open"},
    {"open to the group, where only the owner may read", false,
     [](const fs::path& base) { return makeDirectory(base / "run", 0750); }, Readers::OwnerOnly, Missing::Make, EACCES,
     "its mode 0750 lets other users in"},
    {"writable by the group, where everyone may read", false,
     [](const fs::path& base) { return makeDirectory(base / "run", 0775); }, Readers::Everyone, Missing::Make, EACCES,
     "its mode 0775 lets other users change it"},
    {"another user's", true, [](const fs::path& base) { return giveToOtherUser(makeDirectory(base / "run", 0700)); },
     Readers::Everyone, Missing::Make, EACCES, "it belongs to user 12345"},
    {"a symbolic link to a directory of ours", false,
     [](const fs::path& base) {
       fs::create_directory_symlink(makeDirectory(base / "real", 0700), base / "run");
       return base / "run";
     },
     Readers::OwnerOnly, Missing::Make, EACCES, "it is a symbolic link"},
    {"a file", false,
     [](const fs::path& base) {
       std::ofstream(base / "run") << "x";
       return base / "run";
     },
     Readers::OwnerOnly, Missing::Make, ENOTDIR, "cannot open it"},
    {"in a directory every user may change", false,
     [](const fs::path& base) { return makeDirectory(makeDirectory(base / "open", 0777) / "run", 0700); },
     Readers::OwnerOnly, Missing::Make, EACCES, "/open above it lets other users change it (mode 0777)"},
    {"in a directory of another user", true,
     [](const fs::path& base) {
       const fs::path run = makeDirectory(makeDirectory(base / "theirs", 0755) / "run", 0700);
       giveToOtherUser(base / "theirs");
       return run;
     },
     Readers::Everyone, Missing::Make, EACCES, "/theirs above it belongs to user 12345"},
};

}  // namespace

TEST(PrivateDirectory, AcceptsOnlyADirectoryNoOtherUserCanReachOrChange) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && geteuid() != 0) continue;
    const TempDir dir;
    const fs::path base = fs::canonical(dir.path());
    const fs::path given = c.prepare(base);
    const PrivateDirectory directory(given.string(), c.readers, c.missing);
    EXPECT_EQ(directory.error(), c.error) << directory.refusal();
    if (c.error == 0) {
      ASSERT_TRUE(directory.valid());
      EXPECT_EQ(directory.path(), (base / c.outcome).string());
      struct stat opened {};
      struct stat named {};
      ASSERT_EQ(fstat(directory.fd(), &opened), 0);
      ASSERT_EQ(stat(given.c_str(), &named), 0);
      EXPECT_EQ(opened.st_ino, named.st_ino) << "the descriptor is the directory's";
    } else {
      EXPECT_FALSE(directory.valid());
      EXPECT_NE(directory.refusal().find(c.outcome), std::string::npos) << directory.refusal();
    }
  }
}

TEST(PrivateDirectory, AMissingOneIsMadeClosedWithTheDirectoriesAboveIt) {
  const TempDir dir;
  const fs::path base = fs::canonical(dir.path());
  const PrivateDirectory directory((base / "a" / "b" / "run").string(), Readers::Everyone, Missing::Make);
  ASSERT_TRUE(directory.valid()) << directory.refusal();
  EXPECT_EQ(directory.path(), (base / "a" / "b" / "run").string());
  for (const fs::path& made : {base / "a", base / "a" / "b", base / "a" / "b" / "run"}) {
    EXPECT_EQ(modeOf(made), 0700u) << made;
  }
}

TEST(PrivateDirectory, APathWithoutANameOfItsOwnIsRefused) {
  for (const char* path : {"/", "/tmp/..", "."}) {
    const PrivateDirectory directory(path, Readers::Everyone, Missing::Fail);
    EXPECT_FALSE(directory.valid()) << path;
    EXPECT_EQ(directory.error(), EINVAL) << path;
  }
}
