#include <algorithm>
#include <iterator>

#include "tape/decoder_states.h"

namespace mzfextract {

namespace {

// Body length 90, load address 0xD400 and execution address 0xD400, low bytes first.
constexpr std::uint8_t LOADER_SIGNATURE[] = {0x5A, 0x00, 0x00, 0xD4, 0x00, 0xD4};
// The loader keeps the next program's length, addresses and 7 more header bytes here.
constexpr std::size_t RELAYED_FROM = 77;
constexpr std::size_t RELAYED_COUNT = 13;

}  // namespace

void examine_header(TapeBuffers& b) {
  b.loader_pending = std::equal(std::begin(LOADER_SIGNATURE), std::end(LOADER_SIGNATURE),
                                b.header + BODY_LENGTH_OFFSET);
}

void relay_loader_body(TapeBuffers& b) {
  std::copy_n(b.body + RELAYED_FROM, RELAYED_COUNT, b.header + BODY_LENGTH_OFFSET);
  b.body_length = header_word(b.header, BODY_LENGTH_OFFSET);
  b.loader_pending = false;
}

}  // namespace mzfextract
