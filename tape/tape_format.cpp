#include "tape/tape_format.h"

#include <algorithm>
#include <bit>
#include <iterator>

namespace mzfextract {

std::uint16_t ones_checksum(const std::uint8_t* bytes, std::size_t size) {
  std::uint16_t total = 0;
  for (std::size_t i = 0; i < size; ++i) {
    total = static_cast<std::uint16_t>(total + std::popcount(bytes[i]));
  }
  return total;
}

std::uint16_t stored_checksum(const std::uint8_t* block, std::size_t size) {
  return static_cast<std::uint16_t>(block[size] << 8 | block[size + 1]);
}

bool is_loader_header(const std::uint8_t* header) {
  return std::equal(std::begin(LOADER_SIGNATURE), std::end(LOADER_SIGNATURE),
                    header + BODY_LENGTH_OFFSET);
}

}  // namespace mzfextract
