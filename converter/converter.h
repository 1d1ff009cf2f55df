// mzfextract's conversion as one unit: a record that owns the pulse detector, the tape decoder
// and the bytes that carry over from one chunk of the recording to the next. The caller hands it
// the recording chunk by chunk, in order; it hands back every program the decoder completes. It
// has no file or console policy of its own: the caller reads, saves and words errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "signal/pulse_detector.h"
#include "tape/tape_decoder.h"

namespace mzfextract {

// The most bytes one chunk holds: the recording is read this many at a time.
inline constexpr std::size_t CONVERTER_CHUNK = 2048;

// Where a converter hands each program it completes, at once: the view is valid only during the
// call. `save` returns the exit status saving the program implies (0, or 1 when it failed).
struct ProgramSink {
  int (*save)(void* context, const ProgramView& program);
  void* context;
};

// Caller-owned state of one conversion. About 70 KiB (the decoder holds a whole body): keep it
// off small stacks. Its fields are the converter's own.
struct Converter {
  PulseDetector detector;
  TapeDecoder decoder;
  std::int64_t samples_before;  // samples of the recording before buffer[0]
  std::size_t carried;          // bytes at the front of `buffer` left over from the chunk before
  std::uint8_t buffer[STREAM_LOOKAHEAD + CONVERTER_CHUNK];
  Crossing crossings[max_crossings(STREAM_LOOKAHEAD + CONVERTER_CHUNK)];
};

// Starts a conversion whose trace goes to `trace`. Its first sample is sample number
// `samples_before` + 1: 0 for a recording read from its start (tests start near 2^31).
void converter_init(Converter& converter, std::FILE* trace, std::int64_t samples_before = 0);

// Where the next chunk is to be put: room for CONVERTER_CHUNK bytes.
std::uint8_t* converter_space(Converter& converter);

// Converts the `count` bytes (at most CONVERTER_CHUNK) just put at converter_space(), handing
// every program completed to `sink`. Returns the statuses `sink` returned, or'ed.
int converter_take(Converter& converter, std::size_t count, ProgramSink sink);

// Converts `count` bytes from anywhere, through converter_space() and converter_take().
int converter_feed(Converter& converter, const std::uint8_t* bytes, std::size_t count,
                   ProgramSink sink);

// The recording has ended: converts the bytes still held. Returns as converter_take() does.
int converter_finish(Converter& converter, ProgramSink sink);

}  // namespace mzfextract
