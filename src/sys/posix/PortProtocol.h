#pragma once

#include <cstdint>
#include <string>

#include "sys/Ports.h"
#include "sys/posix/PrivateDirectory.h"

// How a named port is carried over Unix sockets: a SOCK_SEQPACKET socket in
// the runtime directory; per connection, the client sends its connection
// request (one port message, with its view as a sealed memfd) and its one
// request at once; the server reads the request only after it accepted the
// connection, and replies, or ends the connection unanswered when it refuses.
//
// A client whose connection request has the type kChannelType asks for a
// channel: the socket stays open after the reply and carries one connection
// after another, each a connection request of that type (without a view: the
// first one's stands for the channel) and a request of type kRequestType.
// Anything else on a channel (another message, a descriptor, a request that
// is not where one is due) ends the channel; so does a refusal.
namespace sys::posix::port_protocol {

// The largest client view mapped (the two 1 MiB windows fit many times over).
constexpr uint32_t kMaxViewSize = 64u << 20;

// Header fields of a port message.
constexpr size_t kDataLength = 0;
constexpr size_t kTotalLength = 2;
constexpr size_t kType = 4;
constexpr size_t kClientProcess = 8;
constexpr size_t kClientThread = 12;
constexpr size_t kMessageId = 16;
constexpr size_t kClientViewSize = 20;

constexpr uint16_t kRequestType = 1;
constexpr uint16_t kConnectionRequestType = 10;
// A connection request asking for (or sent on) a channel.
constexpr uint16_t kChannelType = 0x4348;

// The directory of the service's and the driver's sockets: $VKBVD_RUNTIME_DIR,
// or /run/vkbvd.
std::string runtimeDirectory();

// The runtime directory, made when missing and `missing` says so, and
// checked: it is this user's, and no other user may enter it.
PrivateDirectory openRuntimeDirectory(PrivateDirectory::Missing missing);

// The socket path of a port name ("\BaseNamedObjects\vkvdport32" becomes
// BaseNamedObjects.vkvdport32 in the runtime directory); empty for a name
// that cannot be one.
std::string socketPath(const std::u16string& portName);

uint32_t getField32(const PortMessage& message, size_t at);
uint16_t getField16(const PortMessage& message, size_t at);
void putField32(PortMessage& message, size_t at, uint32_t value);
void putField16(PortMessage& message, size_t at, uint16_t value);

}  // namespace sys::posix::port_protocol
