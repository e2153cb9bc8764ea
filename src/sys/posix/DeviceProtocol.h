#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/Guid.h"

// How device interfaces and device control requests are carried on Linux.
//
// Interfaces: each present interface of a class is one SOCK_SEQPACKET socket
// in <runtime directory>/interfaces/<class GUID, lower case with braces>/;
// its path is the interface's device path. The driver creates the socket when
// the interface appears and removes it when it goes.
//
// Control requests on an opened interface (one connection = one open handle,
// one client at a time; several requests may follow one another): the client
// sends a ControlRequestHeader followed by `inputSize` input bytes in one
// message; the driver answers with a ControlReplyHeader followed by
// `bytesReturned` output bytes in one message. All integers little-endian.
// A request is for the user its message's credentials name (SCM_CREDENTIALS,
// which the kernel lets only a privileged sender choose): the user a disk is
// made for; the sender's own user when it names none.
namespace sys::posix::device_protocol {

constexpr uint32_t kRequestMagic = 0x52434B56;  // "VKCR"
constexpr uint32_t kReplyMagic = 0x41434B56;    // "VKCA"
// The largest input or output a request may carry.
constexpr uint32_t kMaxPayload = 64 * 1024;

struct ControlRequestHeader {
  uint32_t magic;
  uint32_t controlCode;
  uint32_t inputSize;
  uint32_t outputSize;  // room the caller has for output
};

struct ControlReplyHeader {
  uint32_t magic;
  uint32_t status;  // a Win32 error: 0 when the request succeeded
  uint32_t bytesReturned;
  uint32_t reserved;
};

static_assert(sizeof(ControlRequestHeader) == 16 && sizeof(ControlReplyHeader) == 16);

// The user a request is for.
struct Requester {
  uid_t uid;
  gid_t gid;
};

// Sends `message` on `fd` in one sendmsg with `flags`, for `requester` when
// given; sendmsg's result (EPERM when the sender may not name that user).
ssize_t sendFor(int fd, const std::vector<uint8_t>& message, const std::optional<Requester>& requester, int flags);
// Receives one message into `buffer` with `flags` (MSG_TRUNC gives its whole
// length), and the user its credentials name, which the receiver asks for with
// SO_PASSCRED; root when it carries none. recvmsg's result.
ssize_t receiveFrom(int fd, std::span<uint8_t> buffer, int flags, uid_t& requester);

// <runtime directory>/interfaces/<class GUID>
std::string interfaceClassDirectory(const Guid& interfaceClass);
// The same below the runtime directory: interfaces/<class GUID>.
std::string interfaceClassSubdirectory(const Guid& interfaceClass);

// The directory of the identity files below the runtime directory.
constexpr const char* kIdentityDirectory = "identity";

// The storage identity of a whole-disk block device the driver presents
// (e.g. "loop3"): <runtime directory>/identity/<device name>, a text file of
// "vendor=", "product=", "revision=" and "serial=" lines, as the disk's SCSI
// inquiry data would give them.
std::string identityFile(const std::string& blockDeviceName);

// The line the driver adds to a disk's identity file once it has mounted the
// disk's volumes (or found none to mount): the mount points read from then on
// are those the volumes keep.
constexpr const char* kVolumesSettledLine = "volumes=settled";

}  // namespace sys::posix::device_protocol
