#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "sys/Ports.h"
#include "sys/posix/PrivateDirectory.h"
#include "sys/posix/UniqueFd.h"

// How a named port is carried over Unix sockets: a SOCK_SEQPACKET socket in
// the runtime directory; per connection, the client sends its connection
// request (one port message, with its view as a sealed memfd) and its one
// request at once; the server reads the request only after it accepted the
// connection, and replies, or ends the connection unanswered when it refuses.
//
// A client whose connection request has the type kChannelType asks for a
// channel: the socket stays open, and its first reply brings two eventfds,
// the channel's bells. Every later connection goes through the mailbox, a
// page of the client's memfd after its view: the client writes its request
// there and rings the request bell once; the service copies the request out,
// writes its reply there and rings the reply bell. The socket then carries
// nothing more: anything sent on it, or a bell rung more than once per
// connection, ends the channel; so does a refusal (the service shuts the
// socket down). The reply bell is a wake-up only: the reply is there when
// the reply's sequence number is the request's. A channel whose memfd has no
// room for its mailbox gets a single connection.
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

// The mailbox: at the first page border after the view the client claims;
// the request at its start, the reply after it, then the request's sequence
// number (the client's) and the sequence number of the request last replied
// to (the service's, written after the reply), by which a client that waits
// without sleeping sees its reply come.
constexpr uint32_t kMailboxSize = 4096;
constexpr size_t kMailboxRequest = 0;
constexpr size_t kMailboxReply = 64;
constexpr size_t kMailboxRequestSequence = 128;
constexpr size_t kMailboxReplySequence = 132;
constexpr uint64_t mailboxOffset(uint32_t viewSize) {
  return (static_cast<uint64_t>(viewSize) + kMailboxSize - 1) / kMailboxSize * kMailboxSize;
}
// A sequence word of a mailbox, shared with the other process.
inline std::atomic_ref<uint32_t> mailboxWord(uint8_t* mailbox, size_t at) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(mailbox + at));
}

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

// Sends `message` on `socket` with `descriptors` (at most two) passed along;
// false unless the whole message went.
bool sendMessage(int socket, const PortMessage& message, std::initializer_list<int> descriptors);

// Takes ownership of every descriptor a received message brought, however
// many and in however many control messages, so that none stays open
// whatever becomes of the message. A truncated control message still brings
// those that fit.
std::vector<UniqueFd> takePassedDescriptors(msghdr& header);

uint32_t getField32(const PortMessage& message, size_t at);
uint16_t getField16(const PortMessage& message, size_t at);
void putField32(PortMessage& message, size_t at, uint32_t value);
void putField16(PortMessage& message, size_t at, uint16_t value);

}  // namespace sys::posix::port_protocol
