#include "sys/posix/PosixRegistry.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string_view>

#include "common/WideString.h"
#include "common/WinError.h"
#include "sys/posix/ErrnoMapping.h"
#include "sys/posix/PrivateDirectory.h"
#include "sys/posix/WriteAll.h"

namespace sys::posix {
namespace {

constexpr std::string_view kValueSuffix = ".value";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr std::string_view kUnnamedValue = "@";
constexpr size_t kMaxFileName = 255;
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
// Every user may read the store (as HKLM\Software on Windows); only its owner may change it.
constexpr mode_t kDirectoryMode = S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH;  // 0755
constexpr mode_t kFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;                 // 0644

std::string storeDirectory() {
  const char* configured = std::getenv("VKBVD_STATE_DIR");
  return std::string(configured && *configured ? configured : "/var/lib/vkbvd") + "/registry";
}

const char* rootName(Registry::Key root) {
  return root == Registry::HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : nullptr;
}

// Predefined roots are 32-bit values with the top bit set; open keys are
// numbered from 2^32 up, so the two never meet.
bool isPredefined(Registry::Key key) { return key >> 31 == 1; }

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A name's UTF-8 bytes; false for a name with a lone surrogate, which has none.
bool toUtf8Name(std::u16string_view name, std::string& utf8) {
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return false;
    }
  }
  utf8 = wide::toUtf8(name);
  return true;
}

std::string encodeName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    const bool special = c == '%' || c == '/' || c < 0x20 || c == 0x7F || (i == 0 && (c == '.' || c == '@'));
    if (special) {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0xF];
    } else {
      encoded += static_cast<char>(c);
    }
  }
  return encoded;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string decodeName(std::string_view encoded) {
  std::string name;
  for (size_t i = 0; i < encoded.size(); ++i) {
    const int high = i + 2 < encoded.size() && encoded[i] == '%' ? hexDigit(encoded[i + 1]) : -1;
    const int low = high >= 0 ? hexDigit(encoded[i + 2]) : -1;
    if (low >= 0) {
      name += static_cast<char>(high << 4 | low);
      i += 2;
    } else {
      name += encoded[i];
    }
  }
  return name;
}

std::string keyFileName(std::string_view name) {
  std::string encoded = encodeName(name);
  if (endsWith(encoded, kValueSuffix)) encoded.replace(encoded.size() - kValueSuffix.size(), 1, "%2E");
  return encoded;
}

std::string valueFileName(std::string_view name) {
  return (name.empty() ? std::string(kUnnamedValue) : encodeName(name)) + std::string(kValueSuffix);
}

// The name a directory entry stands for, and whether it is a value's file;
// false for entries that are neither a key nor a value (temp files).
bool nameOfEntry(std::string_view entry, std::string& name, bool& isValue) {
  if (entry.empty() || entry.front() == '.') return false;
  isValue = endsWith(entry, kValueSuffix);
  if (!isValue) {
    name = decodeName(entry);
    return true;
  }
  const std::string_view stem = entry.substr(0, entry.size() - kValueSuffix.size());
  name = stem == kUnnamedValue ? std::string() : decodeName(stem);
  return true;
}

// Names match whatever the case of the letters A to Z; the bytes of other
// characters (UTF-8) never fall into that range.
bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The entries of directory `dir`; false with the error when it cannot be read.
bool listDirectory(int dir, std::vector<std::string>& entries, uint32_t& error) {
  const int fd = openat(dir, ".", kDirectoryFlags);
  std::unique_ptr<DIR, DirCloser> stream(fd >= 0 ? fdopendir(fd) : nullptr);
  if (!stream) {
    error = winErrorFromErrno(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  while (const dirent* entry = readdir(stream.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") entries.emplace_back(name);
  }
  return true;
}

bool hasType(int dir, const std::string& entry, mode_t type) {
  struct stat status {};
  return fstatat(dir, entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && (status.st_mode & S_IFMT) == type;
}

// The entry of `dir` that holds the key or the value `name`, in whatever
// case it was created; empty when there is none.
std::string findEntry(int dir, std::string_view name, bool value, uint32_t& error) {
  std::vector<std::string> entries;
  if (!listDirectory(dir, entries, error)) return {};
  for (const std::string& entry : entries) {
    std::string entryName;
    bool isValue = false;
    if (!nameOfEntry(entry, entryName, isValue) || isValue != value || !sameName(entryName, name)) continue;
    if (hasType(dir, entry, value ? S_IFREG : S_IFDIR)) return entry;
  }
  return {};
}

// Opens the directory `entry` of `dir`, or makes it when `create` is set.
UniqueFd openSubdirectory(int dir, const std::string& entry, bool create, uint32_t& error) {
  const bool made = create && mkdirat(dir, entry.c_str(), kDirectoryMode) == 0;
  if (create && !made && errno != EEXIST) {
    error = winErrorFromErrno(errno);
    return UniqueFd();
  }
  UniqueFd sub(openat(dir, entry.c_str(), kDirectoryFlags));
  if (!sub.valid()) {
    error = winErrorFromErrno(errno);
    return sub;
  }
  if (made) {
    fchmod(sub.get(), kDirectoryMode);  // whatever the umask
    fsync(dir);
  }
  return sub;
}

// Makes each missing directory of `path`, the store's own included, so that
// every user can reach the store; those that exist keep their mode. A
// directory is changed through a descriptor that follows no link, so that
// one put in its place meanwhile is never changed instead.
void makeReadableDirectories(const std::string& path) {
  size_t end = 0;
  do {
    end = path.find('/', end + 1);
    const std::string directory = path.substr(0, end);
    if (mkdir(directory.c_str(), kDirectoryMode) != 0) continue;
    const UniqueFd made(open(directory.c_str(), kDirectoryFlags));
    if (made.valid()) fchmod(made.get(), kDirectoryMode);  // whatever the umask
  } while (end != std::string::npos);
}

UniqueFd openRootDirectory(Registry::Key root, bool create, uint32_t& error) {
  const char* name = rootName(root);
  if (!name) {
    error = WinError::InvalidHandle;
    return UniqueFd();
  }
  const std::string path = storeDirectory();
  if (create) makeReadableDirectories(path);
  // A store that other users could change is not used.
  const PrivateDirectory store(path, PrivateDirectory::Readers::Everyone, PrivateDirectory::Missing::Fail);
  if (!store.valid()) {
    error = winErrorFromErrno(store.error());
    return UniqueFd();
  }
  return openSubdirectory(store.fd(), name, create, error);
}

// The parts of a sub-key path; an empty path is the key itself.
bool splitPath(const std::u16string& path, std::vector<std::string>& parts, uint32_t& error) {
  if (path.empty()) return true;
  size_t begin = 0;
  while (true) {
    const size_t end = std::min(path.find(u'\\', begin), path.size());
    std::string part;
    if (end == begin) {
      error = WinError::BadPathname;
      return false;
    }
    if (!toUtf8Name(std::u16string_view(path).substr(begin, end - begin), part)) {
      error = WinError::InvalidParameter;
      return false;
    }
    if (keyFileName(part).size() > kMaxFileName) {
      error = WinError::FilenameExceedsRange;
      return false;
    }
    parts.push_back(std::move(part));
    if (end == path.size()) return true;
    begin = end + 1;
  }
}

// A writer's temporary file: ".<pid>.<number>.tmp", never a key or a value.
std::string tempName() {
  static std::atomic<unsigned> counter{0};
  return "." + std::to_string(getpid()) + "." + std::to_string(counter++) + std::string(kTempSuffix);
}

// The writer process of a temporary file; 0 when the entry is none.
pid_t writerOf(std::string_view entry) {
  if (entry.size() < 2 || entry.front() != '.' || !endsWith(entry, kTempSuffix)) return 0;
  pid_t pid = 0;
  for (size_t i = 1; i < entry.size() && entry[i] != '.'; ++i) {
    if (entry[i] < '0' || entry[i] > '9' || pid > 99999999) return 0;
    pid = pid * 10 + (entry[i] - '0');
  }
  return pid;
}

// Removes the temporary files that writers which are gone left behind.
void removeDeadWritersFiles(int dir) {
  std::vector<std::string> entries;
  uint32_t ignored = 0;
  if (!listDirectory(dir, entries, ignored)) return;
  for (const std::string& entry : entries) {
    const pid_t writer = writerOf(entry);
    if (writer > 0 && writer != getpid() && kill(writer, 0) != 0 && errno == ESRCH) unlinkat(dir, entry.c_str(), 0);
  }
}

// Puts `content` in place as the file `entry` of `dir` all at once: it is
// written to a new file, flushed to disk, and renamed over the old one.
uint32_t replaceFile(int dir, const std::string& entry, std::string_view content) {
  std::string temp;
  UniqueFd file;
  for (int attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
    temp = tempName();
    file = UniqueFd(openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kFileMode));
    if (!file.valid() && errno != EEXIST) return winErrorFromErrno(errno);
  }
  if (!file.valid()) return WinError::FileExists;
  if (fchmod(file.get(), kFileMode) != 0 || !writeAll(file.get(), content) || fsync(file.get()) != 0 ||
      renameat(dir, temp.c_str(), dir, entry.c_str()) != 0) {
    const int failure = errno;
    unlinkat(dir, temp.c_str(), 0);
    return winErrorFromErrno(failure);
  }
  fsync(dir);
  return WinError::Success;
}

// The names of the value types, by number.
constexpr std::string_view kTypeNames[] = {"REG_NONE",
                                           "REG_SZ",
                                           "REG_EXPAND_SZ",
                                           "REG_BINARY",
                                           "REG_DWORD",
                                           "REG_DWORD_BIG_ENDIAN",
                                           "REG_LINK",
                                           "REG_MULTI_SZ",
                                           "REG_RESOURCE_LIST",
                                           "REG_FULL_RESOURCE_DESCRIPTOR",
                                           "REG_RESOURCE_REQUIREMENTS_LIST",
                                           "REG_QWORD"};

std::string typeName(uint32_t type) {
  return type < std::size(kTypeNames) ? std::string(kTypeNames[type]) : std::to_string(type);
}

bool parseNumber(std::string_view text, uint32_t& number) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return false;
  number = static_cast<uint32_t>(value);
  return true;
}

bool parseType(std::string_view text, uint32_t& type) {
  for (uint32_t known = 0; known < std::size(kTypeNames); ++known) {
    if (text == kTypeNames[known]) {
      type = known;
      return true;
    }
  }
  return parseNumber(text, type);
}

// A string for a "string=" line: UTF-8, with '\\' and control characters escaped.
std::string escapeString(std::u16string_view text) {
  std::string escaped;
  for (const char c : wide::toUtf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (byte < 0x20 || byte == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      escaped += "\\x";
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0xF];
    } else {
      escaped += c;
    }
  }
  return escaped;
}

// The strings of string data: one for REG_SZ (up to its first zero), each
// zero-ended one up to the empty one for REG_MULTI_SZ.
std::vector<std::u16string> stringsOf(uint32_t type, const uint8_t* data, uint32_t size) {
  std::u16string units;
  for (uint32_t i = 0; i + 1 < size; i += 2) units += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  std::vector<std::u16string> strings;
  size_t begin = 0;
  while (begin < units.size() || (begin == 0 && type != Registry::REG_MULTI_SZ)) {
    const size_t end = std::min(units.find(u'\0', begin), units.size());
    if (end == begin && type == Registry::REG_MULTI_SZ) break;
    strings.push_back(units.substr(begin, end - begin));
    if (type != Registry::REG_MULTI_SZ) break;
    begin = end + 1;
  }
  return strings;
}

std::string formatValue(uint32_t type, const uint8_t* data, uint32_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "type=" + typeName(type) + "\nsize=" + std::to_string(size) + "\nhex=";
  text.reserve(text.size() + size * size_t{2} + 1);
  for (uint32_t i = 0; i < size; ++i) {
    text += kHex[data[i] >> 4];
    text += kHex[data[i] & 0xF];
  }
  text += '\n';
  if (type == Registry::REG_SZ || type == Registry::REG_MULTI_SZ) {
    for (const std::u16string& string : stringsOf(type, data, size)) text += "string=" + escapeString(string) + "\n";
  }
  return text;
}

bool parseValue(std::string_view text, PosixRegistry::Value& value) {
  bool haveType = false;
  bool haveSize = false;
  bool haveHex = false;
  uint32_t size = 0;
  std::string_view hex;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.starts_with("type=")) haveType = parseType(line.substr(5), value.type);
    if (line.starts_with("size=")) haveSize = parseNumber(line.substr(5), size);
    if (line.starts_with("hex=")) {
      hex = line.substr(4);
      haveHex = true;
    }
  }
  if (!haveType || !haveSize || !haveHex || hex.size() != size * uint64_t{2}) return false;
  value.data.resize(size);
  for (uint32_t i = 0; i < size; ++i) {
    const int high = hexDigit(hex[2 * i]);
    const int low = hexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    value.data[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

bool readFile(int dir, const std::string& entry, std::string& text, uint32_t& error) {
  UniqueFd file(openat(dir, entry.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!file.valid()) {
    error = winErrorFromErrno(errno);
    return false;
  }
  char buffer[65536];
  while (true) {
    const ssize_t got = read(file.get(), buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = winErrorFromErrno(errno);
      return false;
    }
    if (got == 0) return true;
    text.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace

int PosixRegistry::directoryOf(Key key, bool create, UniqueFd& owned, uint32_t& access, uint32_t& error) {
  if (isPredefined(key)) {
    owned = openRootDirectory(key, create, error);
    access = ~uint32_t{0};
    return owned.valid() ? owned.get() : -1;
  }
  const auto found = keys_.find(key);
  if (found == keys_.end()) {
    error = WinError::InvalidHandle;
    return -1;
  }
  access = found->second.access;
  return found->second.directory.get();
}

uint32_t PosixRegistry::openOrCreate(Key parent, const std::u16string& subKey, bool create, uint32_t access, Key& key) {
  key = 0;
  uint32_t error = WinError::Success;
  std::vector<std::string> parts;
  if (!splitPath(subKey, parts, error)) return error;
  const std::lock_guard<std::mutex> guard(mutex_);
  UniqueFd owned;
  uint32_t parentAccess = 0;
  const int parentDir = directoryOf(parent, create, owned, parentAccess, error);
  if (parentDir < 0) return error;
  UniqueFd dir(openat(parentDir, ".", kDirectoryFlags));
  if (!dir.valid()) return winErrorFromErrno(errno);
  for (const std::string& part : parts) {
    std::string entry = findEntry(dir.get(), part, false, error);
    if (error != WinError::Success) return error;
    if (entry.empty() && !create) return WinError::FileNotFound;
    if (entry.empty()) entry = keyFileName(part);
    dir = openSubdirectory(dir.get(), entry, create, error);
    if (!dir.valid()) return error;
  }
  key = next_++;
  keys_[key] = OpenKey{std::move(dir), access};
  return WinError::Success;
}

uint32_t PosixRegistry::openKeyEx(Key parent, const std::u16string& subKey, uint32_t access, Key& key) {
  return openOrCreate(parent, subKey, false, access, key);
}

uint32_t PosixRegistry::createKeyEx(Key parent, const std::u16string& subKey, uint32_t options, uint32_t access,
                                    Key& key) {
  if (options != REG_OPTION_NON_VOLATILE) {
    key = 0;
    return WinError::NotSupported;
  }
  return openOrCreate(parent, subKey, true, access, key);
}

uint32_t PosixRegistry::setValueEx(Key key, const std::u16string& name, uint32_t type, const void* data,
                                   uint32_t size) {
  std::string utf8;
  if (!toUtf8Name(name, utf8)) return WinError::InvalidParameter;
  if (valueFileName(utf8).size() > kMaxFileName) return WinError::FilenameExceedsRange;
  if (!data && size > 0) return WinError::NoAccess;
  const std::lock_guard<std::mutex> guard(mutex_);
  UniqueFd owned;
  uint32_t access = 0;
  uint32_t error = WinError::Success;
  const int dir = directoryOf(key, true, owned, access, error);
  if (dir < 0) return error;
  if (!(access & KEY_SET_VALUE)) return WinError::AccessDenied;
  std::string entry = findEntry(dir, utf8, true, error);
  if (error != WinError::Success) return error;
  if (entry.empty()) entry = valueFileName(utf8);
  error = replaceFile(dir, entry, formatValue(type, static_cast<const uint8_t*>(data), size));
  removeDeadWritersFiles(dir);
  return error;
}

uint32_t PosixRegistry::closeKey(Key key) {
  if (isPredefined(key)) return WinError::Success;
  const std::lock_guard<std::mutex> guard(mutex_);
  return keys_.erase(key) == 1 ? WinError::Success : WinError::InvalidHandle;
}

uint32_t PosixRegistry::queryValueEx(Key key, const std::u16string& name, Value& value) {
  std::string utf8;
  if (!toUtf8Name(name, utf8)) return WinError::InvalidParameter;
  const std::lock_guard<std::mutex> guard(mutex_);
  UniqueFd owned;
  uint32_t access = 0;
  uint32_t error = WinError::Success;
  const int dir = directoryOf(key, false, owned, access, error);
  if (dir < 0) return error;
  if (!(access & KEY_QUERY_VALUE)) return WinError::AccessDenied;
  const std::string entry = findEntry(dir, utf8, true, error);
  if (error != WinError::Success) return error;
  if (entry.empty()) return WinError::FileNotFound;
  std::string text;
  if (!readFile(dir, entry, text, error)) return error;
  return parseValue(text, value) ? WinError::Success : WinError::InvalidData;
}

}  // namespace sys::posix
