// Feeds arbitrary bytes to the distributed-notification datagram decoder: it must never crash or
// read out of bounds, and whatever it accepts must encode back to the very same bytes (the format
// has exactly one encoding per name).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "notifications/detail/dnc_datagram.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto name = platform::dnc::decodeDatagram(data, size);
  if (!name) return 0;
  if (name->size() > platform::dnc::kMaxDatagramName) std::abort();
  const std::string encoded = platform::dnc::encodeDatagram(*name);
  if (encoded.size() != size || std::memcmp(encoded.data(), data, size) != 0) std::abort();
  return 0;
}
