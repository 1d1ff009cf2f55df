#include "signal/pulse_detector.h"

#include <cstring>

#include "signal/wide_search.h"

namespace mzfextract {

void pulse_detector_init(PulseDetector& detector) {
  detector = PulseDetector{0, 0, MID_LEVEL, MID_LEVEL, MID_LEVEL, MID_LEVEL};
}

bool feed(PulseDetector& d, std::uint8_t u, std::int64_t* period) {
  ++d.elapsed;
  std::uint8_t threshold = MID_LEVEL;
  if (d.elapsed > SILENCE_LIMIT) {
    d.cur_min = d.cur_max = d.prev_min = d.prev_max = MID_LEVEL;
  } else {
    if (u < d.cur_min) d.cur_min = u;
    if (u > d.cur_max) d.cur_max = u;
    // Only the previous cycle's extremes set the threshold: their mean, rounded up.
    threshold = static_cast<std::uint8_t>((d.prev_min + d.prev_max + 1) >> 1);
  }
  const bool crossing = u >= threshold && d.previous < threshold && d.elapsed > DEBOUNCE_LIMIT;
  if (crossing) {
    *period = d.elapsed;
    d.prev_max = d.cur_max;
    d.cur_max = u;
    d.prev_min = d.cur_min;
    d.cur_min = d.previous;
    d.elapsed = 0;
  }
  d.previous = u;
  return crossing;
}

namespace {

// The number of bytes of `count` whose crossings surely fit into `capacity` entries.
std::size_t fitting(std::size_t count, std::size_t capacity) {
  const std::size_t most = capacity * static_cast<std::size_t>(DEBOUNCE_LIMIT + 1);
  return count < most ? count : most;
}

// Takes raw[pos, count) one sample at a time, storing its crossings from out[found] on. Returns
// the number of crossings stored in all.
std::size_t store_each(PulseDetector& d, const std::uint8_t* raw, std::size_t pos,
                       std::size_t count, Crossing* out, std::size_t found) {
  for (; pos < count; ++pos) {
    std::int64_t period = 0;
    if (feed(d, static_cast<std::uint8_t>(~raw[pos]), &period)) {
      out[found++] = {period, static_cast<std::uint32_t>(pos)};
    }
  }
  return found;
}

ChunkScan detect_chunk_reference(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                                 Crossing* out, std::size_t capacity) {
  count = fitting(count, capacity);
  return {store_each(d, raw, 0, count, out, 0), count};
}

}  // namespace

#if defined(MZF_WIDE_PATHS)

namespace {

// The stream search of the wide path, storing the crossings in order, compiled for AVX2 (see
// signal/wide_search.h).
MZF_AVX2 MZF_WHOLE ChunkScan detect_stream_avx2(PulseDetector& d, const std::uint8_t* raw,
                                                std::size_t count, Crossing* out,
                                                std::size_t capacity) {
  wide_search::StoreCrossings sink{out, 0};
  const std::size_t consumed =
      wide_search::detect_stream_wide(d, raw, fitting(count, capacity), sink);
  return {sink.found, consumed};
}

// The wide path over a whole chunk: the stream search, then the last samples, fewer than a
// window, one at a time.
ChunkScan detect_chunk_avx2(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                            Crossing* out, std::size_t capacity) {
  count = fitting(count, capacity);
  const ChunkScan scan = detect_stream_avx2(d, raw, count, out, capacity);
  return {store_each(d, raw, scan.consumed, count, out, scan.crossings), count};
}

// A test of the feature words that the runtime fills in at start-up; cheap enough per chunk, and
// unlike a cached static it needs no guard from the C++ runtime library. The path also counts
// trailing zeros with BMI1 and shifts with BMI2, which every processor with AVX2 has so far, but
// they are checked too.
bool avx2_supported() {
  return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi") != 0 &&
         __builtin_cpu_supports("bmi2") != 0;
}

}  // namespace

#endif

bool detector_path_available(DetectorPath path) {
#if defined(MZF_WIDE_PATHS)
  return path == DetectorPath::REFERENCE || avx2_supported();
#else
  return path == DetectorPath::REFERENCE;
#endif
}

DetectorPath detector_path_chosen() {
  return detector_path_available(DetectorPath::AVX2) ? DetectorPath::AVX2 : DetectorPath::REFERENCE;
}

ChunkScan detect_chunk_along(DetectorPath path, PulseDetector& detector, const std::uint8_t* raw,
                             std::size_t count, Crossing* out, std::size_t capacity) {
#if defined(MZF_WIDE_PATHS)
  if (path == DetectorPath::AVX2) return detect_chunk_avx2(detector, raw, count, out, capacity);
#else
  (void)path;  // only the reference is built
#endif
  return detect_chunk_reference(detector, raw, count, out, capacity);
}

ChunkScan detect_chunk(PulseDetector& detector, const std::uint8_t* raw, std::size_t count,
                       Crossing* out, std::size_t capacity) {
  return detect_chunk_along(detector_path_chosen(), detector, raw, count, out, capacity);
}

ChunkScan detect_stream_along(DetectorPath path, PulseDetector& detector, const std::uint8_t* raw,
                              std::size_t count, Crossing* out, std::size_t capacity) {
#if defined(MZF_WIDE_PATHS)
  if (path == DetectorPath::AVX2) return detect_stream_avx2(detector, raw, count, out, capacity);
#endif
  return detect_chunk_along(path, detector, raw, count, out, capacity);
}

ChunkScan detect_stream(PulseDetector& detector, const std::uint8_t* raw, std::size_t count,
                        Crossing* out, std::size_t capacity) {
  return detect_stream_along(detector_path_chosen(), detector, raw, count, out, capacity);
}

}  // namespace mzfextract
