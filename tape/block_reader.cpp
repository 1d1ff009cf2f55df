// Block reader: every byte on tape is a start pulse followed by 8 bits, most significant first;
// a period longer than the threshold t0 is a 1, any other a 0. Header and body blocks are read
// alike; they differ in three things only: a body checks its start pulses, its dump has an
// empty line every 256 bytes, and its length comes from the header. Every byte is dumped.
#include <cstdint>
#include <cstdio>

#include "tape/decoder_states.h"

namespace mzfextract {

namespace {

constexpr std::uint32_t DUMP_BYTES_PER_LINE = 8;
constexpr std::uint32_t DUMP_BYTES_PER_PARAGRAPH = 256;
// Sample numbers are turned into seconds at this rate, whatever the recording's real rate.
constexpr double NOMINAL_SAMPLE_RATE = 48000.0;
constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

// The longest period that reads as a 0. A period is a 1 when it is longer than t0, and periods
// are whole numbers, so this is t0's whole part: -1 below zero, and the largest number when t0
// is beyond every period.
std::int64_t longest_zero(double t0) {
  constexpr double BEYOND = 9223372036854775808.0;  // 2^63
  if (!(t0 < BEYOND)) return INT64_MAX;
  if (t0 < 0) return -1;
  return static_cast<std::int64_t>(t0);
}

// The bit a period stands for, 1 when it is longer than `zero_at_most`, taken from the sign of
// their difference so that the compiler cannot make a branch of it: the bits of a block would
// make that branch go wrong every other time. The difference cannot overflow for the periods the
// detector gives (at least 1), and it agrees with comparing the period with t0 in double precision
// for every period below 2^53 samples, far beyond any recording.
unsigned bit_of(std::int64_t period, std::int64_t zero_at_most) {
  return static_cast<unsigned>(
      (static_cast<std::uint64_t>(zero_at_most) - static_cast<std::uint64_t>(period)) >> 63);
}

// The hex dump of the bytes read by one call, gathered here and written with one fwrite() before
// anything else is printed and before the call returns: the trace receives exactly the characters
// that printing "%02X " and each newline one by one would give it, in the same order, and stdio
// writes them out at the same points as it fills its buffer.
struct Dump {
  std::FILE* trace;
  std::size_t length;
  char text[256];
};

void dump_flush(Dump& dump) {
  if (dump.length > 0) std::fwrite(dump.text, 1, dump.length, dump.trace);
  dump.length = 0;
}

// Appends "%02X " and, after every line or paragraph of bytes, its newlines (at most 5 characters).
void dump_byte(Dump& dump, std::uint8_t byte, std::uint32_t bytes_read, bool body) {
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

std::size_t read_block_run(TapeDecoder& d, const Crossing* crossings, std::size_t count,
                           std::int64_t samples_before, int* event) {
  *event = TAPE_NO_EVENT;
  const bool body = d.state == READ_BODY;
  std::uint8_t* const block = body ? d.buffers.body : d.buffers.header;
  // Neither the threshold nor the block's size changes while the block is read.
  const std::uint32_t block_size = body ? d.buffers.body_length + CHECKSUM_SIZE : HEADER_BLOCK_SIZE;
  const std::int64_t zero_at_most = longest_zero(d.t0);
  // The byte in progress and the counters stay in registers; the block and the record get them
  // back before anything else can look at them.
  std::int32_t bit_index = d.bit_index;
  std::uint32_t byte_index = d.byte_index;
  unsigned byte = block[byte_index];
  // The text is written before it is read: no need to clear it for every call.
  Dump dump;
  dump.trace = d.trace;
  dump.length = 0;
  bool complete = false;
  std::size_t i = 0;
  while (i < count && !complete) {
    const Crossing& crossing = crossings[i++];
    const unsigned bit = bit_of(crossing.period, zero_at_most);
    if (bit_index == 0) {
      byte = 0;
      // A header's start pulses are taken as they come; a body's must be long. A missing one
      // is reported and the next period is taken as the start pulse again.
      if (body && bit == 0) {
        dump_flush(dump);
        // In unsigned arithmetic, which wraps where a caller's numbers would overflow; see
        // read_block().
        const auto sample_number = static_cast<std::int64_t>(
            static_cast<std::uint64_t>(samples_before) + crossing.index + 1);
        std::fprintf(d.trace, "\nchyba synchronizace %.3fs !!!\n",
                     static_cast<double>(sample_number) / NOMINAL_SAMPLE_RATE);
        continue;
      }
      bit_index = 1;
      continue;
    }
    byte = (byte << 1 | bit) & 0xFF;
    if (++bit_index <= BITS_PER_BYTE) continue;
    block[byte_index] = static_cast<std::uint8_t>(byte);
    ++byte_index;
    dump_byte(dump, static_cast<std::uint8_t>(byte), byte_index, body);
    bit_index = 0;
    complete = byte_index == block_size;
  }
  if (!complete) block[byte_index] = static_cast<std::uint8_t>(byte);
  d.bit_index = bit_index;
  d.byte_index = byte_index;
  dump_flush(dump);
  if (complete) *event = body ? body_complete(d) : header_complete(d);
  return i;
}

int read_block(TapeDecoder& d, std::int64_t period, std::int64_t sample_number) {
  const Crossing crossing{period, 0};
  int event = TAPE_NO_EVENT;
  // One less, wrapping around rather than overflowing; read_block_run() adds it back.
  read_block_run(d, &crossing, 1,
                 static_cast<std::int64_t>(static_cast<std::uint64_t>(sample_number) - 1), &event);
  return event;
}

}  // namespace mzfextract
