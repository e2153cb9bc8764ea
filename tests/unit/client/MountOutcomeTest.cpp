#include "MountOutcome.h"

#include <gtest/gtest.h>

#include <string>

#include "disk/ImageResults.h"

namespace {

// Every result the mount can give, with what the user is told and the exit
// code the README lists for it.
TEST(MountOutcome, EachResultHasItsSentenceAndExitCode) {
  const struct {
    int32_t result;
    bool mounted;
    ExitCode exitCode;
  } cases[] = {
      {0, true, ExitCode::Done},
      {-14, true, ExitCode::Done},
      {-9, false, ExitCode::DriverRefused},
      {-15, false, ExitCode::AccessRefused},
      {-18, false, ExitCode::AccessRefused},
      {-1, false, ExitCode::ImageUnusable},
      {-2, false, ExitCode::ImageUnusable},
      {-3, false, ExitCode::ImageUnusable},
      {-4, false, ExitCode::ImageUnusable},
      {-5, false, ExitCode::ImageUnusable},
      {-6, false, ExitCode::ImageUnusable},
      {-7, false, ExitCode::ImageUnusable},
      {-8, false, ExitCode::ImageUnusable},
      {-10, false, ExitCode::ImageUnusable},
      {-11, false, ExitCode::ImageUnusable},
      {-12, false, ExitCode::ImageUnusable},
      {-13, false, ExitCode::ImageUnusable},
      {-16, false, ExitCode::ImageUnusable},
      {-17, false, ExitCode::ImageUnusable},
      {-19, false, ExitCode::Cancelled},
      {1, false, ExitCode::ServiceUnreachable},
      {-20, false, ExitCode::ServiceUnreachable},
  };
  for (const auto& test : cases) {
    const MountOutcome outcome = MountOutcome::of(test.result, "/srv/b.img");
    EXPECT_EQ(outcome.mounted, test.mounted) << test.result;
    EXPECT_EQ(outcome.exitCode, test.exitCode) << test.result;
    EXPECT_NE(outcome.sentence.find("/srv/b.img"), std::string::npos) << outcome.sentence;
    const bool failed = outcome.sentence.starts_with("Cannot mount /srv/b.img: ");
    EXPECT_EQ(failed, !test.mounted) << outcome.sentence;
  }
}

TEST(MountOutcome, FailuresOfOpeningTheImageSayWhy) {
  EXPECT_EQ(MountOutcome::of(-2, "a.img").sentence, "Cannot mount a.img: the image file does not exist.");
  EXPECT_EQ(MountOutcome::of(-15, "a.img").sentence, std::string("Cannot mount a.img: ") + imageResultText(-15) + ".");
  EXPECT_EQ(MountOutcome::of(-18, "a.img").sentence, std::string("Cannot mount a.img: ") + imageResultText(-18) + ".");
  // Refused as unreadable, but the user finds no such file: it does not exist.
  for (int32_t refused : {-15, -18}) {
    const MountOutcome missing = MountOutcome::of(refused, "a.img", {}, true);
    EXPECT_EQ(missing.sentence, "Cannot mount a.img: the image file does not exist.");
    EXPECT_EQ(missing.exitCode, ExitCode::ImageUnusable);
  }
  EXPECT_EQ(MountOutcome::of(-5, "a.img", {}, true).sentence, "Cannot mount a.img: the image file cannot be read.");
  EXPECT_EQ(MountOutcome::of(3, "a.img").sentence,
            "Cannot mount a.img: the service answered 3, a result it never gives.");
}

// -9 has three causes; what the driver says afterwards tells which.
TEST(MountOutcome, DriverRefusalNamesItsCause) {
  using State = DriverCheck::State;
  const struct {
    DriverCheck check;
    const char* reason;
  } cases[] = {
      {{State::HoldsDisk, "/srv/other.img"},
       "a disk is mounted already (of /srv/other.img); unmount it first with 'vkbvd umount'"},
      {{State::HoldsDisk, ""}, "a disk is mounted already; unmount it first with 'vkbvd umount'"},
      {{State::Unreachable, ""}, "the virtual-disk driver does not answer (is vkvd running?)"},
      {{State::Free, ""}, "the virtual-disk driver could not create the disk (its log says why)"},
      {{State::Unknown, ""}, imageResultText(-9)},
  };
  for (const auto& test : cases) {
    const MountOutcome outcome = MountOutcome::of(-9, "a.img", test.check);
    EXPECT_EQ(outcome.sentence, std::string("Cannot mount a.img: ") + test.reason + ".");
    EXPECT_EQ(outcome.exitCode, ExitCode::DriverRefused);
  }
}

}  // namespace
