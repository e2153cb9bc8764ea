#pragma once

#include <string>

class OptionMap;

// The service's start and its orderly end, the same on every platform: what
// the host runs once the process is to serve, and once it is told to stop.
// All operations are static; the host calls each once, from one thread.
class App {
 public:
  // Makes the image lock, then opens the debug log named by the start option
  // "-log" and writes the version report into it. Without "-log" there is no
  // log; with an empty or unusable path the log stays closed, silently.
  static void startup(const OptionMap& options);
  // The stop's first step: cancels a mount in progress and waits for it to
  // end (at most MountSession::kStopWait); no mount begins afterwards, so
  // the driver is asked for no disk once the stop has gone on.
  static void stopMounts();
  // Closes the image, drops the volume registration, ends the volume probes,
  // empties the mounted-drive record, logs "App::shutdown OK" and closes the
  // debug log. A disk the driver still holds is left to it.
  static void shutdown();

#ifdef _WIN32
  // The program's string resource `id` (100: the service's name, 200: its
  // description) in `text`; true when it holds 1 to 511 characters.
  static bool loadString(unsigned id, std::u16string& text);
  // Sets the description of the installed service `serviceName`. Its lines
  // go to the debug log (which a registration has not opened); a failure
  // changes nothing else.
  static void setServiceDescription(const std::u16string& serviceName, const std::u16string& description);
#endif
};
