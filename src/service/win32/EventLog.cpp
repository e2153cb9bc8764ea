#include "service/win32/EventLog.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "service/win32/ServiceStrings.h"

namespace EventLog {

namespace {

std::atomic<bool> console{false};
std::mutex targetMutex;
std::function<void(const std::wstring&)> testTarget;

void writeEntry(const std::wstring& text) {
  const HANDLE source = RegisterEventSourceW(nullptr, ServiceStrings::serviceName().c_str());
  if (!source) return;
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace

void report(const std::wstring& text) {
  {
    const std::lock_guard<std::mutex> guard(targetMutex);
    if (testTarget) return testTarget(text);
  }
  writeEntry(text);
  if (console) {
    std::fwprintf(stdout, L"%ls\n", text.c_str());
    std::fflush(stdout);
  }
}

void setToConsole(bool toConsole) { console = toConsole; }

std::function<void(const std::wstring&)> swapTarget(std::function<void(const std::wstring&)> target) {
  const std::lock_guard<std::mutex> guard(targetMutex);
  std::swap(testTarget, target);
  return target;
}

}  // namespace EventLog
