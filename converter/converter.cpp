#include "converter/converter.h"

#include <algorithm>
#include <cstring>

#include "converter/decoder_ride.h"

namespace mzfextract {

namespace {

constexpr std::size_t CAPACITY = max_crossings(STREAM_LOOKAHEAD + CONVERTER_CHUNK);

// Hands the stored crossings to the decoder in turn, and every program it completes to `sink`.
int decode_crossings(Converter& c, std::size_t count, ProgramSink sink) {
  int status = 0;
  for (std::size_t i = 0; i < count;) {
    TapeEvent event = TapeEvent::NONE;
    i += on_crossings(c.decoder, c.crossings + i, count - i, c.samples_before, &event);
    if (event == TapeEvent::PROGRAM_COMPLETE)
      status |= sink.save(sink.context, finished_program(c.decoder));
  }
  return status;
}

// The crossings of `scan` are decoded; the bytes it left are kept at the front for the next chunk.
void move_on(Converter& c, std::size_t available, const ChunkScan& scan) {
  c.samples_before += static_cast<std::int64_t>(scan.consumed);
  c.carried = available - scan.consumed;
  std::memmove(c.buffer, c.buffer + scan.consumed, c.carried);
}

}  // namespace

void converter_init(Converter& c, std::FILE* trace, std::int64_t samples_before) {
  pulse_detector_init(c.detector);
  tape_decoder_init(c.decoder, trace);
  c.samples_before = samples_before;
  c.carried = 0;
}

std::uint8_t* converter_space(Converter& c) {
  return c.buffer + c.carried;
}

int converter_take(Converter& c, std::size_t count, ProgramSink sink) {
  static_assert(STREAM_LOOKAHEAD + CONVERTER_CHUNK == sizeof Converter::buffer);
  const std::size_t available = c.carried + count;
  int status = 0;
  ChunkScan scan{};
  // While the decoder seeks a gap or reads a block it takes the crossings as the detector finds
  // them where it can, and only the rest are stored for it; a program it completes on the way
  // is saved first. The detector leaves the last few bytes for the next chunk, so that its
  // windows never reach past the end.
  if (decoder_ride_available() && decoder_can_ride(c.decoder)) {
    TapeEvent event = TapeEvent::NONE;
    scan = detect_with_decoder(c.detector, c.decoder, c.buffer, available, c.crossings, CAPACITY,
                               c.samples_before, &event);
    if (event == TapeEvent::PROGRAM_COMPLETE)
      status |= sink.save(sink.context, finished_program(c.decoder));
  } else {
    scan = detect_stream(c.detector, c.buffer, available, c.crossings, CAPACITY);
  }
  status |= decode_crossings(c, scan.crossings, sink);
  move_on(c, available, scan);
  return status;
}

int converter_feed(Converter& c, const std::uint8_t* bytes, std::size_t count, ProgramSink sink) {
  int status = 0;
  while (count > 0) {
    const std::size_t n = std::min(count, CONVERTER_CHUNK);
    std::memcpy(converter_space(c), bytes, n);
    status |= converter_take(c, n, sink);
    bytes += n;
    count -= n;
  }
  return status;
}

int converter_finish(Converter& c, ProgramSink sink) {
  const std::size_t available = c.carried;
  const ChunkScan scan = detect_chunk(c.detector, c.buffer, available, c.crossings, CAPACITY);
  const int status = decode_crossings(c, scan.crossings, sink);
  move_on(c, available, scan);
  return status;
}

}  // namespace mzfextract
