// The tape header record that precedes every program on tape and opens every MZF file: 128
// bytes holding a first byte, the program's name, its body length and its two addresses.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mzfextract {

inline constexpr std::size_t HEADER_SIZE = 128;

// Field offsets within the record: a first byte, the name, then the body length, load address
// and execution address (16 bits each, low byte first), then 104 more bytes.
inline constexpr std::size_t NAME_OFFSET = 1;
inline constexpr std::size_t NAME_LENGTH = 17;
inline constexpr std::size_t BODY_LENGTH_OFFSET = 18;
inline constexpr std::size_t LOAD_ADDRESS_OFFSET = 20;
inline constexpr std::size_t EXEC_ADDRESS_OFFSET = 22;
// A name shorter than NAME_LENGTH ends with this code.
inline constexpr std::uint8_t NAME_END = 0x0D;

// A little-endian 16-bit field of the header record, such as the body length.
inline std::uint16_t header_word(const std::uint8_t* header, std::size_t offset) {
  return static_cast<std::uint16_t>(header[offset] | header[offset + 1] << 8);
}

}  // namespace mzfextract
