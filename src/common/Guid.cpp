#include "common/Guid.h"

#include "common/LogFormatter.h"

Guid Guid::fromBytes(const uint8_t* bytes) {
  Guid guid;
  guid.data1 = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
               static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  guid.data2 = static_cast<uint16_t>(bytes[4] | bytes[5] << 8);
  guid.data3 = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
  for (size_t i = 0; i < guid.data4.size(); ++i) guid.data4[i] = bytes[8 + i];
  return guid;
}

void Guid::toBytes(uint8_t* bytes) const {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) bytes[4 + i] = static_cast<uint8_t>(data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) bytes[6 + i] = static_cast<uint8_t>(data3 >> (8 * i));
  for (size_t i = 0; i < data4.size(); ++i) bytes[8 + i] = data4[i];
}

std::u16string Guid::toString() const {
  const auto& d = data4;
  return formatLogMessage(u"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                          {data1, data2, data3, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]});
}
