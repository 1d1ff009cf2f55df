#include "converter/decoder_ride.h"

#include "signal/wide_search.h"
#include "tape/block_step.h"
#include "tape/decoder_states.h"

namespace mzfextract {

bool decoder_can_ride(const TapeDecoder& d) {
  return d.state == DecoderState::SEEK_GAP || d.state == DecoderState::READ_HEADER ||
         d.state == DecoderState::READ_BODY;
}

#if defined(MZF_WIDE_PATHS)

namespace {

// Where the search puts its crossings: into the decoder's step for its state until the step
// ends that state (the gap found, the block complete), then in order into `out`. Nothing is
// stored before that, so the decoder takes every crossing in its order. Each state's record is
// small enough for the compiler to keep in registers across the search.
template <typename Step>
struct RideSink {
  Step step;
  bool ended;
  Crossing* out;
  std::size_t found;

  void take(std::int64_t period, std::uint32_t index) {
    if (!ended) {
      ended = step(period, index);
      return;
    }
    out[found++] = {period, index};
  }
};

// The decoder seeking a gap: the running average each period waits for is never stored and
// loaded back.
struct GapStep {
  GapSearch gap;
  bool operator()(std::int64_t period, std::uint32_t) { return gap_period(gap, period); }
};

// The decoder reading a block.
struct BlockStep {
  BlockRead block;
  std::int64_t samples_before;
  bool operator()(std::int64_t period, std::uint32_t index) {
    return block_period(block, period, samples_before, index);
  }
};

// The stream search of the wide path with the decoder riding on it, compiled for AVX2.
MZF_AVX2 MZF_WHOLE ChunkScan detect_with_decoder_avx2(PulseDetector& detector, TapeDecoder& decoder,
                                                      const std::uint8_t* raw, std::size_t count,
                                                      Crossing* out, std::size_t capacity,
                                                      std::int64_t samples_before,
                                                      TapeEvent* event) {
  const std::size_t bytes = wide_search::fitting(count, capacity);
  *event = TapeEvent::NONE;
  if (seeking_gap(decoder)) {
    RideSink<GapStep> sink{{gap_search_of(decoder)}, false, out, 0};
    const std::size_t consumed = wide_search::detect_stream_wide(detector, raw, bytes, sink);
    resume_after_gap_search(decoder, sink.step.gap, sink.ended);
    return {sink.found, consumed};
  }
  // Filled in field by field: clearing the whole record would clear the block's dump area too,
  // for every buffer.
  RideSink<BlockStep> sink;
  sink.step.block = block_read_of(decoder);
  sink.step.samples_before = samples_before;
  sink.ended = false;
  sink.out = out;
  sink.found = 0;
  const std::size_t consumed = wide_search::detect_stream_wide(detector, raw, bytes, sink);
  *event = block_read_end(decoder, sink.step.block, sink.ended);
  return {sink.found, consumed};
}

}  // namespace

bool decoder_ride_available() {
  return detector_path_chosen() == DetectorPath::AVX2;
}

ChunkScan detect_with_decoder(PulseDetector& detector, TapeDecoder& decoder,
                              const std::uint8_t* raw, std::size_t count, Crossing* out,
                              std::size_t capacity, std::int64_t samples_before, TapeEvent* event) {
  return detect_with_decoder_avx2(detector, decoder, raw, count, out, capacity, samples_before,
                                  event);
}

#else

bool decoder_ride_available() {
  return false;
}

// Without a wide path the decoder takes none of the crossings here: all are stored.
ChunkScan detect_with_decoder(PulseDetector& detector, TapeDecoder&, const std::uint8_t* raw,
                              std::size_t count, Crossing* out, std::size_t capacity, std::int64_t,
                              TapeEvent* event) {
  *event = TapeEvent::NONE;
  return detect_stream(detector, raw, count, out, capacity);
}

#endif

}  // namespace mzfextract
