#include "MountOutcome.h"

#include "disk/ImageResults.h"

namespace {

constexpr int32_t kMounted = 0;
constexpr int32_t kMountedPadded = -14;
constexpr int32_t kDriverRefused = -9;
constexpr int32_t kAccessRefused = -15;
constexpr int32_t kNetworkAccessRefused = -18;
constexpr int32_t kImageMissing = -2;
constexpr int32_t kCancelled = -19;

// The codes of opening the image that the mount passes on.
bool isImageFailure(int32_t result) {
  return (result <= -1 && result >= -8) || (result <= -10 && result >= -13) || result == -16 || result == -17;
}

std::string driverRefusal(const DriverCheck& driver) {
  switch (driver.state) {
    case DriverCheck::State::HoldsDisk:
      return driver.mountedImage.empty()
                 ? "a disk is mounted already; unmount it first with 'vkbvd umount'"
                 : "a disk is mounted already (of " + driver.mountedImage + "); unmount it first with 'vkbvd umount'";
    case DriverCheck::State::Unreachable: return "the virtual-disk driver does not answer (is vkvd running?)";
    case DriverCheck::State::Free: return "the virtual-disk driver could not create the disk (its log says why)";
    case DriverCheck::State::Unknown: break;
  }
  return imageResultText(kDriverRefused);
}

MountOutcome refused(ExitCode code, const std::string& image, const std::string& reason) {
  return MountOutcome{false, code, "Cannot mount " + image + ": " + reason + "."};
}

}  // namespace

MountOutcome MountOutcome::of(int32_t result, const std::string& image, const DriverCheck& driver, bool imageMissing) {
  if (result == kMounted) return MountOutcome{true, ExitCode::Done, "Mounted " + image + "."};
  if (result == kMountedPadded) {
    return MountOutcome{
        true, ExitCode::Done,
        "Mounted " + image + "; its data is not a whole number of sectors, so the last sector ends in zeros."};
  }
  if (result == kDriverRefused) return refused(ExitCode::DriverRefused, image, driverRefusal(driver));
  if (result == kCancelled) {
    return refused(ExitCode::Cancelled, image,
                   std::string(imageResultText(result)) + " (by an unmount or the service's stop); nothing is mounted");
  }
  if ((result == kAccessRefused || result == kNetworkAccessRefused) && imageMissing) {
    return refused(ExitCode::ImageUnusable, image, imageResultText(kImageMissing));
  }
  if (result == kAccessRefused || result == kNetworkAccessRefused) {
    return refused(ExitCode::AccessRefused, image, imageResultText(result));
  }
  if (isImageFailure(result)) return refused(ExitCode::ImageUnusable, image, imageResultText(result));
  return refused(ExitCode::ServiceUnreachable, image,
                 "the service answered " + std::to_string(result) + ", a result it never gives");
}
