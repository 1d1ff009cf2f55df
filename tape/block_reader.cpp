// Block reader: header and body blocks are read alike (see tape/block_step.h for a period's
// step); they differ in three things only: a body checks its start pulses, its dump has an empty
// line every 256 bytes, and its length comes from the header. Every byte is dumped.
#include <cstdint>
#include <cstdio>

#include "tape/block_step.h"
#include "tape/decoder_states.h"

namespace mzfextract {

namespace {

// Sample numbers are turned into seconds at this rate, whatever the recording's real rate.
constexpr double NOMINAL_SAMPLE_RATE = 48000.0;

// The longest period that reads as a 0. A period is a 1 when it is longer than t0, and periods
// are whole numbers, so this is t0's whole part: -1 below zero, and the largest number when t0
// is beyond every period.
std::int64_t longest_zero(double t0) {
  constexpr double BEYOND = 9223372036854775808.0;  // 2^63
  if (!(t0 < BEYOND)) return INT64_MAX;
  if (t0 < 0) return -1;
  return static_cast<std::int64_t>(t0);
}

// Prints the block's computed checksum and "crc OK!" when it matches the stored one. Returns
// whether it matched.
bool report_checksum(const TapeDecoder& d, const std::uint8_t* block, std::size_t size) {
  const std::uint16_t computed = mzf::ones_checksum(block, size);
  std::fprintf(d.trace, "\ncrc=%04X\n", computed);
  const bool verified = computed == mzf::stored_checksum(block, size);
  if (verified) std::fputs("crc OK!\n", d.trace);
  return verified;
}

void finish_block(TapeDecoder& d) {
  d.state = DecoderState::SEEK_GAP;
  d.run_count = 0;
  d.bit_index = 0;
}

TapeEvent header_complete(TapeDecoder& d) {
  TapeBuffers& b = d.buffers;
  b.header_verified = report_checksum(d, b.header, mzf::HEADER_SIZE);
  b.body_length = mzf::header_word(b.header, mzf::BODY_LENGTH_OFFSET);
  examine_header(b);
  finish_block(d);
  return TapeEvent::NONE;
}

TapeEvent body_complete(TapeDecoder& d) {
  TapeBuffers& b = d.buffers;
  b.body_verified = report_checksum(d, b.body, b.body_length);
  finish_block(d);
  if (b.loader_pending) {
    relay_loader_body(b);
    return TapeEvent::NONE;
  }
  return TapeEvent::PROGRAM_COMPLETE;
}

}  // namespace

BlockRead block_read_of(TapeDecoder& d) {
  const bool body = d.state == DecoderState::READ_BODY;
  std::uint8_t* const block = body ? d.buffers.body : d.buffers.header;
  const std::uint32_t block_size =
      body ? d.buffers.body_length + mzf::CHECKSUM_SIZE : mzf::HEADER_BLOCK_SIZE;
  // The dump's text is written before it is read: no need to clear it for every run.
  BlockRead run;
  run.block = block;
  run.block_size = block_size;
  run.zero_at_most = longest_zero(d.t0);
  run.bit_index = d.bit_index;
  run.byte_index = d.byte_index;
  run.byte = block[d.byte_index];
  run.body = body;
  run.dump.trace = d.trace;
  run.dump.length = 0;
  return run;
}

void report_missing_start_pulse(BlockRead& run, std::int64_t samples_before, std::uint32_t index) {
  dump_flush(run.dump);
  // In unsigned arithmetic, which wraps where a caller's numbers would overflow; see
  // read_block().
  const auto sample_number =
      static_cast<std::int64_t>(static_cast<std::uint64_t>(samples_before) + index + 1);
  std::fprintf(run.dump.trace, "\nchyba synchronizace %.3fs !!!\n",
               static_cast<double>(sample_number) / NOMINAL_SAMPLE_RATE);
}

TapeEvent block_read_end(TapeDecoder& d, BlockRead& run, bool complete) {
  if (!complete) run.block[run.byte_index] = static_cast<std::uint8_t>(run.byte);
  d.bit_index = run.bit_index;
  d.byte_index = run.byte_index;
  dump_flush(run.dump);
  if (!complete) return TapeEvent::NONE;
  return run.body ? body_complete(d) : header_complete(d);
}

std::size_t read_block_run(TapeDecoder& d, const Crossing* crossings, std::size_t count,
                           std::int64_t samples_before, TapeEvent* event) {
  BlockRead run = block_read_of(d);
  bool complete = false;
  std::size_t i = 0;
  while (i < count && !complete) {
    const Crossing& crossing = crossings[i++];
    complete = block_period(run, crossing.period, samples_before, crossing.index);
  }
  *event = block_read_end(d, run, complete);
  return i;
}

TapeEvent read_block(TapeDecoder& d, std::int64_t period, std::int64_t sample_number) {
  const Crossing crossing{period, 0};
  TapeEvent event = TapeEvent::NONE;
  // One less, wrapping around rather than overflowing; read_block_run() adds it back.
  read_block_run(d, &crossing, 1,
                 static_cast<std::int64_t>(static_cast<std::uint64_t>(sample_number) - 1), &event);
  return event;
}

}  // namespace mzfextract
