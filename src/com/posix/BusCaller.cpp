#include "com/posix/BusCaller.h"

#include <sdbus-c++/Error.h>
#include <sdbus-c++/Message.h>
#include <sdbus-c++/Types.h>

#include <map>

#include "sys/Platform.h"
#include "sys/posix/PosixTokens.h"

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

uint32_t BusCaller::processToActAs() const { return processRunBy(pid_, uid_) ? pid_ : 0; }

bool BusCaller::processRunBy(uint32_t pid, uint32_t uid) {
  sys::Tokens& tokens = sys::platform().tokens();
  sys::Tokens::Handle process = 0;
  if (tokens.openProcess(pid, process) != 0) return false;
  sys::Tokens::Handle token = 0;
  const uint32_t opened = tokens.openProcessToken(process, token);
  tokens.closeHandle(process);
  if (opened != 0) return false;
  bool same = false;
  const uint32_t compared = tokens.isTokenUser(token, sys::posix::userSid(uid), same);
  tokens.closeHandle(token);
  return compared == 0 && same;
}
