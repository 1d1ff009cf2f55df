#include <algorithm>

#include "tape/decoder_states.h"

namespace mzfextract {

void examine_header(TapeBuffers& b) {
  b.loader_pending = is_loader_header(b.header);
}

void relay_loader_body(TapeBuffers& b) {
  std::copy_n(b.body + LOADER_RELAYED_FROM, LOADER_RELAYED_COUNT, b.header + BODY_LENGTH_OFFSET);
  b.body_length = header_word(b.header, BODY_LENGTH_OFFSET);
  b.loader_pending = false;
}

}  // namespace mzfextract
