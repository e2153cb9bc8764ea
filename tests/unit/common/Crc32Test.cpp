#include "common/Crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

TEST(Crc32, KnownVectors) {
  struct Case {
    std::string input;
    uint32_t crc;
  };
  const Case cases[] = {
      {"", 0x00000000},
      {"a", 0xE8B7BE43},
      {"123456789", 0xCBF43926},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339},
  };
  for (const auto& c : cases) EXPECT_EQ(computeCrc32(0, c.input.data(), c.input.size()), c.crc) << c.input;
}

TEST(Crc32, EqualsZlibOnRandomInputs) {
  std::mt19937 random(20261210);
  for (size_t size : {1u, 3u, 92u, 511u, 512u, 4096u, 16384u, 100003u}) {
    std::vector<uint8_t> data(size);
    for (auto& byte : data) byte = static_cast<uint8_t>(random());
    const uLong expected = ::crc32(0L, data.data(), static_cast<uInt>(data.size()));
    EXPECT_EQ(computeCrc32(0, data.data(), data.size()), static_cast<uint32_t>(expected)) << size;
  }
}

TEST(Crc32, ContinuesLikeZlib) {
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  const uint32_t whole = computeCrc32(0, data.data(), data.size());
  for (size_t split : {0u, 1u, 92u, 999u, 1000u}) {
    const uint32_t first = computeCrc32(0, data.data(), split);
    EXPECT_EQ(computeCrc32(first, data.data() + split, data.size() - split), whole) << split;
  }
  // A GPT header's CRC is taken with its own CRC field zero: a run of zeros.
  const std::vector<uint8_t> zeros(92, 0);
  EXPECT_EQ(computeCrc32(0, zeros.data(), zeros.size()),
            static_cast<uint32_t>(::crc32(0L, zeros.data(), static_cast<uInt>(zeros.size()))));
}
