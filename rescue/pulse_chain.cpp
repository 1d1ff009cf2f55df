// The chain is found by the Viterbi algorithm over sample times. A state says what the pulse that
// has just ended was: a gap pulse before the copy, the long pulse after a tape mark, pulse 0 (the
// start pulse) to 8 of a byte, or the closing long pulse or a gap pulse after the copy. The best
// score of each state at each time is kept for the last pulse's length of samples only; how each
// state's best chain ended is kept for every sample, one byte each, to trace the chain back at
// the end.
#include "rescue/pulse_chain.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__) && !defined(MZF_NO_VECTOR)
#include <emmintrin.h>
#endif

#include "format/tape_format.h"
#include "reader/tape_reader.h"

namespace mzfscan {

namespace {

// After the copy (TAIL) the chain may run on in the gap that follows, so that a stretch read
// that ends in a long gap is not read as one gap (a copy of mostly zero bytes is much like one).
constexpr int GAP = 0, SEPARATOR = 1, TAIL = 2, BYTE0 = 3, STATES = BYTE0 + 9;
// The low half's share of each pulse.
constexpr double SHORT_LOW = mzf::SHORT_FIRST_US / mzf::SHORT_PULSE_US;
constexpr double LONG_LOW = mzf::LONG_FIRST_US / mzf::LONG_PULSE_US;
// Windows on pulse lengths: wide to measure them, narrow to read.
constexpr double WIDE = 0.35;
constexpr double NARROW = 0.13;
// Bytes read with wide windows to measure the pulse lengths.
constexpr std::size_t MEASURE_BYTES = 96;
// How each state's best chain ended: the pulse's length (as an offset into its window) and one
// flag (a bit's value, or for a start pulse whether a byte came before it).
constexpr std::uint8_t LENGTH_MASK = 0x7F, FLAG = 0x80, CHAIN_START = 0xFF;
constexpr std::size_t MAX_WINDOW = LENGTH_MASK;  // lengths in one window
// The most samples a chain is found over: its traceback takes a byte per state and sample.
constexpr std::size_t MAX_CHAIN_SAMPLES = std::size_t{24} << 20;
// A pulse that fits less than this share of the usual for its kind is weak.
constexpr double WEAK_FIT = 0.15;
// Samples per short pulse the chain is found at, at least: longer pulses are averaged down.
constexpr double SAMPLES_PER_SHORT = 6;

struct Window {
  int low, high;  // pulse lengths in samples, inclusive
  double low_share;
};

Window window(double period, double width, double low_share) {
  Window w{static_cast<int>(std::floor(period * (1 - width))),
           static_cast<int>(std::ceil(period * (1 + width))), low_share};
  w.low = std::max(w.low, 2);
  w.high = std::max(w.high, w.low);
  w.high = std::min(w.high, w.low + static_cast<int>(MAX_WINDOW) - 1);
  return w;
}

// Into the `n` states at `row` (with `how` each chain there ended) from the states at `before`,
// by a pulse of `pulse` coded as `code`: a written-out maximum the compiler can do four at a time.
inline void relax(float* __restrict row, float* __restrict how, const float* __restrict before,
                  int n, float pulse, float code) {
  for (int k = 0; k < n; ++k) {
    const float total = before[k] + pulse;
    const bool better = total > row[k];
    row[k] = better ? total : row[k];
    how[k] = better ? code : how[k];
  }
}

// relax() into the eight bit states at once.
inline void relax_bits(float* row, float* how, const float* before, float pulse, float code) {
#if defined(__SSE2__) && !defined(MZF_NO_VECTOR)
  const __m128 add = _mm_set1_ps(pulse), coded = _mm_set1_ps(code);
  for (int k = 0; k < 8; k += 4) {
    const __m128 total = _mm_add_ps(_mm_loadu_ps(before + k), add);
    const __m128 old = _mm_loadu_ps(row + k);
    const __m128 better = _mm_cmpgt_ps(total, old);
    _mm_storeu_ps(row + k, _mm_or_ps(_mm_and_ps(better, total), _mm_andnot_ps(better, old)));
    const __m128 was = _mm_loadu_ps(how + k);
    _mm_storeu_ps(how + k, _mm_or_ps(_mm_and_ps(better, coded), _mm_andnot_ps(better, was)));
  }
#else
  relax(row, how, before, 8, pulse, code);
#endif
}

// One pass of the Viterbi algorithm over samples [0, count); appends the bytes of the best chain
// to `bytes` (at most `max_bytes`) and the mean lengths of its short and long pulses.
void find_chain(const std::uint8_t* samples, std::size_t count, const ChainCopy& copy,
                const Window& short_w, const Window& long_w, std::size_t max_bytes, ChainWork& work,
                std::vector<std::uint8_t>* bytes, double* short_mean, double* long_mean,
                std::vector<std::uint64_t>* weak) {
  work.pulses.clear();
  // Prefix sums about the mid level, kept modulo 2^32: every difference used spans one pulse.
  work.sums.resize(count + 1);
  std::uint32_t sum = 0;
  work.sums[0] = 0;
  for (std::size_t i = 0; i < count; ++i) {
    sum += static_cast<std::uint32_t>(static_cast<int>(samples[i]) - 128);
    work.sums[i + 1] = sum;
  }
  // Where each length's low half ends.
  std::size_t short_low[MAX_WINDOW], long_low[MAX_WINDOW];
  for (int d = short_w.low; d <= short_w.high; ++d) {
    short_low[d - short_w.low] = static_cast<std::size_t>(std::lround(d * short_w.low_share));
  }
  for (int d = long_w.low; d <= long_w.high; ++d) {
    long_low[d - long_w.low] = static_cast<std::size_t>(std::lround(d * long_w.low_share));
  }
  // The correlation of the pulse of `length` samples from `from` with its two halves.
  const auto score = [&](std::size_t from, std::size_t length, std::size_t low) {
    const std::uint32_t a = work.sums[from], m = work.sums[from + low],
                        b = work.sums[from + length];
    return static_cast<float>(static_cast<std::int32_t>(b - m) - static_cast<std::int32_t>(m - a));
  };
  const auto ring = static_cast<std::size_t>(long_w.high) + 1;
  // Scores in single precision, kept near zero: every so often the best score of the newest row
  // is taken off every row, which changes no choice.
  constexpr float NONE = -std::numeric_limits<float>::infinity();
  constexpr std::size_t RENORMALISE_EVERY = 1024;
  work.scores.assign(ring * STATES, NONE);
  work.back.assign((count + 1) * STATES, CHAIN_START);
  // The chain may start anywhere within the first long pulse's length.
  const auto slack = static_cast<std::size_t>(long_w.high);
  const int first_byte_from = copy.separated ? SEPARATOR : GAP;

  for (std::size_t t = 0; t <= count; ++t) {
    const std::size_t at = t % ring;
    float* row = &work.scores[at * STATES];
    std::fill(row, row + STATES, NONE);
    if (t <= slack) row[GAP] = 0;
    // How each state's best chain ended, as a number, so that the choices below are made the
    // same way for scores and for this (and the eight bits' in one go).
    float how[STATES];
    std::fill(how, how + STATES, static_cast<float>(CHAIN_START));
    // Every state a pulse of each length leads into, the row of its start looked up once.
    for (int d = short_w.low; d <= short_w.high && static_cast<std::size_t>(d) <= t; ++d) {
      const auto length = static_cast<std::size_t>(d);
      const float* before =
          &work.scores[(at >= length ? at - length : at + ring - length) * STATES];
      const float pulse = score(t - length, length, short_low[d - short_w.low]);
      const auto code = static_cast<float>(d - short_w.low);
      relax(row + GAP, how + GAP, before + GAP, 1, pulse, code);
      relax(row + TAIL, how + TAIL, before + TAIL, 1, pulse, code);
      relax_bits(row + BYTE0 + 1, how + BYTE0 + 1, before + BYTE0, pulse, code);
    }
    for (int d = long_w.low; d <= long_w.high && static_cast<std::size_t>(d) <= t; ++d) {
      const auto length = static_cast<std::size_t>(d);
      const float* before =
          &work.scores[(at >= length ? at - length : at + ring - length) * STATES];
      const float pulse = score(t - length, length, long_low[d - long_w.low]);
      const auto code = static_cast<float>(d - long_w.low);
      const auto flagged = static_cast<float>((d - long_w.low) | FLAG);
      if (copy.separated) relax(row + SEPARATOR, how + SEPARATOR, before + GAP, 1, pulse, code);
      relax(row + BYTE0, how + BYTE0, before + first_byte_from, 1, pulse, code);
      relax(row + BYTE0, how + BYTE0, before + BYTE0 + 8, 1, pulse, flagged);
      relax(row + TAIL, how + TAIL, before + BYTE0 + 8, 1, pulse, flagged);
      relax_bits(row + BYTE0 + 1, how + BYTE0 + 1, before + BYTE0, pulse, flagged);
    }
    std::uint8_t* back = &work.back[t * STATES];
    for (int state = 0; state < STATES; ++state)
      back[state] = static_cast<std::uint8_t>(how[state]);
    if (t % RENORMALISE_EVERY == 0) {
      const float best = *std::max_element(row, row + STATES);
      if (best != NONE) {
        for (float& v : work.scores) v -= best;
      }
    }
  }

  // The chain ends at the last sample that any chain ends at, in its best state.
  std::size_t t = count;
  int state = -1;
  for (;; --t) {
    const float* row = &work.scores[(t % ring) * STATES];
    const float* best = std::max_element(row, row + STATES);
    if (*best != NONE) {
      state = static_cast<int>(best - row);
      break;
    }
    if (t == 0 || count - t >= ring - 1) return;
  }
  // Back to the start, noting each pulse; then forward, gathering the bytes.
  struct Pulse {
    int state, length;
    bool is_long;
    double fit;  // the pulse's score per sample
  };
  std::vector<Pulse> pulses;
  while (state >= 0) {
    const std::uint8_t how = work.back[t * STATES + static_cast<std::size_t>(state)];
    if (how == CHAIN_START) break;
    const bool flag = (how & FLAG) != 0;
    int from = GAP;
    bool is_long = false;
    if (state == SEPARATOR) {
      is_long = true;
    } else if (state == TAIL) {
      is_long = flag;
      from = flag ? BYTE0 + 8 : TAIL;
    } else if (state == BYTE0) {
      is_long = true;
      from = flag ? BYTE0 + 8 : first_byte_from;
    } else if (state > BYTE0) {
      is_long = flag;
      from = state - 1;
    }
    const int length = (is_long ? long_w.low : short_w.low) + (how & LENGTH_MASK);
    const std::size_t low =
        is_long ? long_low[length - long_w.low] : short_low[length - short_w.low];
    const double fit = static_cast<double>(score(t - static_cast<std::size_t>(length),
                                                 static_cast<std::size_t>(length), low)) /
                       static_cast<double>(length);
    pulses.push_back(Pulse{state, length, is_long, fit});
    t -= static_cast<std::size_t>(length);
    state = from;
  }
  // The usual fit of each kind: the median over the chain's bytes.
  double usual[2] = {0, 0};
  for (const bool kind : {false, true}) {
    std::vector<double> fits;
    for (const Pulse& p : pulses) {
      if (p.state >= BYTE0 && p.is_long == kind) fits.push_back(p.fit);
    }
    if (fits.empty()) continue;
    const auto middle = fits.begin() + static_cast<std::ptrdiff_t>(fits.size() / 2);
    std::nth_element(fits.begin(), middle, fits.end());
    usual[kind ? 1 : 0] = *middle;
  }
  const auto mark = [&](std::size_t index) {
    if (weak != nullptr && index < BLOCK_CAPACITY) {
      (*weak)[index / 64] |= std::uint64_t{1} << (index % 64);
    }
  };
  double shorts = 0, longs = 0;
  std::size_t short_count = 0, long_count = 0;
  std::uint8_t current = 0;
  work.pulses.clear();
  for (auto it = pulses.rbegin(); it != pulses.rend(); ++it) {
    t += static_cast<std::size_t>(it->length);
    if (it->state < BYTE0) continue;
    work.pulses.push_back(
        ChainPulse{static_cast<std::uint32_t>(t - static_cast<std::size_t>(it->length)),
                   static_cast<std::uint32_t>(it->length), it->is_long, it->state == BYTE0,
                   !(it->fit >= WEAK_FIT * usual[it->is_long ? 1 : 0])});
    if (bytes->size() >= max_bytes) continue;
    (it->is_long ? longs : shorts) += it->length;
    ++(it->is_long ? long_count : short_count);
    if (!(it->fit >= WEAK_FIT * usual[it->is_long ? 1 : 0])) {
      // A bit guessed in silence can move across the byte's edge.
      const std::size_t at = bytes->size();
      for (std::size_t k = at > 0 ? at - 1 : 0; k <= at + 1; ++k) mark(k);
    }
    if (it->state == BYTE0) {
      current = 0;
      continue;
    }
    current = static_cast<std::uint8_t>(current << 1 | (it->is_long ? 1 : 0));
    if (it->state == BYTE0 + 8) bytes->push_back(current);
  }
  if (short_count > 0) *short_mean = shorts / static_cast<double>(short_count);
  if (long_count > 0) *long_mean = longs / static_cast<double>(long_count);
}

}  // namespace

std::size_t decode_chain(const std::uint8_t* samples, std::size_t count, const ChainCopy& given,
                         std::size_t max_bytes, ChainWork& work, std::vector<std::uint8_t>* bytes,
                         std::vector<std::uint64_t>* weak) {
  bytes->clear();
  work.pulses.clear();
  work.chain_count = 0;
  if (weak != nullptr) weak->assign(SUSPECT_WORDS, 0);
  if (!(given.short_period > 1) || !(given.long_period > given.short_period)) return 0;
  // A short pulse needs about a dozen samples: more only cost time, so pairs, fours and so on
  // are averaged into one.
  ChainCopy copy = given;
  const auto factor =
      static_cast<std::size_t>(std::max(1.0, std::floor(given.short_period / SAMPLES_PER_SHORT)));
  if (factor > 1) {
    work.decimated.resize(count / factor);
    for (std::size_t i = 0; i < work.decimated.size(); ++i) {
      unsigned sum = 0;
      for (std::size_t k = 0; k < factor; ++k) sum += samples[i * factor + k];
      work.decimated[i] = static_cast<std::uint8_t>((sum + factor / 2) / factor);
    }
    samples = work.decimated.data();
    count = work.decimated.size();
    const auto f = static_cast<double>(factor);
    copy.start /= f;
    copy.short_period /= f;
    copy.long_period /= f;
  }
  if (count > MAX_CHAIN_SAMPLES) return 0;
  // Measure the pulse lengths over the first bytes with wide windows.
  double short_mean = copy.short_period, long_mean = copy.long_period;
  const auto measured = static_cast<std::size_t>(std::min<double>(
      static_cast<double>(count),
      copy.start + static_cast<double>(MEASURE_BYTES * 9 + 20) * copy.long_period));
  find_chain(samples, measured, copy, window(copy.short_period, WIDE, SHORT_LOW),
             window(copy.long_period, WIDE, LONG_LOW), MEASURE_BYTES, work, bytes, &short_mean,
             &long_mean, nullptr);
  // Read with narrow windows about what was measured, kept apart from each other.
  Window short_w = window(short_mean, NARROW, SHORT_LOW);
  Window long_w = window(long_mean, NARROW, LONG_LOW);
  if (short_w.high >= long_w.low) {
    const int middle =
        (static_cast<int>(std::lround(short_mean)) + static_cast<int>(std::lround(long_mean))) / 2;
    short_w.high = std::max(short_w.low, middle);
    long_w.low = std::min(long_w.high, middle + 1);
  }
  bytes->clear();
  find_chain(samples, count, copy, short_w, long_w, max_bytes, work, bytes, &short_mean, &long_mean,
             weak);
  work.chain_samples = samples;
  work.chain_count = count;
  work.factor = factor;
  work.short_mean = short_mean;
  work.long_mean = long_mean;
  return bytes->size();
}

}  // namespace mzfscan
