#pragma once

#include <cstdint>

// What the results of opening an image mean, in words for a person: the codes
// of VirtualImageManager::openImage and the ones the mount call adds to them
// (-9, -15, -18, -19). Tools and clients show these texts.
const char* imageResultText(int32_t result);
