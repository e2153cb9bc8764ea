#include "provider/IndexedImage.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "common/LittleEndian.h"

namespace vsimgpvd {

namespace {

// A read waits this long at most for another read's decoding.
constexpr std::chrono::milliseconds kLockTimeout{30000};
constexpr uint32_t kWindowSize = 32768;

}  // namespace

bool IndexedImage::prepare(CompressionFormat format) {
  chunks_.resize(kCachedChunks);
  for (Chunk& chunk : chunks_) {
    chunk.data.reset(new (std::nothrow) uint8_t[IndexHeader::kChunkSize]);
    if (!chunk.data) return false;
  }
  cursors_.resize(kCursors);
  for (Cursor& cursor : cursors_) {
    cursor.decoder = StreamDecoder::create(format);
    cursor.input.reset(new (std::nothrow) uint8_t[kInputSize]);
    if (!cursor.decoder || !cursor.input) return false;
  }
  return true;
}

uint32_t IndexedImage::read(uint8_t* destination, uint64_t offset, uint32_t count) const {
  const ScopedLock locked(lock_, kLockTimeout);
  if (!locked.locked()) return 0;
  auto& self = const_cast<IndexedImage&>(*this);  // the caches change, the data does not
  uint32_t done = 0;
  while (done < count && offset + done < header_.dataSize) {
    const uint64_t at = offset + done;
    const Chunk* chunk = self.chunk(at / IndexHeader::kChunkSize);
    if (!chunk) return done;
    const uint64_t within = at % IndexHeader::kChunkSize;
    const uint64_t chunkEnd = std::min(IndexHeader::kChunkSize, header_.dataSize - at + within);
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(count - done, chunkEnd - within));
    std::memcpy(destination + done, chunk->data.get() + within, piece);
    done += piece;
  }
  std::memset(destination + done, 0, count - done);
  return count;
}

const IndexedImage::Chunk* IndexedImage::chunk(uint64_t index) {
  ++uses_;
  Chunk* oldest = &chunks_.front();
  for (Chunk& chunk : chunks_) {
    if (chunk.index == index) {
      chunk.lastUse = uses_;
      return &chunk;
    }
    if (chunk.lastUse < oldest->lastUse) oldest = &chunk;
  }
  oldest->index = UINT64_MAX;
  if (!decodeChunk(index, oldest->data.get())) return nullptr;
  oldest->index = index;
  oldest->lastUse = uses_;
  return oldest;
}

bool IndexedImage::decodeChunk(uint64_t index, uint8_t* into) {
  const uint64_t start = index * IndexHeader::kChunkSize;
  const uint64_t end = std::min(start + IndexHeader::kChunkSize, header_.dataSize);
  Cursor* cursor = cursorFor(start);
  if (!cursor || !advance(*cursor, start, end, into)) {
    if (cursor) cursor->dataAt = UINT64_MAX;
    log_.line(u"vsimgpvd cannot decode the data at %llu\n", start);
    return false;
  }
  if (checksumMatches(index, into, end - start)) return true;
  cursor->dataAt = UINT64_MAX;
  log_.line(u"vsimgpvd the data at %llu does not match its checksum\n", start);
  return false;
}

IndexedImage::Cursor* IndexedImage::cursorFor(uint64_t start) {
  for (Cursor& cursor : cursors_) {
    if (cursor.dataAt == start) return &cursor;
  }
  AccessPoint point;
  if (!findPoint(start, point)) return nullptr;
  // One that stands between the point and the start needs less decoding.
  Cursor* chosen = nullptr;
  for (Cursor& cursor : cursors_) {
    if (cursor.dataAt >= point.dataOffset && cursor.dataAt <= start &&
        (!chosen || cursor.dataAt > chosen->dataAt)) {
      chosen = &cursor;
    }
  }
  if (chosen) return chosen;
  chosen = &*std::min_element(cursors_.begin(), cursors_.end(),
                              [](const Cursor& a, const Cursor& b) { return a.lastUse < b.lastUse; });
  return resumeAt(*chosen, point) ? chosen : nullptr;
}

bool IndexedImage::findPoint(uint64_t dataOffset, AccessPoint& point) {
  uint64_t low = 0;  // the first point is the stream's start
  uint64_t high = header_.pointCount;
  uint8_t record[IndexHeader::kPointSize];
  while (high - low > 1) {
    const uint64_t middle = low + (high - low) / 2;
    if (index_->readAt(record, header_.pointsOffset + middle * IndexHeader::kPointSize, sizeof(record)) !=
        sizeof(record)) {
      return false;
    }
    if (decodePoint(record).dataOffset <= dataOffset) {
      low = middle;
    } else {
      high = middle;
    }
  }
  if (index_->readAt(record, header_.pointsOffset + low * IndexHeader::kPointSize, sizeof(record)) != sizeof(record)) {
    return false;
  }
  point = decodePoint(record);
  return point.dataOffset <= dataOffset && point.streamOffset <= parts_.dataSize();
}

bool IndexedImage::resumeAt(Cursor& cursor, const AccessPoint& point) {
  cursor.dataAt = UINT64_MAX;
  std::vector<uint8_t> window;
  if (point.windowSize > 0) {
    if (point.windowSize > IndexHeader::kMaxPackedWindow) return false;
    std::vector<uint8_t> packed(point.windowSize);
    if (index_->readAt(packed.data(), point.windowOffset, point.windowSize) != point.windowSize) return false;
    window.resize(kWindowSize);
    uLongf size = kWindowSize;
    if (uncompress(window.data(), &size, packed.data(), point.windowSize) != Z_OK) return false;
    window.resize(size);
  }
  if (!cursor.decoder->resume(point, window.data(), window.size())) return false;
  cursor.dataAt = point.dataOffset;
  cursor.streamAt = point.streamOffset;
  cursor.inputAt = cursor.inputEnd = 0;
  return true;
}

bool IndexedImage::advance(Cursor& cursor, uint64_t start, uint64_t end, uint8_t* into) {
  cursor.lastUse = uses_;
  while (cursor.dataAt < end) {
    if (cursor.inputAt == cursor.inputEnd && !refill(cursor)) return false;
    // Data before the start is decoded into the chunk's room and dropped.
    uint8_t* output = cursor.dataAt < start ? into : into + (cursor.dataAt - start);
    const uint64_t limit = cursor.dataAt < start ? std::min(start, end) : end;
    const auto room = static_cast<size_t>(std::min<uint64_t>(limit - cursor.dataAt, IndexHeader::kChunkSize));
    size_t consumed = 0;
    size_t produced = 0;
    const bool lastInput = cursor.streamAt == parts_.dataSize();
    const StreamDecoder::Status status = cursor.decoder->decode(
        cursor.input.get() + cursor.inputAt, cursor.inputEnd - cursor.inputAt, consumed, output, room, produced, lastInput);
    if (status != StreamDecoder::Status::Going) return false;
    cursor.inputAt += static_cast<uint32_t>(consumed);
    cursor.dataAt += produced;
    // Nothing came of input that was there: a decoder of one block at a
    // time goes on at the next block, any other is not where the index says.
    if (consumed == 0 && produced == 0 && cursor.inputAt < cursor.inputEnd &&
        !(cursor.decoder->finished() && resumeAtNextBlock(cursor))) {
      return false;
    }
  }
  return true;
}

bool IndexedImage::resumeAtNextBlock(Cursor& cursor) {
  const uint64_t inputAt = cursor.streamAt - (cursor.inputEnd - cursor.inputAt);
  AccessPoint next;
  if (!findPoint(cursor.dataAt, next) || next.dataOffset != cursor.dataAt || next.streamOffset < inputAt) return false;
  const uint64_t dataAt = cursor.dataAt;
  // Within the input read already, the cursor keeps it.
  if (next.streamOffset < cursor.streamAt && cursor.decoder->resume(next, nullptr, 0)) {
    cursor.inputAt += static_cast<uint32_t>(next.streamOffset - inputAt);
    return true;
  }
  return resumeAt(cursor, next) && cursor.dataAt == dataAt;
}

bool IndexedImage::refill(Cursor& cursor) {
  const auto size = static_cast<uint32_t>(std::min<uint64_t>(kInputSize, parts_.dataSize() - cursor.streamAt));
  if (size == 0 || parts_.read(cursor.input.get(), cursor.streamAt, size) != size) return false;
  cursor.inputAt = 0;
  cursor.inputEnd = size;
  cursor.streamAt += size;
  return true;
}

bool IndexedImage::checksumMatches(uint64_t index, const uint8_t* data, uint64_t size) {
  uint8_t stored[4];
  if (index_->readAt(stored, header_.checksumsOffset + index * 4, sizeof(stored)) != sizeof(stored)) return false;
  const auto crc = static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(size)));
  return crc == readLittleEndian(stored, 4);
}

}  // namespace vsimgpvd
