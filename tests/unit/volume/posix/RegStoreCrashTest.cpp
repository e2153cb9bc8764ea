#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "sys/posix/PosixRegistry.h"
#include "volume/RegTool.h"
#include "volume/posix/RegStateDir.h"

namespace {

namespace fs = std::filesystem;
using sys::Registry;
using Value = sys::posix::PosixRegistry::Value;

struct Record {
  std::u16string volume;
  std::u16string device;
  std::vector<std::u16string> drives;
};

// Two records of different sizes, so that a torn value would show.
const Record kRecords[] = {
    {u"\\\\?\\Volume{6a1f0c3e-1b2d-4c5e-9f80-1234567890ab}\\",
     u"\\Device\\HarddiskVolume7",
     {u"E:\\", u"C:\\mnt\\backup\\"}},
    {u"", u"", {}},
};

std::vector<uint8_t> toBytes(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

// The three values a record is stored as.
std::map<std::u16string, Value> storedAs(const Record& record) {
  std::u16string drives;
  for (const std::u16string& drive : record.drives) drives += drive + u'\0';
  drives += record.drives.empty() ? std::u16string(2, u'\0') : std::u16string(1, u'\0');
  return {{u"MountedVolumeID", {Registry::REG_SZ, toBytes(record.volume + u'\0')}},
          {u"MountedDeviceName", {Registry::REG_SZ, toBytes(record.device + u'\0')}},
          {u"MountedDrives", {Registry::REG_MULTI_SZ, toBytes(drives)}}};
}

void write(const Record& record) { RegTool::setMountedParams(record.volume, record.device, record.drives); }

// Writes the two records in turn until it is killed; tells `ready` once the
// first one is complete. Bounded all the same.
[[noreturn]] void writeUntilKilled(int ready) {
  for (unsigned i = 0; i < 1000000; ++i) {
    write(kRecords[i % 2]);
    if (i == 0 && ::write(ready, "x", 1) != 1) _exit(1);
  }
  _exit(0);
}

class RegStoreCrashTest : public ::testing::Test {
 protected:
  // Each value of the record is whole: one of what the records store.
  void expectWholeValues() {
    Registry::Key key = 0;
    ASSERT_EQ(reader_.openKeyEx(Registry::HKEY_LOCAL_MACHINE, u"Software\\Velkara Software\\Velkara Backup",
                                Registry::KEY_QUERY_VALUE, key),
              0u);
    const std::map<std::u16string, Value> seconds = storedAs(kRecords[1]);
    for (const auto& [name, first] : storedAs(kRecords[0])) {
      Value value;
      EXPECT_EQ(reader_.queryValueEx(key, name, value), 0u);
      const Value& second = seconds.at(name);
      const bool whole = (value.type == first.type && value.data == first.data) ||
                         (value.type == second.type && value.data == second.data);
      EXPECT_TRUE(whole) << "torn value " << fs::path(name).string() << " of " << value.data.size() << " bytes";
    }
    reader_.closeKey(key);
  }
  fs::path recordDir() {
    return state_.store() / "HKEY_LOCAL_MACHINE" / "Software" / "Velkara Software" / "Velkara Backup";
  }

  RegStateDir state_;
  sys::posix::PosixRegistry reader_;
};

}  // namespace

TEST_F(RegStoreCrashTest, AWriterKilledAtAnyMomentNeverLeavesATornValue) {
  constexpr int kRounds = 60;
  for (int round = 0; round < kRounds; ++round) {
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    const pid_t writer = fork();
    if (writer == 0) writeUntilKilled(ready[1]);
    close(ready[1]);
    ASSERT_GT(writer, 0);
    pollfd wait{ready[0], POLLIN, 0};
    char byte = 0;
    const bool started = poll(&wait, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    // Kill it at a different moment of its writing each round.
    std::this_thread::sleep_for(std::chrono::microseconds(round * 397 % 5000));
    kill(writer, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(started) << "round " << round;
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended before it was killed, round " << round;
    expectWholeValues();
    if (HasFailure()) break;
  }
  // A later write still works, and clears what the killed writers left.
  write(kRecords[0]);
  Registry::Key key = 0;
  ASSERT_EQ(reader_.openKeyEx(Registry::HKEY_LOCAL_MACHINE, u"Software\\Velkara Software\\Velkara Backup",
                              Registry::KEY_QUERY_VALUE, key),
            0u);
  for (const auto& [name, expected] : storedAs(kRecords[0])) {
    Value value;
    EXPECT_EQ(reader_.queryValueEx(key, name, value), 0u);
    EXPECT_EQ(value.data, expected.data);
  }
  reader_.closeKey(key);
  std::vector<std::string> left;
  for (const fs::directory_entry& entry : fs::directory_iterator(recordDir())) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left,
            (std::vector<std::string>{"MountedDeviceName.value", "MountedDrives.value", "MountedVolumeID.value"}));
}
