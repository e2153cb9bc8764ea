#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "common/WideString.h"
#include "common/WinError.h"
#include "support/TempDir.h"
#include "sys/posix/PosixRegistry.h"
#include "volume/posix/RegStateDir.h"

namespace {

namespace fs = std::filesystem;
using sys::Registry;
using Value = sys::posix::PosixRegistry::Value;

constexpr Registry::Key kRoot = Registry::HKEY_LOCAL_MACHINE;
constexpr uint32_t kAll = Registry::KEY_QUERY_VALUE | Registry::KEY_WRITE;
constexpr uid_t kOtherUid = 12345;

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

class RegPosixStoreTest : public ::testing::Test {
 protected:
  ~RegPosixStoreTest() override {
    for (Registry::Key key : open_) registry_.closeKey(key);
  }

  // Creates the key and keeps it open for the test.
  Registry::Key create(const std::u16string& path, uint32_t access = kAll) {
    Registry::Key key = 0;
    EXPECT_EQ(registry_.createKeyEx(kRoot, path, Registry::REG_OPTION_NON_VOLATILE, access, key), 0u)
        << wide::toUtf8(path);
    open_.push_back(key);
    return key;
  }
  uint32_t open(const std::u16string& path, Registry::Key& key, uint32_t access = kAll) {
    const uint32_t error = registry_.openKeyEx(kRoot, path, access, key);
    if (error == 0) open_.push_back(key);
    return error;
  }
  uint32_t set(Registry::Key key, const std::u16string& name, uint32_t type, const std::vector<uint8_t>& data) {
    return registry_.setValueEx(key, name, type, data.data(), static_cast<uint32_t>(data.size()));
  }
  Value query(Registry::Key key, const std::u16string& name) {
    Value value;
    EXPECT_EQ(registry_.queryValueEx(key, name, value), 0u) << wide::toUtf8(name);
    return value;
  }
  std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path keyDir(const std::string& path) { return state_.store() / "HKEY_LOCAL_MACHINE" / path; }

  RegStateDir state_;
  sys::posix::PosixRegistry registry_;
  std::vector<Registry::Key> open_;
};

}  // namespace

TEST_F(RegPosixStoreTest, ValuesComeBackWithTheirTypeAndExactBytes) {
  struct Case {
    std::u16string name;
    uint32_t type;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {u"Empty", 3, {}},
      {u"Odd", 3, {0x00, 0xFF, 0x7F}},
      {u"Dword", 4, {1, 0, 0, 0x80}},
      {u"String", Registry::REG_SZ, bytes(std::string("A\0B\0\0\0", 6))},
      {u"OddString", Registry::REG_SZ, {0x41, 0x00, 0x42}},
      {u"EmptyString", Registry::REG_SZ, {}},
      {u"List", Registry::REG_MULTI_SZ, bytes(std::string("E\0:\0\0\0F\0\0\0\0\0", 12))},
      {u"Unknown", 0x12345, {9, 8, 7, 6, 5}},
      {u"Large", 3, std::vector<uint8_t>(100000, 0x5A)},
  };
  const Registry::Key key = create(u"Software\\Types");
  for (const Case& c : cases) ASSERT_EQ(set(key, c.name, c.type, c.data), 0u) << wide::toUtf8(c.name);
  // A second handle, so nothing comes from what the first one wrote.
  Registry::Key reader = 0;
  ASSERT_EQ(open(u"Software\\Types", reader, Registry::KEY_QUERY_VALUE), 0u);
  for (const Case& c : cases) {
    const Value value = query(reader, c.name);
    EXPECT_EQ(value.type, c.type) << wide::toUtf8(c.name);
    EXPECT_EQ(value.data, c.data) << wide::toUtf8(c.name);
  }
  // A shorter value replaces a longer one whole.
  ASSERT_EQ(set(key, u"Large", 1, {0x41, 0}), 0u);
  EXPECT_EQ(query(reader, u"Large").data, (std::vector<uint8_t>{0x41, 0}));
  EXPECT_EQ(query(reader, u"Large").type, 1u);
}

TEST_F(RegPosixStoreTest, AValueFileIsTextAPersonOrAScriptCanRead) {
  const Registry::Key key = create(u"Software\\Velkara Software\\Velkara Backup");
  const std::u16string drives(u"E:\\\0C:\\new\nline\0\0", 17);
  ASSERT_EQ(registry_.setValueEx(key, u"MountedDrives", Registry::REG_MULTI_SZ, drives.data(), 34), 0u);
  ASSERT_EQ(registry_.setValueEx(key, u"MountedVolumeID", Registry::REG_SZ, u"\\\\?\\V\u00e9", 14), 0u);
  ASSERT_EQ(registry_.setValueEx(key, u"Raw", 0x4000, "\x01\xAB", 2), 0u);
  const fs::path dir = keyDir("Software/Velkara Software/Velkara Backup");
  EXPECT_EQ(readFileBytes(dir / "MountedDrives.value"),
            "type=REG_MULTI_SZ\nsize=34\n"
            "hex=45003a005c00000043003a005c006e00650077000a006c0069006e00650000000000\n"
            "string=E:\\\\\nstring=C:\\\\new\\nline\n");
  EXPECT_EQ(readFileBytes(dir / "MountedVolumeID.value"),
            "type=REG_SZ\nsize=14\nhex=5c005c003f005c005600e9000000\nstring=\\\\\\\\?\\\\V\xC3\xA9\n");
  EXPECT_EQ(readFileBytes(dir / "Raw.value"), "type=16384\nsize=2\nhex=01ab\n");
}

TEST_F(RegPosixStoreTest, NamesMatchWhateverTheirCaseAndKeepTheirFirstCase) {
  const Registry::Key key = create(u"Software\\Velkara Software");
  Registry::Key same = 0;
  ASSERT_EQ(open(u"SOFTWARE\\velkara SOFTWARE", same), 0u);
  create(u"software\\VELKARA software\\Velkara Backup");
  ASSERT_EQ(set(key, u"MountedDrives", 3, {1}), 0u);
  ASSERT_EQ(set(same, u"MOUNTEDdrives", 3, {2, 2}), 0u);
  EXPECT_EQ(query(key, u"mounteddrives").data, (std::vector<uint8_t>{2, 2}));
  EXPECT_EQ(entries(state_.store() / "HKEY_LOCAL_MACHINE"), (std::vector<std::string>{"Software"}));
  EXPECT_EQ(entries(keyDir("Software")), (std::vector<std::string>{"Velkara Software"}));
  EXPECT_EQ(entries(keyDir("Software/Velkara Software")),
            (std::vector<std::string>{"MountedDrives.value", "Velkara Backup"}));
}

TEST_F(RegPosixStoreTest, NamesAFileCannotHoldArePercentEncoded) {
  struct Case {
    std::u16string name;
    std::string file;
  };
  const Case values[] = {
      {u"a/b", "a%2Fb.value"},
      {u"100%", "100%25.value"},
      {u".hidden", "%2Ehidden.value"},
      {u"", "@.value"},
      {u"@home", "%40home.value"},
      {u"a.b@c", "a.b@c.value"},
      {u"new\nline", "new%0Aline.value"},
      {u"\u00c4rger", "\xC3\x84rger.value"},
      {std::u16string(u"zero\0in", 7), "zero%00in.value"},
  };
  const Registry::Key key = create(u"K");
  ASSERT_EQ(set(key, u"x", 3, bytes("x.value")), 0u);
  for (const Case& c : values) ASSERT_EQ(set(key, c.name, 3, bytes(c.file)), 0u) << c.file;
  for (const Case& c : values) {
    EXPECT_TRUE(fs::is_regular_file(keyDir("K") / c.file)) << c.file;
    EXPECT_EQ(query(key, c.name).data, bytes(c.file)) << c.file;
  }
  const Case keys[] = {{u"x.value", "x%2Evalue"}, {u"a/b", "a%2Fb"}, {u".k", "%2Ek"}, {u"x.values", "x.values"}};
  for (const Case& c : keys) {
    const Registry::Key sub = create(u"K\\" + c.name);
    EXPECT_TRUE(fs::is_directory(keyDir("K") / c.file)) << c.file;
    ASSERT_EQ(set(sub, u"x", 3, {7}), 0u);
    Registry::Key again = 0;
    ASSERT_EQ(open(u"K\\" + c.name, again), 0u) << c.file;
    EXPECT_EQ(query(again, u"x").data, (std::vector<uint8_t>{7}));
  }
  // A key named like a value's file stays apart from the value.
  EXPECT_EQ(query(key, u"x").data, bytes("x.value"));
}

TEST_F(RegPosixStoreTest, MissingKeysAndBadNamesGiveWin32Errors) {
  Registry::Key key = 0;
  EXPECT_EQ(open(u"Software", key), WinError::FileNotFound);  // not even the store yet
  EXPECT_FALSE(fs::exists(state_.store()));
  create(u"Software");
  EXPECT_EQ(open(u"Software\\Missing\\Deeper", key), WinError::FileNotFound);
  struct Case {
    std::u16string path;
    uint32_t error;
  };
  const Case cases[] = {
      {u"\\Software", WinError::BadPathname},
      {u"Software\\\\X", WinError::BadPathname},
      {u"Software\\", WinError::BadPathname},
      {u"Software\\" + std::u16string(256, u'k'), WinError::FilenameExceedsRange},
      {u"Software\\" + std::u16string(128, u'\u00e9'), WinError::FilenameExceedsRange},
      {u"Software\\lone\xD800", WinError::InvalidParameter},
  };
  for (const Case& c : cases) {
    Registry::Key created = 0;
    EXPECT_EQ(registry_.createKeyEx(kRoot, c.path, 0, kAll, created), c.error) << wide::toUtf8(c.path);
    EXPECT_EQ(created, 0u);
    EXPECT_EQ(open(c.path, key), c.error) << wide::toUtf8(c.path);
  }
  EXPECT_EQ(entries(keyDir("Software")), std::vector<std::string>{});
  create(u"Software\\" + std::u16string(255, u'k'));  // the longest name that fits
  Registry::Key volatileKey = 0;
  EXPECT_EQ(registry_.createKeyEx(kRoot, u"Software\\V", 1, kAll, volatileKey), WinError::NotSupported);
}

TEST_F(RegPosixStoreTest, ValueWritesCheckTheirKeyAndArguments) {
  const Registry::Key key = create(u"K");
  const uint8_t data[] = {1};
  EXPECT_EQ(registry_.setValueEx(key, std::u16string(250, u'v'), 3, data, 1), WinError::FilenameExceedsRange);
  EXPECT_EQ(registry_.setValueEx(key, u"lone\xDC00", 3, data, 1), WinError::InvalidParameter);
  EXPECT_EQ(registry_.setValueEx(key, u"v", 3, nullptr, 1), WinError::NoAccess);
  EXPECT_EQ(registry_.setValueEx(key, u"v", 3, nullptr, 0), 0u);
  Registry::Key readOnly = 0;
  ASSERT_EQ(open(u"K", readOnly, Registry::KEY_QUERY_VALUE), 0u);
  EXPECT_EQ(registry_.setValueEx(readOnly, u"v", 3, data, 1), WinError::AccessDenied);
  Registry::Key writeOnly = 0;
  ASSERT_EQ(open(u"K", writeOnly, Registry::KEY_SET_VALUE), 0u);
  Value value;
  EXPECT_EQ(registry_.queryValueEx(writeOnly, u"v", value), WinError::AccessDenied);
  EXPECT_EQ(registry_.queryValueEx(key, u"missing", value), WinError::FileNotFound);
  Registry::Key closed = 0;
  ASSERT_EQ(registry_.createKeyEx(kRoot, u"K", 0, kAll, closed), 0u);
  EXPECT_EQ(registry_.closeKey(closed), 0u);
  EXPECT_EQ(registry_.closeKey(closed), WinError::InvalidHandle);
  EXPECT_EQ(registry_.setValueEx(closed, u"v", 3, data, 1), WinError::InvalidHandle);
  EXPECT_EQ(query(key, u"v").data, std::vector<uint8_t>{});
}

TEST_F(RegPosixStoreTest, The32BitViewIsTheOnlyView) {
  const Registry::Key key = create(u"Software\\View", kAll | Registry::KEY_WOW64_32KEY);
  ASSERT_EQ(set(key, u"v", 4, {1, 2, 3, 4}), 0u);
  Registry::Key plain = 0;
  ASSERT_EQ(open(u"Software\\View", plain, Registry::KEY_QUERY_VALUE), 0u);
  EXPECT_EQ(query(plain, u"v").data, (std::vector<uint8_t>{1, 2, 3, 4}));
}

// Like HKLM\Software on Windows: every user reads the record, only the
// service changes it, whatever the umask the service runs with. The missing
// directories up to the store are made so too.
TEST_F(RegPosixStoreTest, EveryUserReadsTheStoreAndOnlyItsOwnerChangesIt) {
  const fs::path base = state_.store().parent_path();
  const fs::path state = base / "made" / "state";
  setenv("VKBVD_STATE_DIR", state.c_str(), 1);  // the fixture's guard restores it
  const mode_t umaskBefore = umask(077);
  const Registry::Key key = create(u"Software\\Velkara Software");
  const uint32_t written = set(key, u"v", 3, {1});
  umask(umaskBefore);
  ASSERT_EQ(written, 0u);
  const fs::path keys = state / "registry" / "HKEY_LOCAL_MACHINE" / "Software" / "Velkara Software";
  for (const fs::path& path : {base / "made", state, state / "registry", state / "registry" / "HKEY_LOCAL_MACHINE",
                               keys.parent_path(), keys, keys / "v.value"}) {
    struct stat status {};
    ASSERT_EQ(lstat(path.c_str(), &status), 0) << path;
    EXPECT_EQ(status.st_mode & 07777, S_ISDIR(status.st_mode) ? 0755u : 0644u) << path;
  }
  if (geteuid() != 0) return;
  // Another user reads the value through the store of root's, and can
  // neither change it nor add to the key, through the store or around it.
  fs::permissions(base, fs::perms(0755));
  const pid_t child = fork();
  if (child == 0) {
    const bool switched = setgroups(0, nullptr) == 0 && setgid(kOtherUid) == 0 && setuid(kOtherUid) == 0;
    sys::posix::PosixRegistry registry;
    Registry::Key readKey = 0;
    Registry::Key writeKey = 0;
    sys::posix::PosixRegistry::Value value;
    const bool opens = registry.openKeyEx(kRoot, u"Software\\Velkara Software", Registry::KEY_QUERY_VALUE,
                                          readKey) == 0;
    const bool reads = opens && registry.queryValueEx(readKey, u"v", value) == 0 &&
                       value.data == std::vector<uint8_t>{1};
    const bool opensToWrite = registry.openKeyEx(kRoot, u"Software\\Velkara Software", kAll, writeKey) == 0;
    const bool setsThroughStore =
        opensToWrite && registry.setValueEx(writeKey, u"w", 3, value.data.data(), 1) != WinError::AccessDenied;
    const bool writes = ::open((keys / "v.value").c_str(), O_WRONLY) >= 0;
    const bool adds = ::open((keys / "w.value").c_str(), O_WRONLY | O_CREAT, 0644) >= 0;
    _exit(switched && reads && !setsThroughStore && !writes && !adds ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Others may read a store made readable to all, but one that another user
// made, or could change or replace, is not used.
TEST_F(RegPosixStoreTest, AStoreOthersCouldChangeIsRefused) {
  struct Case {
    const char* name;
    bool needsRoot;
    // Prepares the state directory `state` with its store; the directory
    // where the store's keys would land.
    fs::path (*prepare)(const fs::path& state, const fs::path& store);
    uint32_t error;
  };
  const Case cases[] = {
      {"readable by all", false,
       [](const fs::path&, const fs::path& store) {
         fs::create_directory(store);
         fs::permissions(store, fs::perms(0755));
         return store;
       },
       0},
      {"writable by all", false,
       [](const fs::path&, const fs::path& store) {
         fs::create_directory(store);
         fs::permissions(store, fs::perms::all);
         return store;
       },
       WinError::AccessDenied},
      {"made by another user", true,
       [](const fs::path&, const fs::path& store) {
         fs::create_directory(store);
         fs::permissions(store, fs::perms::owner_all);
         EXPECT_EQ(chown(store.c_str(), kOtherUid, kOtherUid), 0);
         return store;
       },
       WinError::AccessDenied},
      {"a symbolic link to a directory of ours", false,
       [](const fs::path& state, const fs::path& store) {
         fs::create_directory(state / "real");
         fs::permissions(state / "real", fs::perms::owner_all);
         fs::create_directory_symlink(state / "real", store);
         return state / "real";
       },
       WinError::AccessDenied},
      {"in a state directory every user may change", false,
       [](const fs::path& state, const fs::path& store) {
         fs::permissions(state, fs::perms::all);
         return store;
       },
       WinError::AccessDenied},
      {"in a state directory of another user", true,
       [](const fs::path& state, const fs::path& store) {
         EXPECT_EQ(chown(state.c_str(), kOtherUid, kOtherUid), 0);
         return store;
       },
       WinError::AccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && geteuid() != 0) continue;
    const RegStateDir state;
    const fs::path keys = c.prepare(state.store().parent_path(), state.store());
    Registry::Key key = 0;
    EXPECT_EQ(registry_.createKeyEx(kRoot, u"Software", 0, kAll, key), c.error);
    EXPECT_EQ(fs::exists(keys / "HKEY_LOCAL_MACHINE"), c.error == 0);
    if (c.error == 0) registry_.closeKey(key);
  }
}

TEST_F(RegPosixStoreTest, LeftoverTempFilesAreIgnoredAndThoseOfDeadWritersRemoved) {
  const Registry::Key key = create(u"K");
  ASSERT_EQ(set(key, u"v", 3, {1}), 0u);
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  const std::string deadTemp = "." + std::to_string(dead) + ".0.tmp";
  const std::string liveTemp = "." + std::to_string(getppid()) + ".0.tmp";
  for (const std::string& name : {deadTemp, liveTemp, std::string(".junk")}) {
    std::ofstream(keyDir("K") / name) << "type=REG_SZ\nsize=100\nhex=41";  // a torn write
  }
  EXPECT_EQ(query(key, u"v").data, (std::vector<uint8_t>{1}));
  ASSERT_EQ(set(key, u"w", 3, {2}), 0u);
  std::vector<std::string> kept{".junk", liveTemp, "v.value", "w.value"};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(entries(keyDir("K")), kept);
}

TEST_F(RegPosixStoreTest, AValueFileThatDoesNotParseIsInvalidData) {
  const Registry::Key key = create(u"K");
  const std::string broken[] = {"type=REG_SZ\nsize=2\nhex=41\n", "type=REG_SZ\nhex=\n", "size=0\nhex=\n",
                                "type=REG_SZ\nsize=1\nhex=zz\n", "type=NOPE\nsize=0\nhex=\n"};
  for (const std::string& text : broken) {
    std::ofstream(keyDir("K") / "v.value", std::ios::trunc) << text;
    Value value;
    EXPECT_EQ(registry_.queryValueEx(key, u"v", value), WinError::InvalidData) << text;
  }
}
