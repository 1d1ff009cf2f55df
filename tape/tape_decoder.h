// Tape decoder: a state machine over pulse periods. It learns the short-pulse period in the
// gap before a block, recognises the tape marks that announce a header or a body, reads both
// blocks bit by bit, prints the trace, checks the checksums and relays a loader's parameters.
// It hands every finished program (other than a loader) to its caller as a read-only view.
#pragma once

#include <cstdint>
#include <cstdio>

#include "format/tape_format.h"
#include "signal/pulse_detector.h"

namespace mzfextract {

enum class DecoderState {
  SEEK_GAP,        // looking for a run of steady periods and a long pulse after it
  COUNT_LONG,      // counting the long pulses of a tape mark
  COUNT_SHORT_40,  // 40 long pulses seen: counting short pulses
  COUNT_SHORT_20,  // 20 long pulses seen: counting short pulses
  READ_HEADER,     // reading the 130-byte header block
  READ_BODY,       // reading the body block
};

// What on_period() tells its caller.
enum class TapeEvent {
  NONE,
  PROGRAM_COMPLETE,  // a program is complete: see finished_program()
};

// Block storage, fixed in size for the whole run.
struct TapeBuffers {
  std::uint8_t header[mzf::HEADER_BLOCK_SIZE];  // header record and its two checksum bytes
  std::uint8_t body[mzf::BODY_AREA_SIZE];       // body and its two checksum bytes
  std::uint32_t body_length;                    // from the last header, or relayed by a loader
  bool loader_pending;                          // the last header announced a loader
  bool header_verified;                         // the last header matched its checksum
  bool body_verified;                           // the last body matched its checksum
};

// Caller-owned decoder context. About 64 KiB: keep it off small stacks.
struct TapeDecoder {
  DecoderState state;
  // Period reference: running average of the gap period in DecoderState::SEEK_GAP, then the
  // long/short threshold. Single precision on purpose: its rounding is part of the trace.
  float t0;
  std::int32_t run_count;
  std::int32_t bit_index;    // 0: a start pulse is due; 1 to 8: start pulse and bits received
  std::uint32_t byte_index;  // bytes of the current block read so far
  TapeBuffers buffers;
  std::FILE* trace;  // where the trace lines go
};

// A finished program, valid until the next period is fed.
struct ProgramView {
  const std::uint8_t* header;  // the 128-byte header record
  const std::uint8_t* body;    // `body_length` bytes
  std::uint32_t body_length;
  bool header_verified;  // the header block matched its checksum
  bool body_verified;    // the body block matched its checksum
};

// Puts the decoder into its start state, with all buffers zeroed, writing its trace to `trace`.
void tape_decoder_init(TapeDecoder& decoder, std::FILE* trace);

// Takes one pulse period that ended at `sample_number` (1-based). Returns
// TapeEvent::PROGRAM_COMPLETE when a program body (not a loader's) has just been read completely.
TapeEvent on_period(TapeDecoder& decoder, std::int64_t period, std::int64_t sample_number);

// Takes the periods of `count` crossings in turn, exactly as on_period() would take each, the
// crossing at index i of the detector's buffer ending at sample number `samples_before` + i + 1.
// Stops right after a period that completes a program and sets `*event` to
// TapeEvent::PROGRAM_COMPLETE, otherwise takes them all and sets it to TapeEvent::NONE. Returns the
// number of crossings taken.
std::size_t on_crossings(TapeDecoder& decoder, const Crossing* crossings, std::size_t count,
                         std::int64_t samples_before, TapeEvent* event);

// The program completed by the last on_period() that returned TapeEvent::PROGRAM_COMPLETE (or
// on_crossings() that reported it).
ProgramView finished_program(const TapeDecoder& decoder);

}  // namespace mzfextract
