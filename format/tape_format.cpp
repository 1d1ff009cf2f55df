#include "format/tape_format.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

namespace mzf {

std::uint16_t ones_checksum(const std::uint8_t* bytes, std::size_t size) {
  // Eight bytes at a time: the same ones, counted with an eighth of the calls (without a
  // population count instruction in the baseline instruction set, each count is a call).
  std::uint64_t total = 0;
  std::size_t i = 0;
  for (; i + sizeof(std::uint64_t) <= size; i += sizeof(std::uint64_t)) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes + i, sizeof word);
    total += static_cast<std::uint64_t>(std::popcount(word));
  }
  for (; i < size; ++i) total += static_cast<std::uint64_t>(std::popcount(bytes[i]));
  return static_cast<std::uint16_t>(total);
}

std::uint16_t stored_checksum(const std::uint8_t* block, std::size_t size) {
  return static_cast<std::uint16_t>(block[size] << 8 | block[size + 1]);
}

bool is_loader_header(const std::uint8_t* header) {
  return std::equal(std::begin(LOADER_SIGNATURE), std::end(LOADER_SIGNATURE),
                    header + BODY_LENGTH_OFFSET);
}

}  // namespace mzf
