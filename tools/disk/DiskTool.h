#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The vkbvd-disk command: opens a backup image the way the mount service does
// and shows its synthesized disk (info) or writes it to a file (dump), reading
// it exactly as the virtual-disk driver would.
class DiskTool {
 public:
  enum ExitCode { Success = 0, UsageError = 1, OpenFailed = 2, OutputFailed = 3 };

  int run(const std::vector<std::u16string>& arguments);

 private:
  struct Options {
    std::u16string command;
    std::u16string image;
    std::u16string output;
    std::u16string logPath;
    uint32_t blockSize = 512;
  };

  static bool parse(const std::vector<std::u16string>& arguments, Options& options, std::string& error);
  static int open(const Options& options, uint64_t& diskSize, uint32_t& blockSize);
  static int info(const Options& options);
  static int dump(const Options& options);
};
