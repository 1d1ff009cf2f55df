#include "signal/pulse_detector.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The wide paths (AVX2, and AVX-512 where MZF_NO_AVX512 does not leave it out) are compiled on
// x86-64 alongside the baseline code and chosen at run time; MZF_NO_AVX2 leaves both out, as does
// a build without SSE2.
#if defined(__x86_64__) && defined(__SSE2__) && !defined(MZF_NO_AVX2)
#define MZF_WIDE_PATHS 1
#include <immintrin.h>
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

ChunkScan detect_chunk_span(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                            Crossing* out, std::size_t capacity) {
  count = fitting(count, capacity);
  std::size_t found = 0;
  std::size_t consumed = 0;
  while (consumed < count) {
    std::int64_t period = 0;
    consumed += feed_span(d, raw + consumed, count - consumed, &period);
    if (period != 0) out[found++] = {period, static_cast<std::uint32_t>(consumed - 1)};
  }
  return {found, count};
}

}  // namespace

#if defined(MZF_WIDE_PATHS)

namespace {

// The wide paths (AVX2 and AVX-512, one chosen at run time). A search looks at a 64-sample window
// starting right after the last crossing (or where the previous window ended). While the cycle
// lasts, the threshold cannot change before the silence limit, so one compare gives the samples
// at or above it as a 64-bit mask, a shift of that mask the samples before them, and the lowest
// bit where a sample at or above follows one below (and that the debounce and the silence limit
// allow) is the crossing, exactly as feed() would find it first. The cycle's extremes are the
// minimum and maximum of the same window with the lanes after the crossing masked out.
//
// Right after a crossing at c, the cycles are followed by follow_cycles() with windows that start
// at c itself, so that lane k is the sample k after the crossing: its elapsed count is k, the
// debounce allows lanes 6 and up, and the silence limit lies beyond the window. The search's
// serial chain would be crossing, extremes, threshold, next crossing; it is cut short by searching
// each window twice, once with the threshold of a cycle before (known long before) and once with
// the true one (known only once the extremes are folded). The first decides where the next window
// starts; the second only checks it, off that chain. When both find the first rise in the same
// lane the crossing is the same, and so is everything after it: the state after a crossing
// depends on nothing but where it and the one before it lie. When they differ (the threshold
// moved across a sample at the edge), the window is searched again with the true threshold.
//
// The search is written once over a window type that holds the instructions of one set:
// AvxWindow (two 32-byte vectors) and Avx512Window (one 64-byte vector and mask registers). The
// entry points of each path are compiled for their set and have everything inlined into them.
//
// A window never reaches past the bytes given; the stream detector leaves the last ones, fewer
// than 64, to be passed again in front of the next chunk, and detect_chunk() takes them through
// feed_span().

#define MZF_AVX2 __attribute__((target("avx2,bmi")))
#define MZF_AVX512 __attribute__((target("avx512f,avx512bw,avx2,bmi")))
// The entry points of a path: the template search and the window operations inlined into them.
#define MZF_WHOLE __attribute__((flatten))

constexpr std::size_t WINDOW = 64;

// The extremes of complemented samples over some lanes of a window.
struct Extremes {
  std::uint8_t low;
  std::uint8_t high;
};

// Lowest of the 32 lanes: two lane-wise halvings, then the 16-bit minimum instruction on the
// bytes widened with zeros.
MZF_AVX2 inline std::uint8_t lowest(__m256i v) {
  __m128i m = _mm_min_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  m = _mm_min_epu8(m, _mm_srli_epi16(m, 8));
  return static_cast<std::uint8_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(m)));
}

// 64 zeros then 64 ones: loaded at offset 63 - last, lanes after `last` are all ones (outside
// the cycle).
alignas(64) constexpr std::uint8_t OUTSIDE[2 * WINDOW] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A window of 64 raw bytes in two AVX2 registers.
struct AvxWindow {
  __m256i low_half;
  __m256i high_half;

  MZF_AVX2 static AvxWindow load(const std::uint8_t* p) {
    return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32))};
  }

  // The lanes whose complemented sample is at or above the threshold of raw ceiling `ceiling`,
  // that is whose raw byte is at or below it.
  MZF_AVX2 std::uint64_t at_or_above(std::uint8_t ceiling) const {
    const __m256i c = _mm256_set1_epi8(static_cast<char>(ceiling));
    const auto low_lanes = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(low_half, c), low_half)));
    const auto high_lanes = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(high_half, c), high_half)));
    return low_lanes | std::uint64_t{high_lanes} << 32;
  }

  // The extremes of the complemented samples of lanes 0 to `last`: the lanes after it are set to
  // all ones, neutral for a minimum, and the maximum of u is 255 minus the minimum of the raw
  // bytes.
  MZF_AVX2 Extremes extremes(unsigned last) const {
    const std::uint8_t* outside = OUTSIDE + (WINDOW - 1 - last);
    const __m256i out0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(outside));
    const __m256i out1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(outside + 32));
    const __m256i flip = _mm256_set1_epi8(-1);
    const std::uint8_t low =
        lowest(_mm256_min_epu8(_mm256_or_si256(_mm256_xor_si256(low_half, flip), out0),
                               _mm256_or_si256(_mm256_xor_si256(high_half, flip), out1)));
    const std::uint8_t raw_low =
        lowest(_mm256_min_epu8(_mm256_or_si256(low_half, out0), _mm256_or_si256(high_half, out1)));
    return {low, complement(raw_low)};
  }
};

// The lower and upper 32 bytes of `v`. The zero-masking form of the extract, with every lane kept,
// is the plain one without the undefined fill that makes the compiler warn in the plain form.
MZF_AVX512 inline __m256i lower_half(__m512i v) {
  return _mm512_maskz_extracti64x4_epi64(0xFF, v, 0);
}

MZF_AVX512 inline __m256i upper_half(__m512i v) {
  return _mm512_maskz_extracti64x4_epi64(0xFF, v, 1);
}

// A window of 64 raw bytes in one AVX-512 register; compares give the lane mask directly.
struct Avx512Window {
  __m512i lanes;

  MZF_AVX512 static Avx512Window load(const std::uint8_t* p) { return {_mm512_loadu_si512(p)}; }

  MZF_AVX512 std::uint64_t at_or_above(std::uint8_t ceiling) const {
    return _mm512_cmple_epu8_mask(lanes, _mm512_set1_epi8(static_cast<char>(ceiling)));
  }

  // As AvxWindow::extremes(): the lanes after `last` are set to all ones for the minimum of the
  // raw bytes and to zeros for their maximum; the lowest u is 255 minus that maximum, found as
  // the lowest of the complemented maxima.
  MZF_AVX512 Extremes extremes(unsigned last) const {
    const __m512i outside = _mm512_loadu_si512(OUTSIDE + (WINDOW - 1 - last));
    const __m512i with_ones = _mm512_or_si512(lanes, outside);
    // Lanes and not outside (the plain and-not's definition has the undefined fill too).
    const __m512i with_zeros = _mm512_ternarylogic_epi64(outside, lanes, lanes, 0x0C);
    const __m256i raw_low = _mm256_min_epu8(lower_half(with_ones), upper_half(with_ones));
    const __m256i raw_high = _mm256_max_epu8(lower_half(with_zeros), upper_half(with_zeros));
    return {lowest(_mm256_xor_si256(raw_high, _mm256_set1_epi8(-1))), complement(lowest(raw_low))};
  }
};

// A search: the detector's fields plus the index of the next sample within the chunk.
struct Search {
  std::size_t pos;
  std::int64_t elapsed;
  std::uint8_t previous;
  std::uint8_t cur_min;
  std::uint8_t cur_max;
  std::uint8_t prev_min;
  std::uint8_t prev_max;
};

Search search_from(const PulseDetector& d, std::size_t pos) {
  return {pos, d.elapsed, d.previous, d.cur_min, d.cur_max, d.prev_min, d.prev_max};
}

PulseDetector detector_of(const Search& s) {
  return {s.previous, s.elapsed, s.cur_min, s.cur_max, s.prev_min, s.prev_max};
}

// Starts a new cycle at crossing lane `k` of the window at `p`, as feed() does.
inline void start_cycle_at(Search& s, const std::uint8_t* p, unsigned k) {
  s.cur_min = k > 0 ? complement(p[k - 1]) : s.previous;
  s.cur_max = complement(p[k]);
  s.previous = s.cur_max;
  s.elapsed = 0;
  s.pos += k + 1;
}

// The raw-byte ceiling of the threshold that the extremes `low` and `high` set: a complemented
// sample u is at or above the threshold exactly when its raw byte 255 - u is at or below this.
inline std::uint8_t ceiling_of(std::uint8_t low, std::uint8_t high) {
  return static_cast<std::uint8_t>(255 - ((low + high + 1) >> 1));
}

// In silence the threshold is mid-scale: a sample is at or above it when its raw byte is at or
// below this.
constexpr std::uint8_t SILENCE_CEILING = 255 - MID_LEVEL;

// Searches one window at s.pos, which must end within the chunk. Returns true and stores the
// crossing in `*out` when it found one; otherwise the search has moved past the window (or up to
// the silence limit).
template <typename Window>
bool search_window(Search& s, const std::uint8_t* raw, Crossing* out) {
  const std::uint8_t* p = raw + s.pos;
  const Window w = Window::load(p);
  if (s.elapsed >= SILENCE_LIMIT) {
    // In silence the trackers stay at mid-scale, and nothing else changes until a crossing.
    s.cur_min = s.cur_max = s.prev_min = s.prev_max = MID_LEVEL;
    const std::uint64_t at_or_above = w.at_or_above(SILENCE_CEILING);
    const std::uint64_t rises =
        at_or_above & ~(at_or_above << 1 | static_cast<std::uint64_t>(s.previous >= MID_LEVEL));
    if (rises == 0) {
      s.elapsed += static_cast<std::int64_t>(WINDOW);
      s.previous = complement(p[WINDOW - 1]);
      s.pos += WINDOW;
      return false;
    }
    const auto k = static_cast<unsigned>(__builtin_ctzll(rises));
    *out = {s.elapsed + k + 1, static_cast<std::uint32_t>(s.pos + k)};
    start_cycle_at(s, p, k);
    return true;
  }
  const auto threshold = static_cast<std::uint8_t>((s.prev_min + s.prev_max + 1) >> 1);
  const std::uint64_t at_or_above = w.at_or_above(ceiling_of(s.prev_min, s.prev_max));
  std::uint64_t rises =
      at_or_above & ~(at_or_above << 1 | static_cast<std::uint64_t>(s.previous >= threshold));
  // Lane k holds the sample whose elapsed count is s.elapsed + k + 1.
  if (s.elapsed < DEBOUNCE_LIMIT) rises &= ~std::uint64_t{0} << (DEBOUNCE_LIMIT - s.elapsed);
  std::size_t lanes = WINDOW;
  const auto available = static_cast<std::size_t>(SILENCE_LIMIT - s.elapsed);  // at least 1
  if (available < WINDOW) {
    rises &= (std::uint64_t{1} << available) - 1;
    lanes = available;
  }
  if (rises != 0) lanes = static_cast<std::size_t>(__builtin_ctzll(rises)) + 1;
  // Fold the lanes up to and including the crossing (or all that were searched) into the
  // trackers.
  const Extremes e = w.extremes(static_cast<unsigned>(lanes - 1));
  if (e.low < s.cur_min) s.cur_min = e.low;
  if (e.high > s.cur_max) s.cur_max = e.high;
  if (rises == 0) {
    s.elapsed += static_cast<std::int64_t>(lanes);
    s.previous = complement(p[lanes - 1]);
    s.pos += lanes;
    return false;
  }
  const auto k = static_cast<unsigned>(lanes - 1);
  *out = {s.elapsed + k + 1, static_cast<std::uint32_t>(s.pos + k)};
  s.prev_min = s.cur_min;
  s.prev_max = s.cur_max;
  start_cycle_at(s, p, k);
  return true;
}

// Lanes of a window starting at a crossing where a crossing may lie: the debounce needs more
// than DEBOUNCE_LIMIT samples since it, and lane k is the k-th sample after it.
constexpr std::uint64_t AFTER_DEBOUNCE = ~std::uint64_t{0} << (DEBOUNCE_LIMIT + 1);

// The rises of a stretch of samples, one bit per sample (bit i for raw[base + i]): where a sample
// at or above a threshold follows one below it. The debounce is left to the reader.
constexpr std::size_t MAP_WORDS = 40;
struct RiseMap {
  std::size_t base;
  std::size_t end;  // the samples mapped end here
  std::uint64_t words[MAP_WORDS + 1];
};

// Maps the rises to the threshold of raw ceiling `ceiling` in whole windows from raw[from] on,
// as many as fit before `count`; a zero word follows them, so that reading 8 bytes anywhere in the
// map stays within what was written.
template <typename Window>
void map_rises(RiseMap& map, const std::uint8_t* raw, std::size_t from, std::size_t count,
               std::uint8_t ceiling) {
  std::size_t words = (count - from) / WINDOW;
  if (words > MAP_WORDS) words = MAP_WORDS;
  std::uint64_t carry = 0;  // whether the sample before the window was at or above
  for (std::size_t j = 0; j < words; ++j) {
    const std::uint64_t at_or_above = Window::load(raw + from + j * WINDOW).at_or_above(ceiling);
    map.words[j] = at_or_above & ~(at_or_above << 1 | carry);
    carry = at_or_above >> 63;
  }
  map.words[words] = 0;
  map.base = from;
  map.end = from + words * WINDOW;
}

// The lanes a followed cycle may end in: after the debounce, and short of the last lane, so that
// the 57 lanes read from the map at any bit offset cover them all.
constexpr std::uint64_t FOLLOWED_LANES = AFTER_DEBOUNCE & (~std::uint64_t{0} >> 1);
constexpr unsigned FIRST_LANE = DEBOUNCE_LIMIT + 1;

// Follows the signal from the crossing just found (at s.pos - 1, with s.elapsed 0), one cycle per
// window, while a window fits in raw[0, count) and the cycle ends within it. Stores the crossings
// at out[found...] and returns their new number; `s` is the true state after the last of them.
template <typename Window>
std::size_t follow_cycles(Search& s, const std::uint8_t* raw, std::size_t count, Crossing* out,
                          std::size_t found) {
  std::size_t c = s.pos - 1;
  std::uint8_t before = s.cur_min;  // the sample before the crossing at c
  // The extremes of the cycle that ended at c, which set the threshold of the next one.
  std::uint8_t low = s.prev_min;
  std::uint8_t high = s.prev_max;
  RiseMap map;
  map_rises<Window>(map, raw, c, count, ceiling_of(low, high));
  while (c + WINDOW <= count) {
    const std::uint8_t ceiling = ceiling_of(low, high);
    if (c + WINDOW > map.end) [[unlikely]] {
      map_rises<Window>(map, raw, c, count, ceiling);
    }
    // The guess: the rises of the map, made with the threshold of a cycle before. Reading them is
    // all that the next crossing waits for.
    const std::size_t first = c + FIRST_LANE - map.base;
    std::uint64_t mapped = 0;
    std::memcpy(&mapped, reinterpret_cast<const std::uint8_t*>(map.words) + first / 8,
                sizeof mapped);
    const std::uint64_t rises = (mapped >> (first % 8)) << FIRST_LANE & FOLLOWED_LANES;
    // The check, off that chain: the rises to the true threshold in the window at c.
    const std::uint8_t* p = raw + c;
    const Window w = Window::load(p);
    const std::uint64_t at_or_above = w.at_or_above(ceiling);
    const std::uint64_t true_rises = at_or_above & ~(at_or_above << 1) & FOLLOWED_LANES;
    // The crossing is the lowest rise, so the same lowest bit means the same crossing (or none
    // within the lanes for both). Otherwise the map is made again with the true threshold, and
    // the window searched again.
    if ((rises & (0 - rises)) != (true_rises & (0 - true_rises))) [[unlikely]] {
      map_rises<Window>(map, raw, c, count, ceiling);
      continue;
    }
    if (rises == 0) break;  // a longer cycle, or one that the silence limit may end
    const auto k = static_cast<unsigned>(__builtin_ctzll(rises));
    out[found++] = {static_cast<std::int64_t>(k), static_cast<std::uint32_t>(c + k)};
    // The ended cycle's extremes: lanes 0 to k (the crossing at c starts the maximum, and no
    // sample between the two crossings lies outside them), and the sample before c, which
    // starts the minimum.
    const Extremes e = w.extremes(k);
    high = e.high;
    low = e.low < before ? e.low : before;
    before = complement(p[k - 1]);
    c += k;
  }
  s.pos = c + 1;
  s.elapsed = 0;
  s.previous = complement(raw[c]);
  s.cur_max = s.previous;
  s.cur_min = before;
  s.prev_min = low;
  s.prev_max = high;
  return found;
}

// Searches raw[0, count) up to where fewer than WINDOW bytes remain past the last crossing or
// window; the true state at its end is left in `d`.
template <typename Window>
ChunkScan detect_stream_wide(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                             Crossing* out, std::size_t capacity) {
  count = fitting(count, capacity);
  // A local copy, so that the compiler can keep it in registers across the stores to `out`.
  Search s = search_from(d, 0);
  std::size_t found = 0;
  while (s.pos + WINDOW <= count) {
    if (search_window<Window>(s, raw, &out[found]))
      found = follow_cycles<Window>(s, raw, count, out, found + 1);
  }
  d = detector_of(s);
  return {found, s.pos};
}

MZF_AVX2 MZF_WHOLE ChunkScan detect_stream_avx2(PulseDetector& d, const std::uint8_t* raw,
                                                std::size_t count, Crossing* out,
                                                std::size_t capacity) {
  return detect_stream_wide<AvxWindow>(d, raw, count, out, capacity);
}

MZF_AVX512 MZF_WHOLE ChunkScan detect_stream_avx512(PulseDetector& d, const std::uint8_t* raw,
                                                    std::size_t count, Crossing* out,
                                                    std::size_t capacity) {
  return detect_stream_wide<Avx512Window>(d, raw, count, out, capacity);
}

// A wide path over a whole chunk: the stream search, then the last samples, fewer than a window,
// one cycle at a time.
ChunkScan detect_chunk_wide(DetectorPath path, PulseDetector& d, const std::uint8_t* raw,
                            std::size_t count, Crossing* out, std::size_t capacity) {
  count = fitting(count, capacity);
  const ChunkScan scan = path == DetectorPath::AVX512
                             ? detect_stream_avx512(d, raw, count, out, capacity)
                             : detect_stream_avx2(d, raw, count, out, capacity);
  std::size_t found = scan.crossings;
  std::size_t pos = scan.consumed;
  while (pos < count) {
    std::int64_t period = 0;
    pos += feed_span(d, raw + pos, count - pos, &period);
    if (period != 0) out[found++] = {period, static_cast<std::uint32_t>(pos - 1)};
  }
  return {found, count};
}

// Tests of the feature words that the runtime fills in at start-up; cheap enough per chunk, and
// unlike a cached static they need no guard from the C++ runtime library. The paths also count
// trailing zeros with BMI1, which every processor with AVX2 has so far, but it is checked too.
// The runtime reports AVX-512 only where the operating system saves its registers.
bool avx2_supported() {
  return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi") != 0;
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
