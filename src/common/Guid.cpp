#include "common/Guid.h"

#include "common/LittleEndian.h"
#include "common/LogFormatter.h"

Guid Guid::fromBytes(const uint8_t* bytes) {
  Guid guid;
  guid.data1 = static_cast<uint32_t>(readLittleEndian(bytes, 4));
  guid.data2 = static_cast<uint16_t>(readLittleEndian(bytes + 4, 2));
  guid.data3 = static_cast<uint16_t>(readLittleEndian(bytes + 6, 2));
  for (size_t i = 0; i < guid.data4.size(); ++i) guid.data4[i] = bytes[8 + i];
  return guid;
}

void Guid::toBytes(uint8_t* bytes) const {
  writeLittleEndian(bytes, 4, data1);
  writeLittleEndian(bytes + 4, 2, data2);
  writeLittleEndian(bytes + 6, 2, data3);
  for (size_t i = 0; i < data4.size(); ++i) bytes[8 + i] = data4[i];
}

std::u16string Guid::toString() const {
  const auto& d = data4;
  return formatLogMessage(u"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                          {data1, data2, data3, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]});
}
