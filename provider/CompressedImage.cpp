#include "provider/CompressedImage.h"

#include <cstdio>

#include "provider/CopyBuilder.h"
#include "provider/DecompressedImage.h"
#include "provider/IndexBuilder.h"
#include "provider/IndexedImage.h"
#include "provider/StreamDecoder.h"
#include "provider/StreamPass.h"

namespace vsimgpvd {

namespace {

// 64-bit FNV-1a: names the file; the whole identity inside it is what is compared.
uint64_t fnv1a(const std::string& bytes) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char byte : bytes) {
    hash ^= static_cast<uint8_t>(byte);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

const char16_t* kindName(const IndexHeader& header) {
  return header.kind == IndexHeader::Kind::AccessPoints ? u"access points" : u"decompressed copy";
}

}  // namespace

std::string CompressedImage::indexName(const ImageParts& parts, CompressionFormat format, std::string& identity) {
  const std::string kind =
      "format=" + std::to_string(static_cast<int>(format)) + ";parts=" + std::to_string(parts.count()) + ";";
  identity = kind;
  for (uint32_t part = 0; part < parts.count(); ++part) {
    const std::string partIdentity = parts.identity(part);
    if (partIdentity.empty()) return {};
    identity += partIdentity;
  }
  // Named by the image's first file, not by its contents: an index built anew
  // for a changed image replaces the one before.
  const std::string firstFile = parts.fileKey(0);
  if (firstFile.empty()) return {};
  char name[17];
  std::snprintf(name, sizeof(name), "%016llx", static_cast<unsigned long long>(fnv1a(kind + firstFile)));
  return name;
}

std::string CompressedImage::storedIndexState(const std::u16string& path) {
  ImageParts parts;
  if (parts.open(path, nullptr, nullptr) != kOpened) return "none stored (the image cannot be opened)";
  uint8_t head[8] = {};
  const CompressionFormat format = detectCompression(head, parts.read(head, 0, sizeof(head)));
  std::string identity;
  const std::string name = indexName(parts, format, identity);
  if (name.empty()) return "none stored (this system keeps none)";
  const std::unique_ptr<ImageFile> file = openStoredIndex(name);
  if (!file) return "none stored";
  IndexHeader header;
  if (!readIndexHeader(*file, identity, header) || header.dataSize > StreamPass::maxData()) {
    return "a stored index that does not hold (it is built anew)";
  }
  if (header.kind == IndexHeader::Kind::DataCopy) return "a decompressed copy, stored";
  return std::to_string(header.pointCount) + " access points, stored";
}

InitCode CompressedImage::open(CompressionFormat format, ImageProgressCallback callback, void* user) {
  std::string identity;
  const std::string name = indexName(parts_, format, identity);
  if (!name.empty() && openStored(format, name, identity)) {
    parts_.reportProgress(callback, user);
    return kOpened;
  }
  std::unique_ptr<ImageFile> file;
  IndexHeader header;
  const InitCode code = build(format, identity, callback, user, file, header);
  if (code != kOpened) return code;
  const bool stored = !name.empty() && publishIndexFile(*file, name);
  log_.line(u"vsimgpvd %s stream indexed: %s, data_size=%llu points=%llu, %s\n", compressionName(format),
            kindName(header), header.dataSize, header.pointCount, stored ? u"stored" : u"not stored");
  return serve(format, std::move(file), header) ? kOpened : kOutOfMemory;
}

bool CompressedImage::openStored(CompressionFormat format, const std::string& name, const std::string& identity) {
  std::unique_ptr<ImageFile> file = openStoredIndex(name);
  if (!file) return false;
  IndexHeader header;
  // An index claiming more data than a pass may produce was not made by one.
  if (!readIndexHeader(*file, identity, header) || header.dataSize > StreamPass::maxData()) {
    log_.line(u"vsimgpvd the stored index does not hold for this image, it is built anew\n");
    return false;
  }
  log_.line(u"vsimgpvd %s stream index read from the store: %s, data_size=%llu points=%llu\n",
            compressionName(format), kindName(header), header.dataSize, header.pointCount);
  return serve(format, std::move(file), header);
}

InitCode CompressedImage::build(CompressionFormat format, const std::string& identity, ImageProgressCallback callback,
                                void* user, std::unique_ptr<ImageFile>& file, IndexHeader& header) {
  ProgressReport progress(callback, user, parts_.dataSize());
  header.identitySize = identity.size();
  std::vector<AccessPoint> blocks;
  uint64_t largestBlock = 0;
  const bool listed = StreamDecoder::listBlocks(format, parts_, blocks, largestBlock);
  // First the index; a stream too sparse in access points is copied instead.
  bool tooSparse = listed && largestBlock > IndexBuilder::kMaxSpan;
  if (!tooSparse) {
    const InitCode code = indexPass(format, identity, progress, std::move(blocks), file, header, tooSparse);
    if (code != kOpened || !tooSparse) return code;
  }
  return copyPass(format, identity, progress, file, header);
}

InitCode CompressedImage::indexPass(CompressionFormat format, const std::string& identity, ProgressReport& progress,
                                    std::vector<AccessPoint> blocks, std::unique_ptr<ImageFile>& file,
                                    IndexHeader& header, bool& tooSparse) {
  std::unique_ptr<StreamDecoder> decoder;
  const InitCode made = startPass(format, identity, decoder, file);
  if (made != kOpened) return made;
  IndexBuilder builder(log_, parts_, *file, payloadOffsetFor(identity.size()), std::move(blocks));
  const InitCode code = builder.run(*decoder, progress);
  tooSparse = builder.tooSparse();
  if (code != kOpened || tooSparse) return code;
  if (builder.dataSize() == 0) return kUnknownFormat;
  return builder.finish(header) && writeIndexHeader(*file, header) ? kOpened : kTempFileUnusable;
}

InitCode CompressedImage::copyPass(CompressionFormat format, const std::string& identity, ProgressReport& progress,
                                   std::unique_ptr<ImageFile>& file, IndexHeader& header) {
  std::unique_ptr<StreamDecoder> decoder;
  const InitCode made = startPass(format, identity, decoder, file);
  if (made != kOpened) return made;
  CopyBuilder builder(log_, parts_, *file, payloadOffsetFor(identity.size()));
  const InitCode code = builder.run(*decoder, progress);
  if (code != kOpened) return code;
  if (builder.dataSize() == 0) return kUnknownFormat;
  return builder.finish(header) && writeIndexHeader(*file, header) ? kOpened : kTempFileUnusable;
}

InitCode CompressedImage::startPass(CompressionFormat format, const std::string& identity,
                                    std::unique_ptr<StreamDecoder>& decoder, std::unique_ptr<ImageFile>& file) {
  decoder = StreamDecoder::create(format);
  if (!decoder) {
    log_.line(u"vsimgpvd no %s decoder in this build\n", compressionName(format));
    return kUnknownFormat;
  }
  file = createIndexFile();
  const auto size = static_cast<uint32_t>(identity.size());
  if (!file || file->writeAt(identity.data(), IndexHeader::kSize, size) != size) {
    log_.line(u"vsimgpvd cannot make a file for the index\n");
    return kTempFileUnusable;
  }
  return kOpened;
}

bool CompressedImage::serve(CompressionFormat format, std::unique_ptr<ImageFile> file, const IndexHeader& header) {
  if (header.kind == IndexHeader::Kind::DataCopy) {
    data_ = std::make_unique<DecompressedImage>(std::move(file), header.payloadOffset, header.dataSize);
    return true;
  }
  auto indexed = std::make_unique<IndexedImage>(log_, parts_, std::move(file), header);
  if (!indexed->prepare(format)) return false;
  data_ = std::move(indexed);
  return true;
}

}  // namespace vsimgpvd
