// Block reader: every byte on tape is a start pulse followed by 8 bits, most significant first;
// a period longer than the threshold t0 is a 1, any other a 0. Header and body blocks are read
// alike; they differ in three things only: a body checks its start pulses, its dump has an
// empty line every 256 bytes, and its length comes from the header. Every byte is dumped.
#include <cstdio>

#include "tape/decoder_states.h"

namespace mzfextract {

namespace {

constexpr std::uint32_t DUMP_BYTES_PER_LINE = 8;
constexpr std::uint32_t DUMP_BYTES_PER_PARAGRAPH = 256;
// Sample numbers are turned into seconds at this rate, whatever the recording's real rate.
constexpr double NOMINAL_SAMPLE_RATE = 48000.0;
constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

int bit_of(const TapeDecoder& d, std::int64_t period) {
  return static_cast<double>(period) > d.t0 ? 1 : 0;
}

// Prints a byte as "%02X " would, without the cost of formatting.
void dump_byte(std::FILE* trace, std::uint8_t byte) {
  const char cell[3] = {HEX_DIGITS[byte >> 4], HEX_DIGITS[byte & 0xF], ' '};
  std::fwrite(cell, 1, sizeof cell, trace);
}

// Prints the block's computed checksum and "crc OK!" when it matches the stored one. Returns
// whether it matched.
bool report_checksum(const TapeDecoder& d, const std::uint8_t* block, std::size_t size) {
  const std::uint16_t computed = ones_checksum(block, size);
  std::fprintf(d.trace, "\ncrc=%04X\n", computed);
  const bool verified = computed == stored_checksum(block, size);
  if (verified) std::fputs("crc OK!\n", d.trace);
  return verified;
}

void finish_block(TapeDecoder& d) {
  d.state = SEEK_GAP;
  d.run_count = 0;
  d.bit_index = 0;
}

int header_complete(TapeDecoder& d) {
  TapeBuffers& b = d.buffers;
  b.header_verified = report_checksum(d, b.header, HEADER_SIZE);
  b.body_length = header_word(b.header, BODY_LENGTH_OFFSET);
  examine_header(b);
  finish_block(d);
  return TAPE_NO_EVENT;
}

int body_complete(TapeDecoder& d) {
  TapeBuffers& b = d.buffers;
  b.body_verified = report_checksum(d, b.body, b.body_length);
  finish_block(d);
  if (b.loader_pending) {
    relay_loader_body(b);
    return TAPE_NO_EVENT;
  }
  return TAPE_PROGRAM_COMPLETE;
}

}  // namespace

int read_block(TapeDecoder& d, std::int64_t period, std::int64_t sample_number) {
  const bool body = d.state == READ_BODY;
  std::uint8_t& byte = (body ? d.buffers.body : d.buffers.header)[d.byte_index];
  if (d.bit_index == 0) {
    byte = 0;
    // A header's start pulses are taken as they come; a body's must be long. A missing one
    // is reported and the next period is taken as the start pulse again.
    if (body && bit_of(d, period) == 0) {
      std::fprintf(d.trace, "\nchyba synchronizace %.3fs !!!\n",
                   static_cast<double>(sample_number) / NOMINAL_SAMPLE_RATE);
      return TAPE_NO_EVENT;
    }
    d.bit_index = 1;
    return TAPE_NO_EVENT;
  }
  byte = static_cast<std::uint8_t>(byte << 1 | bit_of(d, period));
  if (++d.bit_index <= BITS_PER_BYTE) return TAPE_NO_EVENT;
  dump_byte(d.trace, byte);
  ++d.byte_index;
  if (d.byte_index % DUMP_BYTES_PER_LINE == 0) std::fputc('\n', d.trace);
  if (body && d.byte_index % DUMP_BYTES_PER_PARAGRAPH == 0) std::fputc('\n', d.trace);
  const std::uint32_t block_size = body ? d.buffers.body_length + CHECKSUM_SIZE : HEADER_BLOCK_SIZE;
  if (d.byte_index < block_size) {
    d.bit_index = 0;
    return TAPE_NO_EVENT;
  }
  return body ? body_complete(d) : header_complete(d);
}

}  // namespace mzfextract
