#pragma once

#include <string>

// The ids of the program's string resources, and the service's name.
namespace ServiceStrings {

constexpr unsigned kServiceName = 100;
constexpr unsigned kServiceDescription = 200;

// String resource 100, or its text as built in when it cannot be loaded.
std::wstring serviceName();

}  // namespace ServiceStrings
