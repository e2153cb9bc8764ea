#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/VirtualDiskImage.h"
#include "provider/ImageData.h"
#include "provider/ImageFile.h"
#include "provider/InitCodes.h"

namespace vsimgpvd {

// The files of one raw image, read as one run of bytes: a single file, or a
// set of parts of any size named by the path of its first part: numbered
// NAME.001, NAME.002, ... (three digits), or lettered as split names them,
// NAME.aa, NAME.ab, ... (two letters, named by the first, NAME.aa).
class ImageParts final : public ImageData {
 public:
  // Three digits number the parts 001 to 999.
  static constexpr uint32_t kMaxParts = 999;
  // Larger sizes are refused, so that rounding a size up to any block size cannot overflow.
  static constexpr uint64_t kMaxDataSize = uint64_t{1} << 63;

  // Opens the parts starting at `path` and indexes them, reporting each part
  // to `callback` (may be null). Returns kOpened or the init code of the
  // failure. Called once per instance.
  InitCode open(const std::u16string& path, ImageProgressCallback callback, void* user);
  // Reports each part to `callback` as open does: at its start and its end,
  // in sectors of the whole data.
  void reportProgress(ImageProgressCallback callback, void* user) const;

  uint64_t dataSize() const override { return ends_.empty() ? 0 : ends_.back(); }
  uint32_t count() const { return static_cast<uint32_t>(parts_.size()); }
  // What tells part `index` (from 0) from a changed one; empty when nothing does.
  std::string identity(uint32_t index) const { return parts_[index].file->identity(); }
  std::string fileKey(uint32_t index) const { return parts_[index].key; }
  // Where part `index` (from 0) ends in the data.
  uint64_t partEnd(uint32_t index) const { return ends_[index]; }

  // Copies image bytes at `offset`, with zeros for any bytes past the data.
  // Returns fewer than `count` only when a part cannot be read.
  uint32_t read(uint8_t* destination, uint64_t offset, uint32_t count) const override;

 private:
  // Held by its descriptor alone: no part is opened by its name again.
  struct Part {
    std::unique_ptr<ImageFile> file;
    uint64_t size;
    std::string key;  // the file's own, taken once
  };

  InitCode openParts(const std::u16string& path);
  // Opens the part at `path`; kImageUnreadable when it is the same file as
  // an earlier part (a link to it).
  InitCode addPart(const std::u16string& path);
  InitCode buildIndex();

  std::vector<Part> parts_;
  // Where each part's data ends in the image, in part order.
  std::vector<uint64_t> ends_;
};

}  // namespace vsimgpvd
