#include "signal/pulse_detector.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The AVX2 path is compiled on x86-64 alongside the baseline code and chosen at run time;
// MZF_NO_AVX2 leaves it out, as does a build without SSE2.
#if defined(__x86_64__) && defined(__SSE2__) && !defined(MZF_NO_AVX2)
#define MZF_AVX2_PATH 1
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

#if defined(MZF_AVX2_PATH)

namespace {

// AVX2 path. A search looks at a 64-sample window starting right after the last crossing (or
// where the previous window ended). While the cycle lasts, the threshold cannot change before the
// silence limit, so one compare per 32 samples gives the samples at or above it, a shift of that
// mask the samples before them, and the lowest bit where a sample at or above follows one below
// (and that the debounce and the silence limit allow) is the crossing, exactly as feed() would
// find it first. The cycle's extremes are the minimum and maximum of the same vectors with the
// lanes after the crossing masked out. Windows never reach past the chunk: the last samples,
// fewer than 64, go through feed_span().
//
// A single search is bound by its serial chain (crossing, extremes, threshold, next crossing),
// so a block is searched by two: the first from the detector's state at its start, the second
// from its middle with a guessed state. The state right after a crossing depends only on that
// crossing and the one before it: the sample before the crossing and the crossing sample start
// the new cycle's trackers, and the ended cycle's extremes are those of the samples between the
// two (or mid-scale when the silence limit lay between them). So once the first search finds a
// crossing that the second found too, with the same period, and the second had found the one
// before it, both are in the same state from there on and the second search's later crossings
// are exactly the first's. If they never meet, the second's are dropped and the first goes on.

#define MZF_AVX2 __attribute__((target("avx2")))

constexpr std::size_t WINDOW = 64;
// Blocks of at most this many bytes are split between two searches; shorter ones, down to
// TWO_SEARCHES_MIN, too.
constexpr std::size_t BLOCK = 2048;
constexpr std::size_t TWO_SEARCHES_MIN = 256;

// 64 zeros then 64 ones: loaded at offset 64 - n, lanes from n on are all ones (outside the
// cycle).
alignas(64) constexpr std::uint8_t OUTSIDE[2 * WINDOW] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

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

// Lowest of the 32 lanes: two lane-wise halvings, then the 16-bit minimum instruction on the
// bytes widened with zeros.
MZF_AVX2 inline std::uint8_t lowest(__m256i v) {
  __m128i m = _mm_min_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  m = _mm_min_epu8(m, _mm_srli_epi16(m, 8));
  return static_cast<std::uint8_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(m)));
}

MZF_AVX2 inline std::uint64_t mask64(__m256i low_half, __m256i high_half) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(low_half)) |
         static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(high_half)))
             << 32;
}

// Starts a new cycle at crossing lane `k` of the window at `p`, as feed() does.
inline void start_cycle_at(Search& s, const std::uint8_t* p, unsigned k) {
  s.cur_min = k > 0 ? complement(p[k - 1]) : s.previous;
  s.cur_max = complement(p[k]);
  s.previous = s.cur_max;
  s.elapsed = 0;
  s.pos += k + 1;
}

// Searches one window at s.pos, which must end within the chunk. Returns true and stores the
// crossing in `*out` when it found one; otherwise the search has moved past the window (or up to
// the silence limit).
MZF_AVX2 inline bool search_window(Search& s, const std::uint8_t* raw, Crossing* out) {
  const std::uint8_t* p = raw + s.pos;
  const __m256i r0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i r1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  if (s.elapsed >= SILENCE_LIMIT) {
    // In silence the threshold is mid-scale and the trackers stay there: a crossing is a raw
    // byte below 128 after one at or above 128, which the sign bits tell.
    s.cur_min = s.cur_max = s.prev_min = s.prev_max = MID_LEVEL;
    const std::uint64_t below = mask64(r0, r1);
    const std::uint64_t rises =
        ~below & (below << 1 | static_cast<std::uint64_t>(s.previous < MID_LEVEL));
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
  const __m256i flip = _mm256_set1_epi8(-1);
  const __m256i u0 = _mm256_xor_si256(r0, flip);
  const __m256i u1 = _mm256_xor_si256(r1, flip);
  const __m256i t = _mm256_set1_epi8(static_cast<char>(threshold));
  const std::uint64_t at_or_above = mask64(_mm256_cmpeq_epi8(_mm256_max_epu8(u0, t), u0),
                                           _mm256_cmpeq_epi8(_mm256_max_epu8(u1, t), u1));
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
  // trackers; the maximum of u is 255 minus the minimum of the raw bytes.
  const std::uint8_t* outside = OUTSIDE + (WINDOW - lanes);
  const __m256i out0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(outside));
  const __m256i out1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(outside + 32));
  const std::uint8_t low =
      lowest(_mm256_min_epu8(_mm256_or_si256(u0, out0), _mm256_or_si256(u1, out1)));
  const auto high =
      complement(lowest(_mm256_min_epu8(_mm256_or_si256(r0, out0), _mm256_or_si256(r1, out1))));
  if (low < s.cur_min) s.cur_min = low;
  if (high > s.cur_max) s.cur_max = high;
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

// Searches raw[a.pos, end) with the windows of one or two searches; stores the crossings at
// out[found...] and returns their new number. `a` is the true state at its start and at its end.
MZF_AVX2 std::size_t search_block(Search& state, const std::uint8_t* raw, std::size_t end,
                                  Crossing* out, std::size_t found) {
  if (end - state.pos < WINDOW) return found;
  // A local copy, so that the compiler can keep it in registers across the stores to `out`.
  Search a = state;
  const std::size_t last_start = end - WINDOW;  // the last position a window may start at
  if (end - a.pos >= TWO_SEARCHES_MIN) {
    const std::size_t middle = a.pos + (end - a.pos) / 2;
    // Any state is a valid guess; this one allows a crossing at once and takes the threshold of
    // the first search, which the signal usually keeps.
    Search b{middle,     DEBOUNCE_LIMIT, complement(raw[middle - 1]), a.prev_min, a.prev_max,
             a.prev_min, a.prev_max};
    Crossing second[max_crossings(BLOCK)];
    std::size_t second_found = 0;
    std::size_t next = 0;  // the first of the second search's crossings not behind the first's
    while (a.pos <= last_start) {
      Crossing c;
      const bool crossed = search_window(a, raw, &c);
      // Independent of the first search: the processor runs both chains at once.
      if (b.pos <= last_start && search_window(b, raw, &second[second_found])) ++second_found;
      if (!crossed) continue;
      out[found++] = c;
      if (c.index < middle) continue;
      while (next < second_found && second[next].index < c.index) ++next;
      if (next >= 1 && next < second_found && second[next].index == c.index &&
          second[next].period == c.period) {
        for (std::size_t i = next + 1; i < second_found; ++i) out[found++] = second[i];
        a = b;
        break;
      }
      // Past all the second search has found and it cannot find more ahead: give it up.
      if (next == second_found && (b.pos > last_start || b.pos <= a.pos)) break;
    }
  }
  while (a.pos <= last_start) {
    if (search_window(a, raw, &out[found])) ++found;
  }
  state = a;
  return found;
}

MZF_AVX2 ChunkScan detect_chunk_avx2(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                                     Crossing* out, std::size_t capacity) {
  count = fitting(count, capacity);
  std::size_t found = 0;
  std::size_t pos = 0;
  while (pos < count) {
    const std::size_t end = count - pos > BLOCK ? pos + BLOCK : count;
    Search a = search_from(d, pos);
    found = search_block(a, raw, end, out, found);
    d = detector_of(a);
    // The block's last samples, fewer than a window.
    pos = a.pos;
    while (pos < end) {
      std::int64_t period = 0;
      pos += feed_span(d, raw + pos, end - pos, &period);
      if (period != 0) out[found++] = {period, static_cast<std::uint32_t>(pos - 1)};
    }
  }
  return {found, count};
}

// A test of the feature word that the runtime fills in at start-up; cheap enough per chunk, and
// unlike a cached static it needs no guard from the C++ runtime library.
bool avx2_supported() {
  return __builtin_cpu_supports("avx2") != 0;
}

}  // namespace

#endif

bool detector_path_available(DetectorPath path) {
  switch (path) {
    case DetectorPath::REFERENCE:
    case DetectorPath::SSE2: return true;
    case DetectorPath::AVX2:
#if defined(MZF_AVX2_PATH)
      return avx2_supported();
#else
      return false;
#endif
  }
  return false;
}

DetectorPath detector_path_chosen() {
  return detector_path_available(DetectorPath::AVX2) ? DetectorPath::AVX2 : DetectorPath::SSE2;
}

ChunkScan detect_chunk_along(DetectorPath path, PulseDetector& detector, const std::uint8_t* raw,
                             std::size_t count, Crossing* out, std::size_t capacity) {
  switch (path) {
    case DetectorPath::REFERENCE:
      return detect_chunk_reference(detector, raw, count, out, capacity);
    case DetectorPath::SSE2: break;
    case DetectorPath::AVX2:
#if defined(MZF_AVX2_PATH)
      return detect_chunk_avx2(detector, raw, count, out, capacity);
#else
      break;
#endif
  }
  return detect_chunk_span(detector, raw, count, out, capacity);
}

ChunkScan detect_chunk(PulseDetector& detector, const std::uint8_t* raw, std::size_t count,
                       Crossing* out, std::size_t capacity) {
#if defined(MZF_AVX2_PATH)
  if (avx2_supported()) return detect_chunk_avx2(detector, raw, count, out, capacity);
#endif
  return detect_chunk_span(detector, raw, count, out, capacity);
}

}  // namespace mzfextract
