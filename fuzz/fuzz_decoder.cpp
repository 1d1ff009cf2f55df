// Fuzz target: arbitrary pulse periods (any 32-bit value, little-endian) into the tape decoder,
// naming every body it completes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mzf/mzf_output.h"
#include "tape/tape_decoder.h"

namespace {
mzfextract::TapeDecoder decoder;
std::FILE* trace = nullptr;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (trace == nullptr) trace = std::fopen("/dev/null", "w");
  mzfextract::tape_decoder_init(decoder, trace);
  std::int64_t sample_number = 0;
  for (std::size_t i = 0; i + 4 <= size; i += 4) {
    std::int32_t period = 0;
    std::memcpy(&period, data + i, sizeof period);
    sample_number += 30;
    if (mzfextract::on_period(decoder, period, sample_number) ==
        mzfextract::TapeEvent::PROGRAM_COMPLETE) {
      const mzfextract::ProgramView program = mzfextract::finished_program(decoder);
      const mzf::MzfName name = mzf::mzf_file_name(program.header, 1);
      if (name.text[0] == '\0') std::abort();
    }
  }
  return 0;
}
