#include "signal/pulse_detector.h"

#include <cstring>

#include "signal/wide_search.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

std::uint8_t complement(std::uint8_t raw) {
  return static_cast<std::uint8_t>(~raw);
}

// Feeds up to `count` raw bytes one at a time; returns the number consumed.
std::size_t feed_each(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                      std::int64_t* period) {
  for (std::size_t i = 0; i < count; ++i) {
    if (feed(d, complement(raw[i]), period)) return i + 1;
  }
  return count;
}

}  // namespace

#if defined(__SSE2__)

namespace {

// Between two crossings the threshold cannot change until the silence limit, so a cycle can be
// scanned 16 samples at a time: one compare gives the samples at or above the threshold, a
// shift of that mask the samples before them, and the first lane where a sample at or above
// follows one below (and the debounce allows it) is the crossing. The cycle's extremes are kept
// as running vector minimum and maximum and folded into the trackers when the scan stops.
// Spans shorter than a vector go through the reference detector, which keeps the two identical.

constexpr std::size_t LANES = 16;

// Folds the 16 lanes of `v` into one with `combine`, a lane-wise minimum or maximum.
template <typename Combine>
std::uint8_t horizontal(__m128i v, Combine combine) {
  v = combine(v, _mm_srli_si128(v, 8));
  v = combine(v, _mm_srli_si128(v, 4));
  v = combine(v, _mm_srli_si128(v, 2));
  v = combine(v, _mm_srli_si128(v, 1));
  return static_cast<std::uint8_t>(_mm_cvtsi128_si32(v));
}

std::uint8_t horizontal_min(__m128i v) {
  return horizontal(v, [](__m128i a, __m128i b) { return _mm_min_epu8(a, b); });
}

std::uint8_t horizontal_max(__m128i v) {
  return horizontal(v, [](__m128i a, __m128i b) { return _mm_max_epu8(a, b); });
}

// Starts a new cycle at the crossing sample `u`, the sample before it being `before`.
void start_cycle(PulseDetector& d, std::uint8_t before, std::uint8_t u) {
  d.cur_min = before;
  d.cur_max = u;
  d.previous = u;
  d.elapsed = 0;
}

// Scans the samples of a cycle while the threshold stays fixed (elapsed up to the silence
// limit). Returns the number of samples consumed; stops after a crossing.
std::size_t scan_cycle(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                       std::int64_t* period) {
  const auto available = static_cast<std::size_t>(SILENCE_LIMIT - d.elapsed);
  const std::size_t limit = count < available ? count : available;
  const auto threshold = static_cast<std::uint8_t>((d.prev_min + d.prev_max + 1) >> 1);
  const __m128i flip = _mm_set1_epi8(-1);
  const __m128i threshold_v = _mm_set1_epi8(static_cast<char>(threshold));
  const __m128i lane_index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m128i low = _mm_set1_epi8(static_cast<char>(d.cur_min));
  __m128i high = _mm_set1_epi8(static_cast<char>(d.cur_max));
  unsigned before_at_or_above = d.previous >= threshold ? 1 : 0;
  std::size_t i = 0;
  for (; i + LANES <= limit; i += LANES) {
    const __m128i u =
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + i)), flip);
    const auto at_or_above = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(threshold_v, u), _mm_setzero_si128())));
    unsigned rises = at_or_above & ~(at_or_above << 1 | before_at_or_above);
    const std::int64_t elapsed_before = d.elapsed + static_cast<std::int64_t>(i);
    if (elapsed_before < DEBOUNCE_LIMIT) rises &= ~0u << (DEBOUNCE_LIMIT - elapsed_before);
    if (rises != 0) {
      const auto lane = static_cast<unsigned>(__builtin_ctz(rises));
      const __m128i upto = _mm_cmplt_epi8(lane_index, _mm_set1_epi8(static_cast<char>(lane + 1)));
      low = _mm_min_epu8(low, _mm_or_si128(u, _mm_andnot_si128(upto, flip)));
      high = _mm_max_epu8(high, _mm_and_si128(u, upto));
      *period = elapsed_before + lane + 1;
      d.prev_min = horizontal_min(low);
      d.prev_max = horizontal_max(high);
      const std::uint8_t before = i + lane > 0 ? complement(raw[i + lane - 1]) : d.previous;
      start_cycle(d, before, complement(raw[i + lane]));
      return i + lane + 1;
    }
    low = _mm_min_epu8(low, u);
    high = _mm_max_epu8(high, u);
    before_at_or_above = at_or_above >> (LANES - 1);
  }
  d.cur_min = horizontal_min(low);
  d.cur_max = horizontal_max(high);
  if (i > 0) {
    d.previous = complement(raw[i - 1]);
    d.elapsed += static_cast<std::int64_t>(i);
  }
  return i + feed_each(d, raw + i, limit - i, period);
}

// Scans samples in silence (elapsed beyond the silence limit): the threshold is the mid-scale
// level and the trackers stay there, so a crossing is a sample at or above 128 after one below,
// that is a raw byte below 128 after one at or above 128: the sign bits tell it.
std::size_t scan_silence(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                         std::int64_t* period) {
  d.cur_min = d.cur_max = d.prev_min = d.prev_max = MID_LEVEL;
  unsigned before_below = d.previous < MID_LEVEL ? 1 : 0;
  std::size_t i = 0;
  for (; i + LANES <= count; i += LANES) {
    const auto below = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + i))));
    const unsigned rises = ~below & (below << 1 | before_below) & 0xFFFF;
    if (rises != 0) {
      const auto lane = static_cast<unsigned>(__builtin_ctz(rises));
      *period = d.elapsed + static_cast<std::int64_t>(i + lane + 1);
      const std::uint8_t before = i + lane > 0 ? complement(raw[i + lane - 1]) : d.previous;
      start_cycle(d, before, complement(raw[i + lane]));
      return i + lane + 1;
    }
    before_below = below >> (LANES - 1);
  }
  if (i > 0) {
    d.previous = complement(raw[i - 1]);
    d.elapsed += static_cast<std::int64_t>(i);
  }
  return i + feed_each(d, raw + i, count - i, period);
}

}  // namespace

std::size_t feed_span(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                      std::int64_t* period) {
  *period = 0;
  std::size_t consumed = 0;
  while (consumed < count && *period == 0) {
    const bool silent = d.elapsed >= SILENCE_LIMIT;
    consumed += silent ? scan_silence(d, raw + consumed, count - consumed, period)
                       : scan_cycle(d, raw + consumed, count - consumed, period);
  }
  return consumed;
}

#else

// Portable path: the reference detector, one sample at a time.
std::size_t feed_span(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                      std::int64_t* period) {
  *period = 0;
  return feed_each(d, raw, count, period);
}

#endif

namespace {

// The number of bytes of `count` whose crossings surely fit into `capacity` entries.
std::size_t fitting(std::size_t count, std::size_t capacity) {
  const std::size_t most = capacity * static_cast<std::size_t>(DEBOUNCE_LIMIT + 1);
  return count < most ? count : most;
}

ChunkScan detect_chunk_reference(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                                 Crossing* out, std::size_t capacity) {
  count = fitting(count, capacity);
  std::size_t found = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::int64_t period = 0;
    if (feed(d, complement(raw[i]), &period))
      out[found++] = {period, static_cast<std::uint32_t>(i)};
  }
  return {found, count};
}

// Takes raw[pos, count) through feed_span(), storing its crossings from out[found] on. Returns
// the number of crossings stored in all.
std::size_t store_spans(PulseDetector& d, const std::uint8_t* raw, std::size_t pos,
                        std::size_t count, Crossing* out, std::size_t found) {
  while (pos < count) {
    std::int64_t period = 0;
    pos += feed_span(d, raw + pos, count - pos, &period);
    if (period != 0) out[found++] = {period, static_cast<std::uint32_t>(pos - 1)};
  }
  return found;
}

ChunkScan detect_chunk_span(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                            Crossing* out, std::size_t capacity) {
  count = fitting(count, capacity);
  return {store_spans(d, raw, 0, count, out, 0), count};
}

}  // namespace

#if defined(MZF_WIDE_PATHS)

namespace {

// The stream search of a wide path, storing the crossings in order.
template <typename Window>
ChunkScan store_crossings(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                          Crossing* out, std::size_t capacity) {
  wide_search::StoreCrossings sink{out, 0};
  const std::size_t consumed =
      wide_search::detect_stream_wide<Window>(d, raw, fitting(count, capacity), sink);
  return {sink.found, consumed};
}

// The entry points of the wide paths, each compiled for its instruction set (see
// signal/wide_search.h).
MZF_AVX2 MZF_WHOLE ChunkScan detect_stream_avx2(PulseDetector& d, const std::uint8_t* raw,
                                                std::size_t count, Crossing* out,
                                                std::size_t capacity) {
  return store_crossings<wide_search::AvxWindow>(d, raw, count, out, capacity);
}

MZF_AVX512 MZF_WHOLE ChunkScan detect_stream_avx512(PulseDetector& d, const std::uint8_t* raw,
                                                    std::size_t count, Crossing* out,
                                                    std::size_t capacity) {
  return store_crossings<wide_search::Avx512Window>(d, raw, count, out, capacity);
}

// A wide path over a whole chunk: the stream search, then the last samples, fewer than a window,
// one cycle at a time.
ChunkScan detect_chunk_wide(DetectorPath path, PulseDetector& d, const std::uint8_t* raw,
                            std::size_t count, Crossing* out, std::size_t capacity) {
  count = fitting(count, capacity);
  const ChunkScan scan = path == DetectorPath::AVX512
                             ? detect_stream_avx512(d, raw, count, out, capacity)
                             : detect_stream_avx2(d, raw, count, out, capacity);
  return {store_spans(d, raw, scan.consumed, count, out, scan.crossings), count};
}

// Tests of the feature words that the runtime fills in at start-up; cheap enough per chunk, and
// unlike a cached static they need no guard from the C++ runtime library. The paths also count
// trailing zeros with BMI1 and shift with BMI2, which every processor with AVX2 has so far, but
// they are checked too.
// The runtime reports AVX-512 only where the operating system saves its registers.
bool avx2_supported() {
  return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi") != 0 &&
         __builtin_cpu_supports("bmi2") != 0;
}

bool avx512_supported() {
#if defined(MZF_NO_AVX512)
  return false;
#else
  return avx2_supported() && __builtin_cpu_supports("avx512f") != 0 &&
         __builtin_cpu_supports("avx512bw") != 0;
#endif
}

}  // namespace

#endif

bool detector_path_available(DetectorPath path) {
  switch (path) {
    case DetectorPath::REFERENCE:
    case DetectorPath::SSE2: return true;
#if defined(MZF_WIDE_PATHS)
    case DetectorPath::AVX2: return avx2_supported();
    case DetectorPath::AVX512: return avx512_supported();
#else
    case DetectorPath::AVX2:
    case DetectorPath::AVX512: return false;
#endif
  }
  return false;
}

DetectorPath detector_path_chosen() {
  if (detector_path_available(DetectorPath::AVX512)) return DetectorPath::AVX512;
  if (detector_path_available(DetectorPath::AVX2)) return DetectorPath::AVX2;
  return DetectorPath::SSE2;
}

ChunkScan detect_chunk_along(DetectorPath path, PulseDetector& detector, const std::uint8_t* raw,
                             std::size_t count, Crossing* out, std::size_t capacity) {
  switch (path) {
    case DetectorPath::REFERENCE:
      return detect_chunk_reference(detector, raw, count, out, capacity);
    case DetectorPath::SSE2: break;
    case DetectorPath::AVX2:
    case DetectorPath::AVX512:
#if defined(MZF_WIDE_PATHS)
      return detect_chunk_wide(path, detector, raw, count, out, capacity);
#else
      break;
#endif
  }
  return detect_chunk_span(detector, raw, count, out, capacity);
}

ChunkScan detect_chunk(PulseDetector& detector, const std::uint8_t* raw, std::size_t count,
                       Crossing* out, std::size_t capacity) {
  return detect_chunk_along(detector_path_chosen(), detector, raw, count, out, capacity);
}

ChunkScan detect_stream_along(DetectorPath path, PulseDetector& detector, const std::uint8_t* raw,
                              std::size_t count, Crossing* out, std::size_t capacity) {
#if defined(MZF_WIDE_PATHS)
  if (path == DetectorPath::AVX512)
    return detect_stream_avx512(detector, raw, count, out, capacity);
  if (path == DetectorPath::AVX2) return detect_stream_avx2(detector, raw, count, out, capacity);
#endif
  return detect_chunk_along(path, detector, raw, count, out, capacity);
}

ChunkScan detect_stream(PulseDetector& detector, const std::uint8_t* raw, std::size_t count,
                        Crossing* out, std::size_t capacity) {
  return detect_stream_along(detector_path_chosen(), detector, raw, count, out, capacity);
}

}  // namespace mzfextract
