// Sends one sector request to the mount service's port, as the virtual-disk
// driver does, and prints the reply:
//   vkbvd-port read OFFSET LENGTH [--out FILE]
//   vkbvd-port write OFFSET FILE
// The port lives in $VKBVD_RUNTIME_DIR (default /run/vkbvd).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/NtStatus.h"
#include "lpc/LpcDiskMessage.h"
#include "sys/posix/PortClient.h"

namespace {

constexpr uint32_t kViewSize = 2 * LpcDiskMessage::kWindowSize;
constexpr std::chrono::milliseconds kTimeout{15000};

int usage() {
  std::fputs("usage: vkbvd-port read OFFSET LENGTH [--out FILE]\n       vkbvd-port write OFFSET FILE\n", stderr);
  return 1;
}

bool parseNumber(const char* text, uint64_t& value) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(text, &end, 0);
  return errno == 0 && *end == '\0' && text[0] != '-';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  const std::string command = argv[1];
  uint64_t offset = 0;
  if (!parseNumber(argv[2], offset)) return usage();

  sys::posix::PortClient client(LpcDiskMessage::kPortName);
  if (!client.createView(kViewSize)) {
    std::fprintf(stderr, "vkbvd-port: cannot make the shared view\n");
    return 2;
  }
  LpcDiskMessage message;
  message.setOffset(offset);
  std::string outPath;
  if (command == "read") {
    uint64_t length = 0;
    if (!parseNumber(argv[3], length) || length > UINT32_MAX) return usage();
    if (argc == 6 && std::strcmp(argv[4], "--out") == 0) {
      outPath = argv[5];
    } else if (argc != 4) {
      return usage();
    }
    message.setOp(LpcDiskMessage::LPC_OP_READ);
    message.setLength(static_cast<uint32_t>(length));
  } else if (command == "write" && argc == 4) {
    std::ifstream in(argv[3], std::ios::binary);
    const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad() || data.size() > LpcDiskMessage::kWindowSize) {
      std::fprintf(stderr, "vkbvd-port: cannot read %s, or it is larger than 1 MiB\n", argv[3]);
      return 2;
    }
    std::memcpy(client.view() + LpcDiskMessage::kWindowSize, data.data(), data.size());
    message.setOp(LpcDiskMessage::LPC_OP_WRITE);
    message.setLength(static_cast<uint32_t>(data.size()));
  } else {
    return usage();
  }

  const int32_t status = client.request(message.message(), kTimeout);
  if (!NtStatus::succeeded(status)) {
    std::printf("connection failed: 0x%08X\n", static_cast<uint32_t>(status));
    return 3;
  }
  std::printf("status=%u result=%u\n", message.status(), message.result());
  if (!outPath.empty()) {
    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(client.view()), message.result());
    if (!out) return 2;
  }
  return 0;
}
