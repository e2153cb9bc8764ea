#include "provider/ImageParts.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace vsimgpvd {
namespace {

constexpr uint64_t kSectorSize = 512;
constexpr size_t kDigits = 3;

// The part number (1 to 999) of a path that ends in ".NNN", if it does.
std::optional<uint32_t> partNumber(const std::u16string& path) {
  if (path.size() <= kDigits || path[path.size() - kDigits - 1] != u'.') return std::nullopt;
  uint32_t number = 0;
  for (size_t i = path.size() - kDigits; i < path.size(); ++i) {
    if (path[i] < u'0' || path[i] > u'9') return std::nullopt;
    number = number * 10 + static_cast<uint32_t>(path[i] - u'0');
  }
  if (number == 0) return std::nullopt;
  return number;
}

// `prefix` (the path up to and with its dot) and the number in at least three digits.
std::u16string partPath(const std::u16string& prefix, uint32_t number) {
  std::u16string digits;
  for (; number > 0 || digits.size() < kDigits; number /= 10) {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + number % 10));
  }
  return prefix + digits;
}

uint64_t sectorsIn(uint64_t bytes) { return (bytes + kSectorSize - 1) / kSectorSize; }

}  // namespace

InitCode ImageParts::open(const std::u16string& path, ImageProgressCallback callback, void* user) {
  InitCode code = openParts(path);
  if (code == kOpened) code = buildIndex();
  if (code == kOpened) reportProgress(callback, user);
  return code;
}

uint32_t ImageParts::read(uint8_t* destination, uint64_t offset, uint32_t count) const {
  size_t part = static_cast<size_t>(std::upper_bound(ends_.begin(), ends_.end(), offset) - ends_.begin());
  uint32_t done = 0;
  for (; done < count && part < parts_.size(); ++part) {
    const uint64_t at = offset + done;
    const uint64_t start = ends_[part] - parts_[part].size;
    const uint32_t span = static_cast<uint32_t>(std::min<uint64_t>(count - done, ends_[part] - at));
    const uint32_t got = parts_[part].file->readAt(destination + done, at - start, span);
    done += got;
    if (got < span) return done;
  }
  std::memset(destination + done, 0, count - done);
  return count;
}

// The run of consecutive numbers from the given one; a later part after the
// first missing number means the set has a gap. The whole set is found and
// checked before any part is opened, as every part stays open.
InitCode ImageParts::openParts(const std::u16string& path) {
  const std::optional<uint32_t> first = partNumber(path);
  if (!first) return addPart(path);
  const std::u16string prefix = path.substr(0, path.size() - kDigits);
  uint32_t end = *first;
  while (end <= kMaxParts && pathExists(partPath(prefix, end))) ++end;
  // Nothing found at the first name: its own open tells why.
  if (end == *first) return addPart(path);
  // A set that goes on past the last three-digit number has more parts than can be numbered.
  if (end > kMaxParts && pathExists(partPath(prefix, kMaxParts + 1))) return kImageTooLarge;
  for (uint32_t later = end + 1; later <= kMaxParts; ++later) {
    if (pathExists(partPath(prefix, later))) return kPartMissing;
  }
  if (!canHoldOpen(end - *first)) return kImageTooLarge;
  for (uint32_t number = *first; number < end; ++number) {
    const InitCode code = addPart(partPath(prefix, number));
    if (code != kOpened) return code;
  }
  return kOpened;
}

InitCode ImageParts::addPart(const std::u16string& path) {
  std::unique_ptr<ImageFile> file;
  uint64_t size = 0;
  const InitCode code = openImageFile(path, file, size);
  if (code == kOpened) parts_.push_back({std::move(file), size});
  return code;
}

// Places the parts one after another, telling `callback` where it is at the
// start and the end of each part. The callback's result is ignored: the index
// cannot be cancelled.
InitCode ImageParts::buildIndex() {
  uint64_t total = 0;
  for (const Part& part : parts_) {
    if (part.size > kMaxDataSize - total) return kImageTooLarge;
    total += part.size;
  }
  if (total == 0) return kUnknownFormat;
  uint64_t end = 0;
  for (const Part& part : parts_) {
    end += part.size;
    ends_.push_back(end);
  }
  return kOpened;
}

void ImageParts::reportProgress(ImageProgressCallback callback, void* user) const {
  if (!callback) return;
  const uint64_t total = sectorsIn(dataSize());
  uint64_t start = 0;
  for (uint32_t i = 0; i < count(); ++i) {
    callback(i + 1, total, sectorsIn(start), user);
    start = ends_[i];
    callback(i + 1, total, sectorsIn(start), user);
  }
}

}  // namespace vsimgpvd
