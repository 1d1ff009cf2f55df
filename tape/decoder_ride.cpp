#include "tape/decoder_ride.h"

#include "signal/wide_search.h"
#include "tape/block_step.h"
#include "tape/decoder_states.h"

namespace mzfextract {

bool decoder_can_ride(const TapeDecoder& d) {
  return d.state == SEEK_GAP || d.state == READ_HEADER || d.state == READ_BODY;
}

#if defined(MZF_WIDE_PATHS)

namespace {

// Where the search puts its crossings: into the gap search or the block while the decoder is
// there, then in order into `out`. Nothing is stored before that ends, so the decoder takes
// every crossing in its order.
struct DecoderSink {
  enum class Taker { GAP, BLOCK, STORE };
  Taker taker;
  GapSearch gap;
  BlockRead block;
  std::int64_t samples_before;
  bool block_complete;
  Crossing* out;
  std::size_t found;

  void take(std::int64_t period, std::uint32_t index) {
    switch (taker) {
      case Taker::GAP:
        if (gap_period(gap, period)) taker = Taker::STORE;
        return;
      case Taker::BLOCK:
        block_complete = block_period(block, period, samples_before, index);
        if (block_complete) taker = Taker::STORE;
        return;
      case Taker::STORE: out[found++] = {period, index}; return;
    }
  }
};

template <typename Window>
ChunkScan detect_with_decoder_along(PulseDetector& detector, TapeDecoder& decoder,
                                    const std::uint8_t* raw, std::size_t count, Crossing* out,
                                    std::size_t capacity, std::int64_t samples_before, int* event) {
  // Filled in field by field: clearing the whole record would clear the block's dump area too,
  // for every buffer.
  DecoderSink sink;
  sink.out = out;
  sink.found = 0;
  sink.samples_before = samples_before;
  sink.block_complete = false;
  if (seeking_gap(decoder)) {
    sink.taker = DecoderSink::Taker::GAP;
    sink.gap = gap_search_of(decoder);
  } else {
    sink.taker = DecoderSink::Taker::BLOCK;
    sink.block = block_read_of(decoder);
  }
  const bool seeking = sink.taker == DecoderSink::Taker::GAP;
  const std::size_t consumed = wide_search::detect_stream_wide<Window>(
      detector, raw, wide_search::fitting(count, capacity), sink);
  *event = TAPE_NO_EVENT;
  if (seeking) {
    resume_after_gap_search(decoder, sink.gap, sink.taker == DecoderSink::Taker::STORE);
  } else {
    *event = block_read_end(decoder, sink.block, sink.block_complete);
  }
  return {sink.found, consumed};
}

MZF_AVX2 MZF_WHOLE ChunkScan detect_with_decoder_avx2(PulseDetector& detector, TapeDecoder& decoder,
                                                      const std::uint8_t* raw, std::size_t count,
                                                      Crossing* out, std::size_t capacity,
                                                      std::int64_t samples_before, int* event) {
  return detect_with_decoder_along<wide_search::AvxWindow>(detector, decoder, raw, count, out,
                                                           capacity, samples_before, event);
}

MZF_AVX512 MZF_WHOLE ChunkScan detect_with_decoder_avx512(
    PulseDetector& detector, TapeDecoder& decoder, const std::uint8_t* raw, std::size_t count,
    Crossing* out, std::size_t capacity, std::int64_t samples_before, int* event) {
  return detect_with_decoder_along<wide_search::Avx512Window>(detector, decoder, raw, count, out,
                                                              capacity, samples_before, event);
}

}  // namespace

bool decoder_ride_available() {
  const DetectorPath path = detector_path_chosen();
  return path == DetectorPath::AVX2 || path == DetectorPath::AVX512;
}

ChunkScan detect_with_decoder(PulseDetector& detector, TapeDecoder& decoder,
                              const std::uint8_t* raw, std::size_t count, Crossing* out,
                              std::size_t capacity, std::int64_t samples_before, int* event) {
  return detector_path_chosen() == DetectorPath::AVX512
             ? detect_with_decoder_avx512(detector, decoder, raw, count, out, capacity,
                                          samples_before, event)
             : detect_with_decoder_avx2(detector, decoder, raw, count, out, capacity,
                                        samples_before, event);
}

#else

bool decoder_ride_available() {
  return false;
}

// Without a wide path the decoder takes none of the crossings here: all are stored.
ChunkScan detect_with_decoder(PulseDetector& detector, TapeDecoder&, const std::uint8_t* raw,
                              std::size_t count, Crossing* out, std::size_t capacity, std::int64_t,
                              int* event) {
  *event = TAPE_NO_EVENT;
  return detect_stream(detector, raw, count, out, capacity);
}

#endif

}  // namespace mzfextract
