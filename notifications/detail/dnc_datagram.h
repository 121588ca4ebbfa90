#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Wire format of one distributed notification (version 1):
//
//   offset 0  2 bytes  magic "DN" (0x44 0x4E)
//   offset 2  1 byte   format version, 1
//   offset 3  1 byte   flags, 0 (a receiver ignores a datagram whose flags it does not know)
//   offset 4  n bytes  the notification name, 0 <= n <= kMaxDatagramName, no terminator
//
// The name's length is the datagram's length minus the header: datagram sockets keep message
// boundaries, so no length field is needed.
namespace platform::dnc {

inline constexpr std::uint8_t kDatagramMagic0 = 0x44;  // 'D'
inline constexpr std::uint8_t kDatagramMagic1 = 0x4E;  // 'N'
inline constexpr std::uint8_t kDatagramVersion = 1;
inline constexpr std::size_t kDatagramHeaderSize = 4;
inline constexpr std::size_t kMaxDatagramName = 4096;
inline constexpr std::size_t kMaxDatagramSize = kDatagramHeaderSize + kMaxDatagramName;

// The datagram carrying `name`. The caller has checked the length against kMaxDatagramName.
std::string encodeDatagram(std::string_view name);

// The name carried by a well-formed version 1 datagram; nullopt for anything else.
std::optional<std::string> decodeDatagram(const void* data, std::size_t size);

}  // namespace platform::dnc
