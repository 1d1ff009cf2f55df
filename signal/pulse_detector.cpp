#include "signal/pulse_detector.h"

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

}  // namespace mzfextract
