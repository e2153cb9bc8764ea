#include "provider/XzDecoder.h"

#include <algorithm>
#include <memory>
#include <new>
#include <thread>

namespace vsimgpvd {

namespace {

// Blocks whose headers give their sizes (as multithreaded compressors
// write them) are decoded on every core; others as they come, on one.
bool startStreamDecoder(lzma_stream& stream) {
  lzma_mt options{};
  options.flags = LZMA_CONCATENATED;
  options.threads = std::max(1u, std::thread::hardware_concurrency());
  options.memlimit_threading = XzDecoder::kMemoryLimit;
  options.memlimit_stop = XzDecoder::kMemoryLimit;
  return lzma_stream_decoder_mt(&stream, &options) == LZMA_OK;
}

}  // namespace

XzDecoder::XzDecoder() { ready_ = startStreamDecoder(stream_); }

XzDecoder::~XzDecoder() { lzma_end(&stream_); }

StreamDecoder::Status XzDecoder::statusOf(lzma_ret result) {
  switch (result) {
    case LZMA_OK:
    case LZMA_BUF_ERROR:
    case LZMA_STREAM_END:
      return Status::Going;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
      return Status::OutOfMemory;
    default:
      return Status::Damaged;
  }
}

StreamDecoder::Status XzDecoder::decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output,
                                        size_t outputSize, size_t& produced, bool lastInput) {
  consumed = 0;
  produced = 0;
  if (!ready_) return Status::OutOfMemory;
  if (ended_ && blockOnly_) return Status::Going;
  if (blockOnly_ && (headerSize_ == 0 || header_.size() < headerSize_)) {
    bool whole = false;
    const Status status = takeHeader(input, inputSize, consumed, whole);
    if (status != Status::Going || !whole) return status;
  }
  stream_.next_in = input + consumed;
  stream_.avail_in = inputSize - consumed;
  stream_.next_out = output;
  stream_.avail_out = outputSize;
  // Concatenated streams end only when the input is known to end.
  const lzma_ret result = lzma_code(&stream_, lastInput && !blockOnly_ ? LZMA_FINISH : LZMA_RUN);
  consumed = inputSize - stream_.avail_in;
  produced = outputSize - stream_.avail_out;
  if (result == LZMA_STREAM_END) ended_ = true;
  return statusOf(result);
}

XzDecoder::Status XzDecoder::takeHeader(const uint8_t* input, size_t inputSize, size_t& consumed, bool& whole) {
  if (headerSize_ == 0) {
    if (inputSize == 0) return Status::Going;
    // A zero here would be a stream's index, not a block.
    if (input[0] == 0) return Status::Damaged;
    headerSize_ = lzma_block_header_size_decode(input[0]);
  }
  const size_t take = std::min(headerSize_ - header_.size(), inputSize - consumed);
  header_.insert(header_.end(), input + consumed, input + consumed + take);
  consumed += take;
  if (header_.size() < headerSize_) return Status::Going;
  lzma_filter filters[LZMA_FILTERS_MAX + 1];
  block_ = lzma_block{};
  block_.version = 1;
  block_.check = check_;
  block_.header_size = static_cast<uint32_t>(headerSize_);
  block_.filters = filters;
  if (lzma_block_header_decode(&block_, nullptr, header_.data()) != LZMA_OK) return Status::Damaged;
  // The block says how much memory it needs; the limit holds here too.
  const uint64_t needed = lzma_raw_decoder_memusage(filters);
  // The decoder keeps its own copy of the filters' options.
  const lzma_ret result = needed <= kMemoryLimit ? lzma_block_decoder(&stream_, &block_) : LZMA_MEMLIMIT_ERROR;
  block_.filters = nullptr;
  lzma_filters_free(filters, nullptr);
  whole = result == LZMA_OK;
  return result == LZMA_OK ? Status::Going : statusOf(result == LZMA_STREAM_END ? LZMA_DATA_ERROR : result);
}

bool XzDecoder::resume(const AccessPoint& point, const uint8_t*, size_t) {
  ended_ = false;
  header_.clear();
  headerSize_ = 0;
  blockOnly_ = point.withinMember;
  check_ = static_cast<lzma_check>(point.check);
  if (blockOnly_) {
    ready_ = lzma_check_is_supported(check_) != 0;
  } else {
    ready_ = point.streamOffset == 0 && startStreamDecoder(stream_);
  }
  return ready_;
}

namespace {

// Owns an lzma_index.
struct IndexDeleter {
  void operator()(lzma_index* index) const { lzma_index_end(index, nullptr); }
};

// Feeds the file-information decoder the bytes it asks for, wherever they lie.
bool readIndexes(const ImageParts& parts, lzma_index*& index) {
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_file_info_decoder(&stream, &index, XzDecoder::kMemoryLimit, parts.dataSize()) != LZMA_OK) return false;
  constexpr uint32_t kPiece = 64 * 1024;
  const std::unique_ptr<uint8_t[]> input(new (std::nothrow) uint8_t[kPiece]);
  uint64_t at = 0;
  lzma_ret result = LZMA_OK;
  while (input && result == LZMA_OK) {
    const auto size = static_cast<uint32_t>(std::min<uint64_t>(kPiece, parts.dataSize() - at));
    if (size == 0 || parts.read(input.get(), at, size) != size) break;
    stream.next_in = input.get();
    stream.avail_in = size;
    result = lzma_code(&stream, LZMA_RUN);
    at += size - stream.avail_in;
    if (result == LZMA_SEEK_NEEDED) {
      at = stream.seek_pos;
      result = LZMA_OK;
    }
  }
  lzma_end(&stream);
  return result == LZMA_STREAM_END;
}

}  // namespace

bool XzDecoder::listBlocks(const ImageParts& parts, std::vector<AccessPoint>& blocks, uint64_t& largestBlock) {
  lzma_index* read = nullptr;
  const bool ok = readIndexes(parts, read);
  const std::unique_ptr<lzma_index, IndexDeleter> index(read);
  // A stream of very many tiny blocks would cost the index that much memory
  // and disk: it is read whole instead (its access points go unused).
  if (!ok || !index || lzma_index_block_count(index.get()) > kMaxListedBlocks) return false;
  lzma_index_iter iter;
  lzma_index_iter_init(&iter, index.get());
  largestBlock = 0;
  while (!lzma_index_iter_next(&iter, LZMA_INDEX_ITER_BLOCK)) {
    AccessPoint point;
    point.dataOffset = iter.block.uncompressed_file_offset;
    point.streamOffset = iter.block.compressed_file_offset;
    point.withinMember = true;
    point.check = static_cast<uint8_t>(iter.stream.flags->check);
    blocks.push_back(point);
    largestBlock = std::max<uint64_t>(largestBlock, iter.block.uncompressed_size);
  }
  return true;
}

}  // namespace vsimgpvd
