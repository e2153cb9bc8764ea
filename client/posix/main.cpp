#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "ClientArguments.h"
#include "EscapingStreamBuffer.h"
#include "ListCommand.h"
#include "MountCommand.h"
#include "UmountCommand.h"

int main(int argc, char** argv) {
  // A reader that goes away must not end a mount half-reported.
  signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  ClientArguments parsed;
  std::string error;
  if (!ClientArguments::parse(arguments, parsed, error)) {
    std::cerr << "vkbvd: " << error << "\n" << ClientArguments::usage();
    return exitStatus(ExitCode::Usage);
  }
  // What the service answers is printed as text: its control characters escaped.
  EscapingStreamBuffer escapedOut(*std::cout.rdbuf());
  EscapingStreamBuffer escapedErr(*std::cerr.rdbuf());
  std::ostream out(&escapedOut);
  std::ostream err(&escapedErr);
  switch (parsed.command) {
    case ClientCommand::Mount:
      return exitStatus(MountCommand(parsed, out, err, std::cerr, isatty(STDERR_FILENO) == 1).run());
    case ClientCommand::Umount: return exitStatus(UmountCommand(out, err).run());
    case ClientCommand::List: return exitStatus(ListCommand(out, err).run());
    case ClientCommand::Help: break;
  }
  std::cout << ClientArguments::usage();
  return exitStatus(ExitCode::Done);
}
