// The exact side of mzfscan's second reader: the exact converter's detector and decoder run over
// the prepared recording (the samples --wav writes), noting where each block starts and which
// blocks belong to a program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "reader/tape_reader.h"
#include "signal/pulse_detector.h"
#include "tape/tape_decoder.h"

namespace mzfscan {

// A program the exact decoder completed: its blocks with their stored checksums, and where they
// start on the recording.
struct ExactProgram {
  std::uint8_t header[mzf::HEADER_BLOCK_SIZE];  // record, then its checksum
  std::vector<std::uint8_t> body;               // data, then its checksum
  bool header_verified;  // read for this program (or relayed) and its checksum held
  bool body_verified;
  bool relayed;                 // the header came from a loader whose header and body both verified
  double header_seconds;        // where the header block starts (-1 when relayed)
  double body_seconds;          // where the body block starts
  double header_copy2_seconds;  // where the second copies start, after a gap (-1: not found)
  double body_copy2_seconds;
};

// A block copy the exact decoder saw begin: its first copy when the decoder began to read it,
// its second where a long pulse ends the gap after the first. `sample` counts from 0.
struct ExactCopyStart {
  int block;  // 0: header, 1: body
  int copy;   // 0 or 1
  std::int64_t sample;
  std::size_t size;     // the block's bytes as the decoder expects them, checksum included
  double short_period;  // the short pulse the decoder learned, in samples
};

// Short pulses in a row, after a block's first copy, before a long one that starts its second.
inline constexpr int COPY_GAP_SHORTS = 200;

// Samples taken per call of the detector.
inline constexpr std::size_t EXACT_SLICE = 4096;

// Caller-owned state of the exact reading of one prepared recording. Large (the decoder holds
// a whole body): allocate it once.
struct ExactReader {
  mzfextract::PulseDetector detector;
  mzfextract::TapeDecoder decoder;
  mzfextract::Crossing crossings[mzfextract::max_crossings(EXACT_SLICE)];
  double rate;
  std::int64_t samples;  // fed so far
  // Where the block being read started, in samples, and what the blocks since the last
  // program were.
  std::int64_t block_start;
  double header_seconds;
  bool fresh_header;   // a header was read since the last program
  bool relay_pending;  // a loader's body relayed its header (with both checksums held)
  bool relay_good;
  double header_copy2_seconds;
  // After a block's first copy: which block's second copy is awaited (-1: none), the short
  // pulses seen since, the threshold between short and long, and the block's size.
  int awaiting;
  int gap_shorts;
  float threshold;
  std::size_t awaiting_size;
  std::vector<ExactProgram> programs;
  std::vector<ExactCopyStart> copy_starts;  // in the order they were seen
};

// Starts a reading of prepared samples at `rate` samples per second; the decoder's trace goes to
// `trace` (an open stream that discards it, say).
void exact_reader_init(ExactReader& reader, double rate, std::FILE* trace);

// Takes the next `count` prepared samples.
void exact_reader_feed(ExactReader& reader, const std::uint8_t* samples, std::size_t count);

}  // namespace mzfscan
