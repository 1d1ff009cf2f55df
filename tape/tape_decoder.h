// Tape decoder: a state machine over pulse periods. It learns the short-pulse period in the
// gap before a block, recognises the tape marks that announce a header or a body, reads both
// blocks bit by bit, prints the trace, checks the checksums and relays a loader's parameters.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tape/tape_header.h"

namespace mzfextract {

enum DecoderState : int {
  SEEK_GAP = 0,        // looking for a run of steady periods and a long pulse after it
  COUNT_LONG = 1,      // counting the long pulses of a tape mark
  COUNT_SHORT_40 = 2,  // 40 long pulses seen: counting short pulses
  COUNT_SHORT_20 = 3,  // 20 long pulses seen: counting short pulses
  READ_HEADER = 4,     // reading the 130-byte header block
  READ_BODY = 5,       // reading the body block
};

// What on_period() tells its caller.
enum TapeEvent : int {
  TAPE_NO_EVENT = 0,
  TAPE_BODY_COMPLETE = 1,  // a program body is complete and should be saved
};

// "_________________#" + every digit of a 32-bit counter + ".MZF" + terminating zero.
inline constexpr std::size_t MZF_NAME_SIZE = NAME_LENGTH + 1 + 11 + 4 + 1;

// Block storage, fixed in size for the whole run.
struct TapeBuffers {
  std::uint8_t header[HEADER_BLOCK_SIZE];  // header record and its two checksum bytes
  std::uint8_t body[BODY_AREA_SIZE];       // body and its two checksum bytes
  std::uint32_t body_length;               // from the last header, or relayed by a loader
  bool loader_pending;                     // the last header announced a loader
  char name[MZF_NAME_SIZE];                // output file name being built
  std::int32_t file_counter;               // MZF files produced so far
};

// Caller-owned decoder context.
struct TapeDecoder {
  int state;  // a DecoderState
  // Period reference: running average of the gap period in SEEK_GAP, then the long/short
  // threshold. Single precision on purpose: its rounding is part of the trace.
  float t0;
  std::int32_t run_count;
  std::int32_t bit_index;  // 0: a start pulse is due; 1 to 8: start pulse and bits received
  std::int32_t header_index;
  std::uint32_t body_index;
  TapeBuffers buffers;
  std::FILE* trace;  // where the trace lines go
};

// Puts the decoder into its start state, with all buffers zeroed, writing its trace to `trace`.
void tape_decoder_init(TapeDecoder& decoder, std::FILE* trace);

// Takes one pulse period that ended at `sample_number` (1-based). Returns TAPE_BODY_COMPLETE
// when a program body (not a loader's) has just been read completely: the header area and
// `body_length` bytes of the body area then hold the program until the next call.
int on_period(TapeDecoder& decoder, std::int64_t period, std::int64_t sample_number);

// Block reader: the handlers of READ_HEADER and READ_BODY.
int read_header(TapeDecoder& decoder, std::int64_t period);
int read_body(TapeDecoder& decoder, std::int64_t period, std::int64_t sample_number);

// Loader relay. A loader is a 90-byte body loaded and started at 0xD400 whose bytes 77 to 89
// carry the length and addresses of the program that follows it on tape.
// Sets `loader_pending` when the header just read announces a loader, clears it otherwise.
void examine_header(TapeBuffers& buffers);
// Copies the loader's parameters over header bytes 18 to 30 and takes the new body length.
void relay_loader_body(TapeBuffers& buffers);

}  // namespace mzfextract
