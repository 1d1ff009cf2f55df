#include "tape/gap_ride.h"

#include "signal/wide_search.h"
#include "tape/gap_search.h"

namespace mzfextract {

#if defined(MZF_WIDE_PATHS)

namespace {

// Where the search puts its crossings: into the gap search while it lasts, then in order into
// `out`. Nothing is stored before the gap ends, so the decoder takes them all in their order.
struct GapSink {
  GapSearch gap;
  bool seeking;
  Crossing* out;
  std::size_t found;

  void take(std::int64_t period, std::uint32_t index) {
    if (seeking) {
      seeking = !gap_period(gap, period);
      return;
    }
    out[found++] = {period, index};
  }
};

template <typename Window>
ChunkScan detect_seeking_gap_along(PulseDetector& detector, TapeDecoder& decoder,
                                   const std::uint8_t* raw, std::size_t count, Crossing* out,
                                   std::size_t capacity) {
  GapSink sink{gap_search_of(decoder), true, out, 0};
  const std::size_t consumed = wide_search::detect_stream_wide<Window>(
      detector, raw, wide_search::fitting(count, capacity), sink);
  resume_after_gap_search(decoder, sink.gap, !sink.seeking);
  return {sink.found, consumed};
}

MZF_AVX2 MZF_WHOLE ChunkScan detect_seeking_gap_avx2(PulseDetector& detector, TapeDecoder& decoder,
                                                     const std::uint8_t* raw, std::size_t count,
                                                     Crossing* out, std::size_t capacity) {
  return detect_seeking_gap_along<wide_search::AvxWindow>(detector, decoder, raw, count, out,
                                                          capacity);
}

MZF_AVX512 MZF_WHOLE ChunkScan detect_seeking_gap_avx512(PulseDetector& detector,
                                                         TapeDecoder& decoder,
                                                         const std::uint8_t* raw, std::size_t count,
                                                         Crossing* out, std::size_t capacity) {
  return detect_seeking_gap_along<wide_search::Avx512Window>(detector, decoder, raw, count, out,
                                                             capacity);
}

}  // namespace

bool gap_ride_available() {
  const DetectorPath path = detector_path_chosen();
  return path == DetectorPath::AVX2 || path == DetectorPath::AVX512;
}

ChunkScan detect_seeking_gap(PulseDetector& detector, TapeDecoder& decoder, const std::uint8_t* raw,
                             std::size_t count, Crossing* out, std::size_t capacity) {
  return detector_path_chosen() == DetectorPath::AVX512
             ? detect_seeking_gap_avx512(detector, decoder, raw, count, out, capacity)
             : detect_seeking_gap_avx2(detector, decoder, raw, count, out, capacity);
}

#else

bool gap_ride_available() {
  return false;
}

// Without a wide path the decoder takes none of the crossings here: all are stored.
ChunkScan detect_seeking_gap(PulseDetector& detector, TapeDecoder&, const std::uint8_t* raw,
                             std::size_t count, Crossing* out, std::size_t capacity) {
  return detect_stream(detector, raw, count, out, capacity);
}

#endif

}  // namespace mzfextract
