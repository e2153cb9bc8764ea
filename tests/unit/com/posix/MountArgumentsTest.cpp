#include "com/posix/MountArguments.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string orNone(const char16_t* text) { return text ? std::u16string(text) : u"<null>"; }

}  // namespace

// A D-Bus string cannot be null: the empty string stands for a null argument.
TEST(MountArgumentsTest, EmptyStringsAreNullAndOthersComeAsUtf16) {
  const MountArguments empty("", "", false, "", "", "", "");
  EXPECT_EQ(empty.imageFilePath(), nullptr);
  EXPECT_EQ(empty.baseImageFilePath(), nullptr);
  EXPECT_EQ(empty.imageMasterPassword(), nullptr);
  EXPECT_EQ(empty.debugLogPath(), nullptr);
  EXPECT_EQ(empty.tempFile(), nullptr);
  EXPECT_EQ(empty.additionalOpts(), nullptr);

  const MountArguments given("/srv/b\u00e4ckup.img", "/srv/base.img", true, "s\u20accret", "/var/log/p.log",
                             "/var/tmp/overlay", "/pid 42 /network");
  EXPECT_EQ(orNone(given.imageFilePath()), u"/srv/b\u00e4ckup.img");
  EXPECT_EQ(orNone(given.baseImageFilePath()), u"/srv/base.img");
  EXPECT_EQ(orNone(given.imageMasterPassword()), u"s\u20accret");
  EXPECT_EQ(orNone(given.debugLogPath()), u"/var/log/p.log");
  EXPECT_EQ(orNone(given.tempFile()), u"/var/tmp/overlay");
  EXPECT_EQ(orNone(given.additionalOpts()), u"/pid 42 /network");
}

// With the encryption flag the password is given, even an empty one.
TEST(MountArgumentsTest, AnEmptyPasswordIsOneWhenTheImageIsEncrypted) {
  const MountArguments encrypted("a", "", true, "", "", "", "");
  EXPECT_EQ(orNone(encrypted.imageMasterPassword()), u"");
  EXPECT_EQ(encrypted.tempFile(), nullptr);
}

TEST(MountArgumentsTest, TheEncryptionFlagIsAVariantBool) {
  EXPECT_EQ(MountArguments("a", "", true, "", "", "", "").usingImageEncryption(), -1);
  EXPECT_EQ(MountArguments("a", "", false, "", "", "", "").usingImageEncryption(), 0);
}
