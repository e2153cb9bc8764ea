#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sys/Registry.h"
#include "sys/posix/UniqueFd.h"

namespace sys::posix {

// The registry on Linux: a store of files in the service's state directory,
// $VKBVD_STATE_DIR/registry or /var/lib/vkbvd/registry. Like HKLM\Software
// on Windows, every user may read it and only its owner (the service) may
// change it: what it makes is made so (directories 0755, files 0644,
// whatever the umask), and a store that another user could change is not
// used (PrivateDirectory). A root is
// a top directory ("HKEY_LOCAL_MACHINE"), a key a directory nested as its
// path, a value a text file "<name>.value" in its key's directory:
//
//   type=REG_SZ            (the type's name, or its number)
//   size=4                 (bytes)
//   hex=41000000           (the data, exactly)
//   string=A               (REG_SZ, REG_MULTI_SZ: each string, escaped, for reading)
//
// Names match whatever their case (letters A to Z) and keep the case they
// were created with. In file names '%', '/', control characters and a
// leading '.' or '@' are written as %XX (UTF-8 bytes), and so is the '.' of a
// key name ending in ".value"; the unnamed value is "@.value". Each change is
// written to a new file that is renamed into place, so a value is always
// whole, even after a crash; the temporary files begin with '.', are never
// taken for keys or values, and those of writers no longer running are
// removed by later writes. There is one view: KEY_WOW64_32KEY changes
// nothing. Thread-safe.
class PosixRegistry final : public Registry {
 public:
  struct Value {
    uint32_t type = 0;
    std::vector<uint8_t> data;
  };

  uint32_t openKeyEx(Key parent, const std::u16string& subKey, uint32_t access, Key& key) override;
  uint32_t createKeyEx(Key parent, const std::u16string& subKey, uint32_t options, uint32_t access, Key& key) override;
  uint32_t setValueEx(Key key, const std::u16string& name, uint32_t type, const void* data, uint32_t size) override;
  uint32_t closeKey(Key key) override;

  // Reads a value of a key opened with KEY_QUERY_VALUE (RegQueryValueExW),
  // for tests and diagnosis. A value file that does not parse is error 13.
  uint32_t queryValueEx(Key key, const std::u16string& name, Value& value);

 private:
  struct OpenKey {
    UniqueFd directory;
    uint32_t access = 0;
  };

  // The directory of an open key, or of a predefined root (then opened into
  // `owned`, and created when `create` is set); -1 with the error otherwise.
  int directoryOf(Key key, bool create, UniqueFd& owned, uint32_t& access, uint32_t& error);
  uint32_t openOrCreate(Key parent, const std::u16string& subKey, bool create, uint32_t access, Key& key);

  std::mutex mutex_;
  std::map<Key, OpenKey> keys_;
  Key next_ = Key{1} << 32;
};

}  // namespace sys::posix
