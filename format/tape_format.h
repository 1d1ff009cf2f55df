// The facts of the tape format, shared by every program here: the header record that precedes
// every program on tape and opens every MZF file, how blocks stand on tape (data, then a checksum
// of its 1 bits, high byte first), how large they can be, the tape marks that announce them, the
// pulse lengths, and the loader whose body carries the next program's header fields.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mzf {

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

inline constexpr std::size_t CHECKSUM_SIZE = 2;  // stored high byte first
inline constexpr std::size_t HEADER_BLOCK_SIZE = HEADER_SIZE + CHECKSUM_SIZE;
inline constexpr std::size_t MAX_BODY_LENGTH = 65535;
inline constexpr std::size_t BODY_AREA_SIZE = MAX_BODY_LENGTH + CHECKSUM_SIZE + 1;

// A tape mark is this many long pulses, then as many short ones.
inline constexpr int HEADER_MARK_PULSES = 40;
inline constexpr int BODY_MARK_PULSES = 20;
inline constexpr int BITS_PER_BYTE = 8;

// Pulse lengths at nominal tape speed, in microseconds: each pulse is a first half at one level
// and a second half at the other.
inline constexpr double SHORT_FIRST_US = 240, SHORT_SECOND_US = 264;
inline constexpr double LONG_FIRST_US = 464, LONG_SECOND_US = 494;
inline constexpr double SHORT_PULSE_US = SHORT_FIRST_US + SHORT_SECOND_US;  // 504
inline constexpr double LONG_PULSE_US = LONG_FIRST_US + LONG_SECOND_US;     // 958

// Short pulses as written before a header (the long gap), before a body (the short gap), and
// between the two copies of a block.
inline constexpr int LONG_GAP_PULSES = 22000;
inline constexpr int SHORT_GAP_PULSES = 11000;
inline constexpr int COPY_GAP_PULSES = 256;

// A loader is a 90-byte body loaded and started at 0xD400: its header holds these bytes from
// BODY_LENGTH_OFFSET on (length 90, load and execution address 0xD400, low bytes first), and its
// body bytes from LOADER_RELAYED_FROM on carry the length, the addresses and 7 more header bytes
// of the program that follows it on tape.
inline constexpr std::uint8_t LOADER_SIGNATURE[] = {0x5A, 0x00, 0x00, 0xD4, 0x00, 0xD4};
inline constexpr std::size_t LOADER_RELAYED_FROM = 77;
inline constexpr std::size_t LOADER_RELAYED_COUNT = 13;

// Whether the header record announces a loader.
bool is_loader_header(const std::uint8_t* header);

// The tape checksum of `size` bytes: the number of bits set, modulo 65536.
std::uint16_t ones_checksum(const std::uint8_t* bytes, std::size_t size);

// The checksum stored after a block of `size` data bytes: high byte first.
std::uint16_t stored_checksum(const std::uint8_t* block, std::size_t size);

}  // namespace mzf
