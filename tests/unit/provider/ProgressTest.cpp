#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "ProviderTestSupport.h"

using namespace vsimgpvd;

namespace {

struct ProgressCall {
  uint32_t part;
  uint64_t total;
  uint64_t processed;
  bool operator==(const ProgressCall&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ProgressCall& c) {
  return out << "{" << c.part << ", " << c.total << ", " << c.processed << "}";
}

struct Recorder {
  std::vector<ProgressCall> calls;
  uint8_t answer = 1;
};

uint8_t record(uint32_t part, uint64_t total, uint64_t processed, void* user) {
  auto* recorder = static_cast<Recorder*>(user);
  recorder->calls.push_back({part, total, processed});
  return recorder->answer;
}

}  // namespace

TEST_F(ProviderTest, ProgressReportsTheStartAndEndOfEachPart) {
  const std::u16string first = makeFile(u"set.001", patternBytes(1024, 1));
  makeFile(u"set.002", patternBytes(1000, 2));
  makeFile(u"set.003", patternBytes(2048, 3));
  Recorder recorder;
  ImagePtr image = createImage(&record, &recorder);
  ASSERT_EQ(initImage(*image, first), kOpenedWithPaddedTail);
  // 4072 bytes: 8 sectors once the tail is padded.
  const std::vector<ProgressCall> expected = {{1, 8, 0}, {1, 8, 2}, {2, 8, 2}, {2, 8, 4}, {3, 8, 4}, {3, 8, 8}};
  EXPECT_EQ(recorder.calls, expected);
}

TEST_F(ProviderTest, ProgressCannotCancelTheIndex) {
  Recorder recorder;
  recorder.answer = 0;
  ImagePtr image = createImage(&record, &recorder);
  ASSERT_EQ(initImage(*image, makeFile(u"disk.img", patternBytes(4096, 1))), kOpened);
  const std::vector<ProgressCall> expected = {{1, 8, 0}, {1, 8, 8}};
  EXPECT_EQ(recorder.calls, expected);
  EXPECT_EQ(readBytes(*image, 0, 4096), patternBytes(4096, 1));
}

TEST_F(ProviderTest, NoProgressWhenInitFailsBeforeTheIndex) {
  Recorder recorder;
  ImagePtr image = createImage(&record, &recorder);
  ASSERT_EQ(initImage(*image, dir_.file(u"missing.img")), kImageNotFound);
  EXPECT_TRUE(recorder.calls.empty());
}
