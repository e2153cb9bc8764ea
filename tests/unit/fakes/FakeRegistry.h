#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/WideString.h"
#include "common/WinError.h"
#include "sys/Registry.h"

// A registry scripted by the test. Keys are full paths under the root, as
// they were created; each call is recorded in order ("open PATH 0x201",
// "create PATH 0x0 0x20206", "set NAME 1 SIZE", "close"), and keys whose open
// or create is to fail, and values whose write is to fail, are given with
// their errors. Open handles are tracked, so a test sees a handle never
// closed or closed twice. Thread-safe.
class FakeRegistry : public sys::Registry {
 public:
  struct Value {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    bool operator==(const Value&) const = default;
  };

  std::set<std::u16string> keys;
  std::map<std::u16string, uint32_t> openErrors;    // by key path
  std::map<std::u16string, uint32_t> createErrors;  // by key path
  std::map<std::u16string, uint32_t> setErrors;     // by value name
  uint32_t openForSetError = 0;                     // every open that asks for KEY_SET_VALUE
  std::map<std::u16string, Value> values;           // by "KEY PATH|NAME"

  std::vector<std::string> calls() {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  std::map<Key, std::u16string> openKeys() {
    const std::lock_guard lock(mutex_);
    return open_;
  }
  Value value(const std::u16string& keyPath, const std::u16string& name) {
    const std::lock_guard lock(mutex_);
    return values.at(keyPath + u"|" + name);
  }

  uint32_t openKeyEx(Key parent, const std::u16string& subKey, uint32_t access, Key& key) override {
    const std::lock_guard lock(mutex_);
    calls_.push_back("open " + wide::toUtf8(subKey) + " " + hex(access));
    key = 0;
    if (parent != HKEY_LOCAL_MACHINE) return WinError::InvalidHandle;
    if (openErrors.contains(subKey)) return openErrors.at(subKey);
    if ((access & KEY_SET_VALUE) && openForSetError) return openForSetError;
    if (!keys.contains(subKey)) return WinError::FileNotFound;
    key = next_++;
    open_[key] = subKey;
    return 0;
  }
  uint32_t createKeyEx(Key parent, const std::u16string& subKey, uint32_t options, uint32_t access, Key& key) override {
    const std::lock_guard lock(mutex_);
    calls_.push_back("create " + wide::toUtf8(subKey) + " " + hex(options) + " " + hex(access));
    key = 0;
    if (parent != HKEY_LOCAL_MACHINE) return WinError::InvalidHandle;
    if (createErrors.contains(subKey)) return createErrors.at(subKey);
    for (size_t at = subKey.find(u'\\'); at != std::u16string::npos; at = subKey.find(u'\\', at + 1)) {
      keys.insert(subKey.substr(0, at));
    }
    keys.insert(subKey);
    key = next_++;
    open_[key] = subKey;
    return 0;
  }
  uint32_t setValueEx(Key key, const std::u16string& name, uint32_t type, const void* data, uint32_t size) override {
    const std::lock_guard lock(mutex_);
    calls_.push_back("set " + wide::toUtf8(name) + " " + std::to_string(type) + " " + std::to_string(size));
    if (!open_.contains(key)) return WinError::InvalidHandle;
    if (setErrors.contains(name)) return setErrors.at(name);
    const auto* bytes = static_cast<const uint8_t*>(data);
    values[open_.at(key) + u"|" + name] = Value{type, std::vector<uint8_t>(bytes, bytes + size)};
    return 0;
  }
  uint32_t closeKey(Key key) override {
    const std::lock_guard lock(mutex_);
    calls_.push_back(open_.erase(key) == 1 ? "close" : "close of a key not open");
    return 0;
  }

 private:
  static std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", value);
    return text;
  }

  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::map<Key, std::u16string> open_;
  Key next_ = 1;
};
