#include "com/posix/BusCaller.h"

#include <sdbus-c++/Error.h>
#include <sdbus-c++/Message.h>
#include <sdbus-c++/Types.h>

#include <map>

namespace {

// A credential of the reply that holds a 32-bit unsigned number.
std::optional<uint32_t> numberOf(const std::map<std::string, sdbus::Variant>& credentials, const std::string& name) {
  const auto found = credentials.find(name);
  if (found == credentials.end() || !found->second.containsValueOfType<uint32_t>()) return std::nullopt;
  return found->second.get<uint32_t>();
}

}  // namespace

std::optional<BusCaller> BusCaller::identify(sdbus::IProxy& busDaemon, const std::string& sender) {
  try {
    sdbus::MethodCall query = busDaemon.createMethodCall("org.freedesktop.DBus", "GetConnectionCredentials");
    query << sender;
    sdbus::MethodReply reply = busDaemon.callMethod(query, kQueryTimeout);
    std::map<std::string, sdbus::Variant> credentials;
    reply >> credentials;
    const std::optional<uint32_t> uid = numberOf(credentials, "UnixUserID");
    const std::optional<uint32_t> pid = numberOf(credentials, "ProcessID");
    if (!uid || !pid) return std::nullopt;
    return BusCaller(sender, *uid, *pid);
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
}

std::optional<sys::posix::Identity> BusCaller::identityOf(uint32_t pid, uint32_t uid) {
  std::optional<sys::posix::Identity> identity = sys::posix::readProcessIdentity(pid);
  if (!identity || identity->uid != uid) return std::nullopt;
  return identity;
}
