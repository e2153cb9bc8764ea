#include "provider/ImageParts.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace vsimgpvd {
namespace {

constexpr uint64_t kSectorSize = 512;
constexpr size_t kDigits = 3;
constexpr size_t kLetters = 2;

// How the parts of a set are named after its first part's path: "NAME.001"
// (three digits, 001 to 999), or as split names them, "NAME.aa" (two
// lowercase letters, aa to zz). Numbers count from 1 and from aa = 0.
struct PartNames {
  std::u16string prefix;  // the path up to and with its dot
  bool letters;
  uint32_t first;  // the number of the path given
  uint32_t limit;  // one past the last number the names can have

  std::u16string path(uint32_t number) const {
    std::u16string suffix;
    const uint32_t base = letters ? 26 : 10;
    const size_t width = letters ? kLetters : kDigits;
    for (; number > 0 || suffix.size() < width; number /= base) {
      const auto digit = static_cast<char16_t>(number % base);
      suffix.insert(suffix.begin(), static_cast<char16_t>((letters ? u'a' : u'0') + digit));
    }
    return prefix + suffix;
  }
};

// The names of the set `path` begins, if it ends in ".NNN" or ".aa". A
// lettered set is taken only from its first name: other two letters are
// likelier a file's own extension (".gz", ".xz") than a part.
std::optional<PartNames> partNames(const std::u16string& path) {
  for (const bool letters : {false, true}) {
    const size_t width = letters ? kLetters : kDigits;
    if (path.size() <= width || path[path.size() - width - 1] != u'.') continue;
    uint32_t number = 0;
    bool matches = true;
    for (size_t i = path.size() - width; i < path.size() && matches; ++i) {
      const char16_t low = letters ? u'a' : u'0';
      const char16_t high = letters ? u'z' : u'9';
      matches = path[i] >= low && path[i] <= high;
      number = number * (letters ? 26 : 10) + static_cast<uint32_t>(path[i] - low);
    }
    if (!matches || (letters ? number != 0 : number == 0)) continue;
    return PartNames{path.substr(0, path.size() - width), letters, number, letters ? 26 * 26 : ImageParts::kMaxParts + 1};
  }
  return std::nullopt;
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
  const std::optional<PartNames> names = partNames(path);
  if (!names) return addPart(path);
  uint32_t end = names->first;
  while (end < names->limit && pathExists(names->path(end))) ++end;
  // Nothing found at the first name: its own open tells why.
  if (end == names->first) return addPart(path);
  // A numbered set that goes on past the last three-digit number has more parts than can be numbered.
  if (end == names->limit && !names->letters && pathExists(names->path(end))) return kImageTooLarge;
  for (uint32_t later = end + 1; later < names->limit; ++later) {
    if (pathExists(names->path(later))) return kPartMissing;
  }
  if (!canHoldOpen(end - names->first)) return kImageTooLarge;
  for (uint32_t number = names->first; number < end; ++number) {
    const InitCode code = addPart(names->path(number));
    if (code != kOpened) return code;
  }
  return kOpened;
}

InitCode ImageParts::addPart(const std::u16string& path) {
  std::unique_ptr<ImageFile> file;
  uint64_t size = 0;
  const InitCode code = openImageFile(path, file, size);
  if (code != kOpened) return code;
  // Links of one file as several parts would make one file's data count many times over.
  std::string key = file->fileKey();
  for (const Part& part : parts_) {
    if (!key.empty() && part.key == key) return kImageUnreadable;
  }
  parts_.push_back({std::move(file), size, std::move(key)});
  return kOpened;
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
