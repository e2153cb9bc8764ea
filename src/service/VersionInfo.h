#pragma once

#include <string>

#include "sys/ModuleInfo.h"

// The version numbers of a program file, read from its version data.
class VersionInfo {
 public:
  bool load(const std::u16string& path);
  // "a.b.c.d" from the fixed file information's two double words.
  std::u16string fileVersion() const;
  std::u16string productVersion() const;

  // Writes the "[VERSION INFO]" block about the running program to the debug log.
  static void logReport();

 private:
  sys::FixedFileInfo fixed_{};
};
