// The tape header record that precedes every program on tape, the block checksum, and the
// layout of the MZF file: the 128 header bytes followed by exactly the body bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mzfextract {

inline constexpr std::size_t HEADER_SIZE = 128;  // the TapeHeader record
inline constexpr std::size_t CHECKSUM_SIZE = 2;  // stored high byte first
inline constexpr std::size_t HEADER_BLOCK_SIZE = HEADER_SIZE + CHECKSUM_SIZE;
inline constexpr std::size_t MAX_BODY_LENGTH = 65535;
inline constexpr std::size_t BODY_AREA_SIZE = MAX_BODY_LENGTH + CHECKSUM_SIZE + 1;

// Field offsets within the header record: a first byte, the name, then the body length, load
// address and execution address (16 bits each, low byte first), then 104 more bytes.
inline constexpr std::size_t NAME_OFFSET = 1;
inline constexpr std::size_t NAME_LENGTH = 17;
inline constexpr std::size_t BODY_LENGTH_OFFSET = 18;
inline constexpr std::uint8_t NAME_END = 0x0D;

// The tape checksum of `size` bytes: the number of bits set, modulo 65536.
std::uint16_t ones_checksum(const std::uint8_t* bytes, std::size_t size);

// The checksum stored after a block of `size` data bytes: high byte first.
std::uint16_t stored_checksum(const std::uint8_t* block, std::size_t size);

// A little-endian 16-bit field of the header, such as the body length.
std::uint16_t header_word(const std::uint8_t* header, std::size_t offset);

}  // namespace mzfextract
