// The facts of the tape format: how blocks stand on tape (data, then a checksum of its 1 bits,
// high byte first), how large they can be, and the tape marks that announce them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tape/tape_header.h"

namespace mzfextract {

inline constexpr std::size_t CHECKSUM_SIZE = 2;  // stored high byte first
inline constexpr std::size_t HEADER_BLOCK_SIZE = HEADER_SIZE + CHECKSUM_SIZE;
inline constexpr std::size_t MAX_BODY_LENGTH = 65535;
inline constexpr std::size_t BODY_AREA_SIZE = MAX_BODY_LENGTH + CHECKSUM_SIZE + 1;

// A tape mark is this many long pulses, then as many short ones.
inline constexpr int HEADER_MARK_PULSES = 40;
inline constexpr int BODY_MARK_PULSES = 20;
inline constexpr int BITS_PER_BYTE = 8;

// Pulse lengths at nominal tape speed, both halves together, in microseconds.
inline constexpr double SHORT_PULSE_US = 504;
inline constexpr double LONG_PULSE_US = 958;

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

}  // namespace mzfextract
