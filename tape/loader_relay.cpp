#include <algorithm>

#include "tape/decoder_states.h"

namespace mzfextract {

void examine_header(TapeBuffers& b) {
  b.loader_pending = mzf::is_loader_header(b.header);
}

void relay_loader_body(TapeBuffers& b) {
  std::copy_n(b.body + mzf::LOADER_RELAYED_FROM, mzf::LOADER_RELAYED_COUNT,
              b.header + mzf::BODY_LENGTH_OFFSET);
  b.body_length = mzf::header_word(b.header, mzf::BODY_LENGTH_OFFSET);
  b.loader_pending = false;
}

}  // namespace mzfextract
