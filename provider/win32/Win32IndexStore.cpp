#include "provider/ImageFile.h"

namespace vsimgpvd {

// Windows builds keep no index between openings: each is built anew in a temp file.
std::unique_ptr<ImageFile> openStoredIndex(const std::string&) { return nullptr; }

std::unique_ptr<ImageFile> createIndexFile() { return createUnnamedTempFile(); }

bool publishIndexFile(ImageFile&, const std::string&) { return false; }

}  // namespace vsimgpvd
