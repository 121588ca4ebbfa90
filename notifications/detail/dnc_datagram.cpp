#include "notifications/detail/dnc_datagram.h"

#include <cassert>

namespace platform::dnc {

std::string encodeDatagram(std::string_view name) {
  assert(name.size() <= kMaxDatagramName && "notification name longer than the datagram allows");
  std::string datagram;
  datagram.reserve(kDatagramHeaderSize + name.size());
  datagram.push_back(static_cast<char>(kDatagramMagic0));
  datagram.push_back(static_cast<char>(kDatagramMagic1));
  datagram.push_back(static_cast<char>(kDatagramVersion));
  datagram.push_back('\0');
  datagram.append(name);
  return datagram;
}

std::optional<std::string> decodeDatagram(const void* data, std::size_t size) {
  if (size < kDatagramHeaderSize || size > kMaxDatagramSize) return std::nullopt;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (bytes[0] != kDatagramMagic0 || bytes[1] != kDatagramMagic1) return std::nullopt;
  if (bytes[2] != kDatagramVersion || bytes[3] != 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes) + kDatagramHeaderSize,
                     size - kDatagramHeaderSize);
}

}  // namespace platform::dnc
