#pragma once

#include <string>

// The program's string resources: the service's name and its description.
namespace ServiceStrings {

constexpr unsigned kServiceName = 100;
constexpr unsigned kServiceDescription = 200;

// Loads string resource `id` of the program into `text`; true when it holds
// between 1 and 511 characters.
bool loadString(unsigned id, std::wstring& text);
// String resource 100, or its text as built in when it cannot be loaded.
std::wstring serviceName();

}  // namespace ServiceStrings
