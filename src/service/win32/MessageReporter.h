#pragma once

#include <string>

// The texts a registration shows a person ("Could not open service", ...).
// Each goes to standard error, with the service's name before it. A message
// box shows it too only where a person can answer one: the program has no
// console and runs on a visible window station. So a registration run by a
// script, an installer or a service never waits for a click.
namespace MessageReporter {

void show(const std::wstring& text);

}  // namespace MessageReporter
