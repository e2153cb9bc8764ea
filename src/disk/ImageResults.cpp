#include "disk/ImageResults.h"

namespace {

constexpr const char* kUnknownResult = "an unknown result";

struct ImageResult {
  int32_t code;
  const char* text;
};

constexpr ImageResult kResults[] = {
    {0, "the image is open"},
    {-1, "the image provider could not make an image instance"},
    {-2, "the image file does not exist"},
    {-3, "a part of the numbered image set is missing"},
    {-4, "the file is not an image of a known format"},
    {-5, "the image file cannot be read"},
    {-6, "this image format takes no base image"},
    {-7, "the image provider failed"},
    {-8, "the image's size or sector size cannot be laid out as a disk"},
    {-9, "the virtual-disk driver cannot be asked, already holds a disk, or cannot create one"},
    {-10, "this image format takes no password"},
    {-11, "the temporary file cannot be used"},
    {-12, "out of memory"},
    {-13, "invalid image path"},
    {-14, "the image is open; its data is not a whole number of sectors, and its tail reads as zeros"},
    {-15, "the image file cannot be read with the caller's rights"},
    {-16, "the image is too large"},
    {-17, "the image instance was already in use"},
    {-18, "the network image file cannot be read with the caller's rights"},
    {-19, "the mount was cancelled"},
};

}  // namespace

const char* imageResultText(int32_t result) {
  for (const ImageResult& known : kResults) {
    if (known.code == result) return known.text;
  }
  return kUnknownResult;
}
