#pragma once

#include <ostream>

#include "ExitCode.h"

// `vkbvd list`: the mounted image as the service names it ("first_tag:
// IMAGE") or "nothing mounted", and, from the mounted-drive record, its
// volume's device and mount points.
class ListCommand {
 public:
  ListCommand(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  ExitCode run();

 private:
  void printRecord();

  std::ostream& out_;
  std::ostream& err_;
};
