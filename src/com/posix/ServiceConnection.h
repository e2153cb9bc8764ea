#pragma once

#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IProxy.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sys/posix/UniqueFd.h"

// The mount service's connection to the system bus (or to the bus that
// DBUS_SYSTEM_BUS_ADDRESS names, as tests give it) and the loop that serves
// it. Method handlers and match callbacks run on the thread that runs the
// loop. Other threads send replies and signals on the connection themselves
// (the library serialises its calls) and then wake the loop, so that what the
// socket did not take at once is sent. Everything that may send holds a share
// of it, so that the connection outlives the last message sent on it.
class ServiceConnection {
 public:
  enum class End { Signalled, Lost };

  // Connects; null, with the reason, when the bus cannot be reached.
  static std::shared_ptr<ServiceConnection> open(std::string& failure);

  sdbus::IConnection& connection() { return *connection_; }
  // The bus daemon (org.freedesktop.DBus), for what it knows of other
  // connections. On the loop's thread only.
  sdbus::IProxy& busDaemon() { return *busDaemon_; }

  // Serves the connection until `stopFd` becomes readable (Signalled) or the
  // connection fails (Lost, with the reason). May run again after Signalled.
  End run(int stopFd, std::string& failure);
  // Makes the loop look at the connection again. Any thread.
  void wake();
  // Runs `task` on the loop's thread once the message being dispatched is
  // done: for work that may not run inside a handler, such as removing the
  // handler's own object. Any thread.
  void post(std::function<void()> task);

 private:
  ServiceConnection(std::unique_ptr<sdbus::IConnection> connection, std::unique_ptr<sdbus::IProxy> busDaemon,
                    sys::posix::UniqueFd wake);
  // Dispatches every message that is waiting, with the posted tasks after each.
  void dispatch();
  void runPosted();
  enum class Wait { Events, Stop, Failed };
  // Waits for the connection, a wake-up or the stop descriptor.
  Wait wait(int stopFd, std::string& failure);

  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> busDaemon_;
  sys::posix::UniqueFd wake_;  // an eventfd
  std::mutex mutex_;           // guards posted_
  std::vector<std::function<void()>> posted_;
};
