// The block reader one period at a time, private to tape/: its state in a record that a loop
// keeps in registers, shared by the decoder's own loop over a buffer's crossings and by the
// decoder riding on the detector. Every byte on tape is a start pulse followed by 8 bits, most
// significant first; a period longer than the threshold t0 is a 1, any other a 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "tape/tape_decoder.h"

namespace mzfextract {

inline constexpr std::uint32_t DUMP_BYTES_PER_LINE = 8;
inline constexpr std::uint32_t DUMP_BYTES_PER_PARAGRAPH = 256;
inline constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

// The hex dump of the bytes read by one run of periods, gathered here and written with one
// fwrite() before anything else is printed and before the run ends: the trace receives exactly
// the characters that printing "%02X " and each newline one by one would give it, in the same
// order, and stdio writes them out at the same points as it fills its buffer.
struct Dump {
  std::FILE* trace;
  std::size_t length;
  char text[256];
};

inline void dump_flush(Dump& dump) {
  if (dump.length > 0) std::fwrite(dump.text, 1, dump.length, dump.trace);
  dump.length = 0;
}

// Appends "%02X " and, after every line or paragraph of bytes, its newlines (at most 5 characters).
inline void dump_byte(Dump& dump, std::uint8_t byte, std::uint32_t bytes_read, bool body) {
  if (dump.length > sizeof dump.text - 5) dump_flush(dump);
  char* cell = dump.text + dump.length;
  cell[0] = HEX_DIGITS[byte >> 4];
  cell[1] = HEX_DIGITS[byte & 0xF];
  cell[2] = ' ';
  std::size_t length = 3;
  if (bytes_read % DUMP_BYTES_PER_LINE == 0) cell[length++] = '\n';
  if (body && bytes_read % DUMP_BYTES_PER_PARAGRAPH == 0) cell[length++] = '\n';
  dump.length += length;
}

// The bit a period stands for, 1 when it is longer than `zero_at_most` (see block_read_of()),
// taken from the sign of their difference so that the compiler cannot make a branch of it: the
// bits of a block would make that branch go wrong every other time. The difference cannot
// overflow for the periods the detector gives (at least 1), and it agrees with comparing the
// period with t0 in double precision for every period below 2^53 samples, far beyond any
// recording.
inline unsigned bit_of(std::int64_t period, std::int64_t zero_at_most) {
  return static_cast<unsigned>(
      (static_cast<std::uint64_t>(zero_at_most) - static_cast<std::uint64_t>(period)) >> 63);
}

// A run of periods read into the block in progress. Neither the threshold nor the block's size
// changes while the block is read; the byte in progress and the counters stay here, and the
// block and the decoder's record get them back when the run ends.
struct BlockRead {
  std::uint8_t* block;
  std::uint32_t block_size;
  std::int64_t zero_at_most;  // the longest period that reads as a 0
  std::int32_t bit_index;     // 0: a start pulse is due; 1 to 8: start pulse and bits received
  std::uint32_t byte_index;
  unsigned byte;
  bool body;  // a body checks its start pulses and has an empty line every 256 dumped bytes
  Dump dump;
};

// Begins a run on the block the decoder reads (it is in DecoderState::READ_HEADER or
// DecoderState::READ_BODY).
BlockRead block_read_of(TapeDecoder& decoder);

// Reports a body's missing start pulse, for the crossing at `index` of a buffer whose first
// sample follows `samples_before` others.
void report_missing_start_pulse(BlockRead& run, std::int64_t samples_before, std::uint32_t index);

// Takes one period, of the crossing at `index` of the buffer. Returns true when it completes
// the block.
inline bool block_period(BlockRead& run, std::int64_t period, std::int64_t samples_before,
                         std::uint32_t index) {
  const unsigned bit = bit_of(period, run.zero_at_most);
  if (run.bit_index == 0) {
    run.byte = 0;
    // A header's start pulses are taken as they come; a body's must be long. A missing one is
    // reported and the next period is taken as the start pulse again.
    if (run.body && bit == 0) {
      report_missing_start_pulse(run, samples_before, index);
      return false;
    }
    run.bit_index = 1;
    return false;
  }
  run.byte = (run.byte << 1 | bit) & 0xFF;
  if (++run.bit_index <= mzf::BITS_PER_BYTE) return false;
  run.block[run.byte_index] = static_cast<std::uint8_t>(run.byte);
  ++run.byte_index;
  dump_byte(run.dump, static_cast<std::uint8_t>(run.byte), run.byte_index, run.body);
  run.bit_index = 0;
  return run.byte_index == run.block_size;
}

// Ends a run: the decoder's record takes the state back and the dump is written. When the last
// period completed the block, checks and reports it and returns TapeEvent::PROGRAM_COMPLETE for a
// body other than a loader's; otherwise TapeEvent::NONE.
TapeEvent block_read_end(TapeDecoder& decoder, BlockRead& run, bool complete);

}  // namespace mzfextract
