#pragma once

#include <ostream>

#include "ExitCode.h"

// `vkbvd umount`: unmounts the mounted image and says plainly whether its
// disk, partitions and mount points are gone, or what stays.
class UmountCommand {
 public:
  UmountCommand(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  ExitCode run();

 private:
  std::ostream& out_;
  std::ostream& err_;
};
