#include "service/DebugLog.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "common/Lock.h"
#include "sys/Platform.h"

namespace {

using std::chrono::milliseconds;

// A writer that cannot get the log within this time drops its message rather
// than stall the thread it runs on.
constexpr milliseconds kWriteWait{2000};
constexpr milliseconds kOpenCloseWait{10000};

struct LogState {
  Lock lock;
  std::unique_ptr<sys::TextFile> file;
  std::atomic<bool> open{false};
};

// Never destroyed: threads that outlive main() may still call debugLog.
LogState& state() {
  static LogState* instance = new LogState;
  return *instance;
}

// Closes the log when the process exits normally.
struct CloseAtExit {
  ~CloseAtExit() { closeDebugLog(); }
} closeAtExit;

// Swaps in `file` (or none) as the log; false when the log stayed busy.
bool replaceLogFile(std::unique_ptr<sys::TextFile> file) {
  LogState& log = state();
  ScopedLock guard(log.lock, kOpenCloseWait);
  if (!guard.locked()) {
    // A writer is stuck in the system: stop new messages and leave the stream to it.
    log.open = false;
    return false;
  }
  log.file = std::move(file);
  log.open = log.file != nullptr;
  return true;
}

}  // namespace

void openDebugLog(const char16_t* path) {
  if (!path) return;
  uint32_t error = 0;
  auto file = sys::platform().fileSystem().openTextFile(path, sys::FileSystem::OpenMode::Truncate, error);
  const bool opened = file != nullptr;
  if (replaceLogFile(std::move(file)) && opened) debugLog(u"\n");
}

void closeDebugLog() { replaceLogFile(nullptr); }

bool debugLogIsOpen() { return state().open.load(std::memory_order_acquire); }

void writeDebugLog(std::u16string_view format, std::span<const LogArg> args) {
  const std::string bytes = toLogBytes(formatLogMessage(format, args));
  LogState& log = state();
  ScopedLock guard(log.lock, kWriteWait);
  if (guard.locked() && log.file) log.file->write(bytes);
}
