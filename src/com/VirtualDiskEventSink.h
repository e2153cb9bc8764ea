#pragma once

#include <cstdint>
#include <string>

// One client's receiver of the mount service's events, as a binding delivers
// them (an IDispatch sink on Windows, a bus connection on Linux). Each call
// delivers one event synchronously and tells what came of it.
class VirtualDiskEventSink {
 public:
  // What one event call came to: the sink's own result, or the failure to
  // build the call's arguments (no memory for a string copy), which ends the
  // firing at this sink.
  struct Answer {
    static Answer delivered(int32_t result) { return {true, result}; }
    static Answer argumentsNotBuilt(int32_t error) { return {false, error}; }

    bool argumentsBuilt;
    int32_t result;  // an HRESULT: the sink's, or why the arguments could not be built
  };

  virtual ~VirtualDiskEventSink() = default;

  // onEnumMounted: the mounted disk's connection tag and image path, both
  // empty when nothing is mounted.
  virtual Answer onEnumMounted(const std::u16string& mountTag, const std::u16string& imagePath) = 0;
  // onImageIndexProgress: the image part being indexed and its sector counts.
  // The event's user data is always empty, so the binding adds it.
  virtual Answer onImageIndexProgress(int32_t imagePartNumber, double totalSectors, double sectorsProcessed) = 0;
};
