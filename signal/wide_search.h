// The wide detector path (AVX2): one search over 64-sample windows, written once as templates
// over where the crossings go. Private to the detector and to code that runs its own work on each
// crossing as it is found; everything here is inlined into entry points compiled for AVX2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "signal/pulse_detector.h"

// The wide path is compiled on x86-64 alongside the baseline code and chosen at run time where the
// processor has AVX2; MZF_NO_VECTOR leaves it out.
#if defined(__x86_64__) && !defined(MZF_NO_VECTOR)
#define MZF_WIDE_PATHS 1
#include <immintrin.h>

namespace mzfextract::wide_search {

// The wide path. A search looks at a 64-sample window
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
// The search is written once over a sink that takes each crossing as it is found: StoreCrossings
// for the detector's own entry points, the decoder itself in tape/decoder_ride.cpp. The entry
// points are compiled for AVX2 and have everything inlined into them.
//
// A window never reaches past the bytes given; the stream detector leaves the last ones, fewer
// than 64, to be passed again in front of the next chunk, and detect_chunk() takes them through
// feed() one at a time.

#define MZF_AVX2 __attribute__((target("avx2,bmi,bmi2")))
// The entry points of the path: the template search and the window operations inlined into them.
#define MZF_WHOLE __attribute__((flatten))

inline std::uint8_t complement(std::uint8_t raw) {
  return static_cast<std::uint8_t>(~raw);
}

// The number of bytes of `count` whose crossings surely fit into `capacity` entries.
inline std::size_t fitting(std::size_t count, std::size_t capacity) {
  const std::size_t most = capacity * static_cast<std::size_t>(DEBOUNCE_LIMIT + 1);
  return count < most ? count : most;
}

// Where a search puts its crossings: in order into an array, as the detector gives them back.
struct StoreCrossings {
  Crossing* out;
  std::size_t found;

  void take(std::int64_t period, std::uint32_t index) { out[found++] = {period, index}; }
};

inline constexpr std::size_t WINDOW = 64;

// A level (a complemented sample, a threshold) kept in the lowest byte of a vector register,
// where the follow loop computes the next threshold without going through a general register.
using Level = __m128i;

MZF_AVX2 inline Level level_of(std::uint8_t u) {
  return _mm_cvtsi32_si128(u);
}

MZF_AVX2 inline std::uint8_t value_of(Level level) {
  return static_cast<std::uint8_t>(_mm_cvtsi128_si32(level));
}

// The extremes of complemented samples over some lanes of a window.
struct Extremes {
  Level low;
  Level high;
};

// Lowest of the 32 lanes, as a level: two lane-wise halvings, then the 16-bit minimum
// instruction on the bytes widened with zeros.
MZF_AVX2 inline Level lowest(__m256i v) {
  __m128i m = _mm_min_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  m = _mm_min_epu8(m, _mm_srli_epi16(m, 8));
  return _mm_minpos_epu16(m);
}

// The raw-byte ceiling of the threshold that the extremes `low` and `high` set, as a level: the
// threshold is their mean rounded up, which is what the byte average instruction computes, and
// a complemented sample u is at or above it exactly when its raw byte 255 - u is at or below
// the threshold's complement.
MZF_AVX2 inline Level ceiling_level(Level low, Level high) {
  return _mm_xor_si128(_mm_avg_epu8(low, high), _mm_set1_epi8(-1));
}

// 64 zeros then 64 ones: loaded at offset 63 - last, lanes after `last` are all ones (outside
// the cycle).
alignas(64) inline constexpr std::uint8_t OUTSIDE[2 * WINDOW] = {
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
    return at_or_above(level_of(ceiling));
  }

  MZF_AVX2 std::uint64_t at_or_above(Level ceiling) const {
    const __m256i c = _mm256_broadcastb_epi8(ceiling);
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
    const Level low =
        lowest(_mm256_min_epu8(_mm256_or_si256(_mm256_xor_si256(low_half, flip), out0),
                               _mm256_or_si256(_mm256_xor_si256(high_half, flip), out1)));
    const Level raw_low =
        lowest(_mm256_min_epu8(_mm256_or_si256(low_half, out0), _mm256_or_si256(high_half, out1)));
    return {low, _mm_xor_si128(raw_low, _mm_set1_epi8(-1))};
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

inline Search search_from(const PulseDetector& d, std::size_t pos) {
  return {pos, d.elapsed, d.previous, d.cur_min, d.cur_max, d.prev_min, d.prev_max};
}

inline PulseDetector detector_of(const Search& s) {
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
inline constexpr std::uint8_t SILENCE_CEILING = 255 - MID_LEVEL;

// Searches one window at s.pos, which must end within the chunk. Returns true and hands the
// crossing to `sink` when it found one; otherwise the search has moved past the window (or up to
// the silence limit).
template <typename Sink>
bool search_window(Search& s, const std::uint8_t* raw, Sink& sink) {
  const std::uint8_t* p = raw + s.pos;
  const AvxWindow w = AvxWindow::load(p);
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
    sink.take(s.elapsed + k + 1, static_cast<std::uint32_t>(s.pos + k));
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
  const std::uint8_t low = value_of(e.low);
  const std::uint8_t high = value_of(e.high);
  if (low < s.cur_min) s.cur_min = low;
  if (high > s.cur_max) s.cur_max = high;
  if (rises == 0) {
    s.elapsed += static_cast<std::int64_t>(lanes);
    s.previous = complement(p[lanes - 1]);
    s.pos += lanes;
    return false;
  }
  const auto k = static_cast<unsigned>(lanes - 1);
  sink.take(s.elapsed + k + 1, static_cast<std::uint32_t>(s.pos + k));
  s.prev_min = s.cur_min;
  s.prev_max = s.cur_max;
  start_cycle_at(s, p, k);
  return true;
}

// Lanes of a window starting at a crossing where a crossing may lie: the debounce needs more
// than DEBOUNCE_LIMIT samples since it, and lane k is the k-th sample after it.
inline constexpr std::uint64_t AFTER_DEBOUNCE = ~std::uint64_t{0} << (DEBOUNCE_LIMIT + 1);

// The rises of a stretch of samples, one bit per sample (bit i for raw[base + i]): where a sample
// at or above a threshold follows one below it. The debounce is left to the reader.
inline constexpr std::size_t MAP_WORDS = 40;
struct RiseMap {
  std::size_t base;
  std::size_t end;  // the samples mapped end here
  std::uint64_t words[MAP_WORDS + 1];
};

// Maps the rises to the threshold of raw ceiling `ceiling` in whole windows from raw[from] on,
// as many as fit before `count`; a zero word follows them, so that reading 8 bytes anywhere in the
// map stays within what was written.
inline void map_rises(RiseMap& map, const std::uint8_t* raw, std::size_t from, std::size_t count,
                      std::uint8_t ceiling) {
  std::size_t words = (count - from) / WINDOW;
  if (words > MAP_WORDS) words = MAP_WORDS;
  std::uint64_t carry = 0;  // whether the sample before the window was at or above
  for (std::size_t j = 0; j < words; ++j) {
    const std::uint64_t at_or_above = AvxWindow::load(raw + from + j * WINDOW).at_or_above(ceiling);
    map.words[j] = at_or_above & ~(at_or_above << 1 | carry);
    carry = at_or_above >> 63;
  }
  map.words[words] = 0;
  map.base = from;
  map.end = from + words * WINDOW;
}

// The lanes a followed cycle may end in: after the debounce, and short of the last lane, so that
// the 57 lanes read from the map at any bit offset cover them all.
inline constexpr std::uint64_t FOLLOWED_LANES = AFTER_DEBOUNCE & (~std::uint64_t{0} >> 1);
inline constexpr unsigned FIRST_LANE = DEBOUNCE_LIMIT + 1;
inline constexpr unsigned LAST_LANE = WINDOW - 2;

// The index of the lowest set bit, 64 when none is: the bit-count instruction of BMI1, which
// defines the empty case, where the builtin leaves it undefined.
MZF_AVX2 inline unsigned lowest_bit(std::uint64_t bits) {
  return static_cast<unsigned>(_tzcnt_u64(bits));
}

// Follows the signal from the crossing just found (at s.pos - 1, with s.elapsed 0), one cycle per
// window, while a window fits in raw[0, count) and the cycle ends within it. Hands the crossings
// to `sink`; `s` is the true state after the last of them.
template <typename Sink>
void follow_cycles(Search& s, const std::uint8_t* raw, std::size_t count, Sink& sink) {
  std::size_t c = s.pos - 1;
  std::uint8_t before = s.cur_min;  // the sample before the crossing at c
  // The extremes of the cycle that ended at c, which set the threshold of the next one, and
  // that threshold's raw ceiling, all kept as levels.
  Level low = level_of(s.prev_min);
  Level high = level_of(s.prev_max);
  Level ceiling = ceiling_level(low, high);
  RiseMap map;
  map_rises(map, raw, c, count, value_of(ceiling));
  // The chain runs on the crossing's position in the map, so that finding its bits there takes
  // an add and a shift.
  std::size_t at = 0;
  while (c + WINDOW <= count) {
    if (c + WINDOW > map.end) [[unlikely]] {
      map_rises(map, raw, c, count, value_of(ceiling));
      at = 0;
    }
    // The guess: the rises of the map, made with the threshold of a cycle before, from the first
    // sample the debounce allows on. Reading them is all that the next crossing waits for. At
    // least 57 of the bits read are the map's, enough for the followed lanes; a lane beyond them
    // (or none, where the bit count gives 64) means no crossing there.
    const std::size_t first = at + FIRST_LANE;
    std::uint64_t mapped = 0;
    std::memcpy(&mapped, reinterpret_cast<const std::uint8_t*>(map.words) + first / 8,
                sizeof mapped);
    const unsigned k = lowest_bit(mapped >> (first % 8)) + FIRST_LANE;
    // The check, off that chain: the rises to the true threshold in the window at c.
    const std::uint8_t* p = raw + c;
    const AvxWindow w = AvxWindow::load(p);
    const std::uint64_t at_or_above = w.at_or_above(ceiling);
    const std::uint64_t true_rises = at_or_above & ~(at_or_above << 1) & FOLLOWED_LANES;
    // The crossing is the lowest rise, so the same lowest lane means the same crossing (or none
    // within the lanes for both). Otherwise the map is made again with the true threshold, and
    // the window searched again.
    const unsigned guessed = k <= LAST_LANE ? k : WINDOW;
    if (guessed != lowest_bit(true_rises)) [[unlikely]] {
      map_rises(map, raw, c, count, value_of(ceiling));
      at = 0;
      continue;
    }
    if (guessed == WINDOW) break;  // a longer cycle, or one that the silence limit may end
    sink.take(static_cast<std::int64_t>(k), static_cast<std::uint32_t>(c + k));
    // The ended cycle's extremes: lanes 0 to k (the crossing at c starts the maximum, and no
    // sample between the two crossings lies outside them), and the sample before c, which
    // starts the minimum.
    const Extremes e = w.extremes(k);
    high = e.high;
    low = _mm_min_epu8(e.low, level_of(before));
    ceiling = ceiling_level(low, high);
    before = complement(p[k - 1]);
    c += k;
    at += k;
  }
  s.pos = c + 1;
  s.elapsed = 0;
  s.previous = complement(raw[c]);
  s.cur_max = s.previous;
  s.cur_min = before;
  s.prev_min = value_of(low);
  s.prev_max = value_of(high);
}

// Searches raw[0, count) up to where fewer than WINDOW bytes remain past the last crossing or
// window, handing every crossing to `sink`, and returns the number of bytes consumed; the true
// state at its end is left in `d`. `sink` must take as many crossings as the bytes can hold.
template <typename Sink>
std::size_t detect_stream_wide(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                               Sink& sink) {
  // A local copy, so that the compiler can keep it in registers across the stores of the sink.
  Search s = search_from(d, 0);
  while (s.pos + WINDOW <= count) {
    if (search_window(s, raw, sink)) follow_cycles(s, raw, count, sink);
  }
  d = detector_of(s);
  return s.pos;
}

}  // namespace mzfextract::wide_search

#endif
