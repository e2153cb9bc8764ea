#include "disk/ImageResults.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// Every result that opening an image or a mount can give has words of its own.
TEST(ImageResults, EveryResultHasItsOwnText) {
  const std::string unknown = imageResultText(1000);
  std::set<std::string> texts;
  for (int32_t code = -19; code <= 0; ++code) {
    const std::string text = imageResultText(code);
    EXPECT_NE(text, unknown) << code;
    EXPECT_TRUE(texts.insert(text).second) << code << " shares its text";
  }
  EXPECT_EQ(imageResultText(1), unknown);
  EXPECT_EQ(imageResultText(-20), unknown);
}

}  // namespace
