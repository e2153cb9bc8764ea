#pragma once

#include <cstdint>
#include <string>

#include "MountRecord.h"
#include "sys/posix/PosixRegistry.h"

// Reads the mounted-drive record from the service's registry store
// ($VKBVD_STATE_DIR/registry, or /var/lib/vkbvd/registry) through the
// registry's own code, so that the store is read as the service writes it
// and trusted on the same terms. A store, key or value not yet made reads
// as empty. Not thread-safe.
class MountRecordReader {
 public:
  // The record; false with a Win32 error when it cannot be read.
  bool read(MountRecord& record, uint32_t& error);
  // Why the record could not be read, for the user.
  static std::string describeError(uint32_t error);

 private:
  uint32_t readValue(sys::Registry::Key key, const std::u16string& name, uint32_t type,
                     sys::posix::PosixRegistry::Value& value);

  sys::posix::PosixRegistry registry_;
};
