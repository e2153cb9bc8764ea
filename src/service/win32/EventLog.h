#pragma once

#include <functional>
#include <string>

// The service's reports ("Service started/resumed", "Service stopped",
// "Handler not installed", "Bad service request"): information entries in
// the event log, from the source named after the service; in a plain local
// server also on the console.
namespace EventLog {

void report(const std::wstring& text);
// Whether reports also go to the console (not in service mode).
void setToConsole(bool toConsole);
// Replaces where reports go (tests); returns the previous target, empty for
// the event log.
std::function<void(const std::wstring&)> swapTarget(std::function<void(const std::wstring&)> target);

}  // namespace EventLog
