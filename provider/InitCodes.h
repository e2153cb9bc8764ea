#pragma once

#include <cstdint>

// The results of the provider's init, as the service reads them:
//   0 opened                      7 temp file unusable
//   1 image file not found        8 out of memory
//   2 part missing from a set     9 invalid argument
//   3 image file unreadable      10 opened, tail padded with zeros
//   4 not a known image format   11 image too large
//   5 base image not supported   12 already initialised
//   6 encryption not supported   13 cancelled by the progress callback
namespace vsimgpvd {

enum InitCode : int32_t {
  kOpened = 0,
  // The image file (the first part of a set) does not exist.
  kImageNotFound = 1,
  // A numbered set has a gap: a part after the first missing number exists.
  kPartMissing = 2,
  // An image file exists but cannot be opened or read (permission, I/O
  // error, a link where the file itself is wanted), a part of a set is the
  // same file as another, or its compressed stream is damaged: cut short,
  // corrupt, failing its checksum, or followed by anything but another
  // stream of its format.
  kImageUnreadable = 3,
  // Not an image of a known format: no data at all, not a regular file, or
  // compressed in a format this build has no decoder for.
  kUnknownFormat = 4,
  // A base image was given, but raw images have none.
  kBaseImageNotSupported = 5,
  // Encryption or a password was asked for, but raw images have none.
  kEncryptionNotSupported = 6,
  // The temp file for written data, or the file for a compressed image's index,
  // cannot be created or used.
  kTempFileUnusable = 7,
  kOutOfMemory = 8,
  // The image path is null or empty.
  kInvalidArgument = 9,
  // Opened; the data size is not a whole number of 512-byte sectors, so its
  // tail is padded with zeros.
  kOpenedWithPaddedTail = 10,
  // More parts than three digits can number, more than the process can
  // hold open, a size that would overflow, or a compressed stream whose data
  // passes the bound ($VSIMGPVD_MAX_DATA).
  kImageTooLarge = 11,
  kAlreadyInitialised = 12,
  // The progress callback answered that the index pass is not to go on.
  kCancelled = 13,
};

// The results of the sector range queries.
enum RangeResult : uint32_t {
  // The range around the sector is filled in.
  kRangeFound = 0,
  // The sector lies past the end of the image data.
  kSectorPastEnd = 1,
  // The image has no base image.
  kNoBaseImage = 2,
  // The instance is not initialised (or no range was given to fill).
  kRangeNotInitialised = 3,
};

}  // namespace vsimgpvd
