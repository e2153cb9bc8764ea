#include "service/DebugLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <vector>

#include "common/Thread.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;

namespace {

const std::string kEnd = VK_TEXT_LINE_END;

class DebugLogTest : public ::testing::Test {
 protected:
  void TearDown() override { closeDebugLog(); }

  TempDir dir_;
};

}  // namespace

TEST_F(DebugLogTest, WritesExactBytesForEachConversion) {
  const std::u16string path = dir_.file(u"service.log");
  openDebugLog(path.c_str());
  ASSERT_TRUE(debugLogIsOpen());
  debugLog(u"VirtualImageManager::openImage init image_size=%llu block_size=%u\n", uint64_t{10737418240}, 512u);
  debugLog(u"LpcServer::handle_request status=%d err=0x%X\n", -1, 0xC0000022u);
  debugLog(u"RegTool::setValue name=%s winerr=%d\n", u"MountedDrives", 5);
  debugLog(u"guid {%08x-%04x}\n", 0xABu, 0x1u);
  debugLog(u"two\nlines\n");
  closeDebugLog();
  EXPECT_FALSE(debugLogIsOpen());

  const std::string expected = kEnd + "VirtualImageManager::openImage init image_size=10737418240 block_size=512" +
                               kEnd + "LpcServer::handle_request status=-1 err=0xC0000022" + kEnd +
                               "RegTool::setValue name=MountedDrives winerr=5" + kEnd + "guid {000000ab-0001}" + kEnd +
                               "two" + kEnd + "lines" + kEnd;
  EXPECT_EQ(readFileBytes(dir_.path() / "service.log"), expected);
}

// A logged path is the real one: characters above U+00FF are written as their code points.
TEST_F(DebugLogTest, WritesCharactersAbove0xFFAsTheirCodePoints) {
  const std::u16string name = u"log-\u00e9\u4e2d\u6587.txt";
  const std::u16string path = dir_.file(name);
  openDebugLog(path.c_str());
  ASSERT_TRUE(debugLogIsOpen());
  debugLog(u"path=%s\n", path);
  closeDebugLog();

  const std::string written = readFileBytes(std::filesystem::path(path));
  const std::string expectedName = "log-\xE9\\u{4E2D}\\u{6587}.txt";
  ASSERT_GE(written.size(), kEnd.size() + expectedName.size());
  EXPECT_EQ(written.substr(written.size() - expectedName.size() - kEnd.size()), expectedName + kEnd);
  for (unsigned char c : written) EXPECT_TRUE(c == 0xE9 || c < 0x80) << int(c);
}

TEST_F(DebugLogTest, UnopenablePathLeavesTheLogClosedAndSilent) {
  const std::u16string path = dir_.file(u"missing-dir/service.log");
  openDebugLog(path.c_str());
  EXPECT_FALSE(debugLogIsOpen());
  debugLog(u"nowhere %u\n", 1u);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "missing-dir"));

  openDebugLog(u"");
  EXPECT_FALSE(debugLogIsOpen());
  openDebugLog(nullptr);
  EXPECT_FALSE(debugLogIsOpen());
}

TEST_F(DebugLogTest, FailedOpenClosesTheLogThatWasOpen) {
  const std::u16string first = dir_.file(u"first.log");
  openDebugLog(first.c_str());
  ASSERT_TRUE(debugLogIsOpen());
  openDebugLog(dir_.file(u"missing-dir/second.log").c_str());
  EXPECT_FALSE(debugLogIsOpen());
  debugLog(u"lost\n");
  EXPECT_EQ(readFileBytes(dir_.path() / "first.log"), kEnd);
}

TEST_F(DebugLogTest, ReopeningTheSamePathKeepsOnlyTheSecondRun) {
  const std::u16string path = dir_.file(u"service.log");
  openDebugLog(path.c_str());
  debugLog(u"first run with a long line that the second run would not overwrite\n");
  closeDebugLog();
  openDebugLog(path.c_str());
  debugLog(u"second\n");
  closeDebugLog();
  EXPECT_EQ(readFileBytes(dir_.path() / "service.log"), kEnd + "second" + kEnd);
}

TEST_F(DebugLogTest, NothingIsWrittenWhileClosed) {
  const std::u16string path = dir_.file(u"service.log");
  openDebugLog(path.c_str());
  closeDebugLog();
  closeDebugLog();  // closing twice is harmless
  debugLog(u"after close\n");
  EXPECT_EQ(readFileBytes(dir_.path() / "service.log"), kEnd);
}

TEST_F(DebugLogTest, ConcurrentWritersAndACloserNeitherCrashNorInterleave) {
  const std::u16string path = dir_.file(u"service.log");
  openDebugLog(path.c_str());
  // The writers go on until the log is closed, so the close always meets them writing.
  constexpr int kWriters = 4;
  std::atomic<unsigned> written{0};
  std::vector<std::unique_ptr<Thread>> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(std::make_unique<Thread>());
    ASSERT_TRUE(writers.back()->start([w, &written] {
      for (unsigned i = 0; debugLogIsOpen(); ++i) {
        debugLog(u"writer=%d message=%u padding=%s end\n", w, i, u"0123456789abcdefghijklmnopqrstuvwxyz");
        ++written;
      }
    }));
  }
  for (int i = 0; i < 60000 && written.load() < 500; ++i) std::this_thread::sleep_for(1ms);
  closeDebugLog();
  for (auto& writer : writers) ASSERT_TRUE(writer->waitFor(60000ms));
  EXPECT_FALSE(debugLogIsOpen());
  const std::string closedLog = readFileBytes(dir_.path() / "service.log");
  debugLog(u"after close\n");
  EXPECT_EQ(readFileBytes(dir_.path() / "service.log"), closedLog);

  std::istringstream lines(closedLog);
  const std::regex whole("writer=[0-3] message=[0-9]+ padding=0123456789abcdefghijklmnopqrstuvwxyz end\r?");
  std::string line;
  std::getline(lines, line);  // the empty line written at open
  size_t count = 0;
  while (std::getline(lines, line)) {
    ASSERT_TRUE(std::regex_match(line, whole)) << line;
    ++count;
  }
  EXPECT_GE(count, 1u);
}

#ifndef _WIN32
// The log may name paths and options of clients: nobody but its owner reads it.
TEST_F(DebugLogTest, TheLogFileIsReadableByItsOwnerOnly) {
  const std::u16string path = dir_.file(u"service.log");
  openDebugLog(path.c_str());
  ASSERT_TRUE(debugLogIsOpen());
  closeDebugLog();
  const auto permissions = std::filesystem::status(dir_.path() / "service.log").permissions();
  EXPECT_EQ(permissions, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}
#endif
