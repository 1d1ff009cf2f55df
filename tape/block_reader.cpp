// Block reader: every byte on tape is a start pulse followed by 8 bits, most significant first;
// a period longer than the threshold t0 is a 1, any other a 0. Every byte is dumped to the trace.
#include <cstdio>

#include "tape/tape_decoder.h"

namespace mzfextract {

namespace {

constexpr int BITS_PER_BYTE = 8;
constexpr int DUMP_BYTES_PER_LINE = 8;
constexpr std::uint32_t DUMP_BYTES_PER_PARAGRAPH = 256;
// Sample numbers are turned into seconds at this rate, whatever the recording's real rate.
constexpr double NOMINAL_SAMPLE_RATE = 48000.0;

int bit_of(const TapeDecoder& d, std::int64_t period) {
  return static_cast<double>(period) > d.t0 ? 1 : 0;
}

// Shifts the next bit into `byte`; returns true when the byte is complete.
bool shift_in_bit(TapeDecoder& d, std::uint8_t& byte, std::int64_t period) {
  byte = static_cast<std::uint8_t>(byte << 1 | bit_of(d, period));
  ++d.bit_index;
  return d.bit_index > BITS_PER_BYTE;
}

// Prints the block's computed checksum and "crc OK!" when it matches the stored one.
void report_checksum(const TapeDecoder& d, const std::uint8_t* block, std::size_t size) {
  const std::uint16_t computed = ones_checksum(block, size);
  std::fprintf(d.trace, "\ncrc=%04X\n", computed);
  if (computed == stored_checksum(block, size)) std::fputs("crc OK!\n", d.trace);
}

void finish_block(TapeDecoder& d) {
  d.state = SEEK_GAP;
  d.run_count = 0;
  d.bit_index = 0;
}

void header_complete(TapeDecoder& d) {
  TapeBuffers& b = d.buffers;
  report_checksum(d, b.header, HEADER_SIZE);
  b.body_length = header_word(b.header, BODY_LENGTH_OFFSET);
  examine_header(b);
  finish_block(d);
}

int body_complete(TapeDecoder& d) {
  TapeBuffers& b = d.buffers;
  report_checksum(d, b.body, b.body_length);
  finish_block(d);
  if (b.loader_pending) {
    relay_loader_body(b);
    return TAPE_NO_EVENT;
  }
  return TAPE_BODY_COMPLETE;
}

}  // namespace

int read_header(TapeDecoder& d, std::int64_t period) {
  std::uint8_t& byte = d.buffers.header[d.header_index];
  if (d.bit_index == 0) {
    // The header's start pulses are taken as they come; their length is not checked.
    byte = 0;
    d.bit_index = 1;
    return TAPE_NO_EVENT;
  }
  if (!shift_in_bit(d, byte, period)) return TAPE_NO_EVENT;
  std::fprintf(d.trace, "%02X ", byte);
  ++d.header_index;
  if (d.header_index % DUMP_BYTES_PER_LINE == 0) std::fputc('\n', d.trace);
  if (d.header_index < static_cast<std::int32_t>(HEADER_BLOCK_SIZE)) {
    d.bit_index = 0;
    return TAPE_NO_EVENT;
  }
  header_complete(d);
  return TAPE_NO_EVENT;
}

int read_body(TapeDecoder& d, std::int64_t period, std::int64_t sample_number) {
  std::uint8_t& byte = d.buffers.body[d.body_index];
  if (d.bit_index == 0) {
    byte = 0;
    if (bit_of(d, period) == 0) {
      // A missing start pulse: report it and take the next period as the start pulse again.
      std::fprintf(d.trace, "\nchyba synchronizace %.3fs !!!\n",
                   static_cast<double>(sample_number) / NOMINAL_SAMPLE_RATE);
    } else {
      d.bit_index = 1;
    }
    return TAPE_NO_EVENT;
  }
  if (!shift_in_bit(d, byte, period)) return TAPE_NO_EVENT;
  std::fprintf(d.trace, "%02X ", byte);
  ++d.body_index;
  if (d.body_index % DUMP_BYTES_PER_LINE == 0) std::fputc('\n', d.trace);
  if (d.body_index % DUMP_BYTES_PER_PARAGRAPH == 0) std::fputc('\n', d.trace);
  if (d.body_index < d.buffers.body_length + CHECKSUM_SIZE) {
    d.bit_index = 0;
    return TAPE_NO_EVENT;
  }
  return body_complete(d);
}

}  // namespace mzfextract
