// A copy of N bytes is 9N pulses (a long start pulse, then 8 bits, per byte) and a closing long
// pulse, followed by a gap of short pulses or by silence. Pulse n begins at some sample; the
// forward scores give, for each n and each sample t, the best chain of pulses 0..n-1 that ends
// at t; the backward scores the best chain from there to the end. Only a band of samples is
// kept per pulse: those whose forward score is near the best (at most a few bytes' duration
// wide, so that after a dropout chains that place the rest of the copy a byte or two apart
// survive until the closing long and the gap decide between them). The forward scores are kept
// every CHECKPOINT pulses and found again between them for the backward pass, so a copy needs
// memory for its bands, not for all of its scores.
//
// A pulse of d samples at t is scored as the log-likelihood of its samples under a square
// pulse of amplitude A (low half, then high half) in Gaussian noise of variance s2, against
// noise alone, times s2/A: the correlation with the pulse's halves less A*d/2. Silence scores
// below zero, so chains that cover no more silence than they must are preferred, and a bit in
// silence scores the same either way.
#include "soft/soft_reading.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "format/tape_format.h"

namespace mzfscan {

namespace {

constexpr double SHORT_LOW = mzf::SHORT_FIRST_US / mzf::SHORT_PULSE_US;
constexpr double LONG_LOW = mzf::LONG_FIRST_US / mzf::LONG_PULSE_US;
// Windows on the pulse lengths, about those measured on the chain: narrow to read, wide to find
// a wandering speed.
constexpr double WIDTH = 0.13;
constexpr double WIDE = 0.3;
// The speed is found over this many pulses either side; when it wanders over more than
// SPEED_WANDERS (as a factor), the copy is read again following it.
constexpr std::size_t SPEED_PULSES = 8;
constexpr float SPEED_WANDERS = 0.2f;
// Readings with narrow windows that follow the speed.
constexpr int SPEED_PASSES = 2;
// ... and when at least this share of its pulses lie at an end of their window.
constexpr double EDGE_SHARE = 0.3;
// The speeds tried, as factors on the lengths measured.
constexpr float SPEED_LOW = 0.6f, SPEED_HIGH = 1.6f, SPEED_STEP = 0.01f;
// Forward scores are kept every this many pulses, and all of them when they fit in this many.
constexpr std::size_t CHECKPOINT = 256;
constexpr std::size_t ROWS_KEPT = std::size_t{8} << 20;
// Chains this far (as a log-likelihood ratio) below the best are dropped.
constexpr double KEEP = 30;
// Where the signal is missing (a dropout, in noise), chains differ only by how they fit the noise,
// by far more than KEEP over a few dozen pulses. A band lies there when the best chain of any
// pulses gained less than QUIET_GAIN of what it gains on clean pulses over the last QUIET_BYTES
// bytes' duration; there, and for as many pulses again and QUIET_AFTER more, no chain is dropped
// but for the band's width. After that, up to the copy's end, chains that place the rest a byte
// or more apart read the signal alike and differ only by that noise, until the closing long and
// the gap tell them apart: each is kept when within KEEP of the best chain less than half a byte's
// duration from it, and within KEEP and QUIET_SPREAD standard deviations of that noise (measured
// where it was quietest, over as many samples as were quiet) of the best of all. The band then
// widens by the quiet stretch's length, up to QUIET_WIDEST times: the chains a byte apart are as
// many as bytes fit in it in different numbers.
constexpr double QUIET_BYTES = 2;
constexpr double QUIET_GAIN = 0.25;
constexpr std::size_t QUIET_AFTER = 18;
constexpr double QUIET_SPREAD = 6;
constexpr double QUIET_WIDEST = 4;
constexpr float UNPRUNED = std::numeric_limits<float>::infinity();
// A band is at most this many bytes' duration wide.
constexpr double BAND_BYTES = 8;
// Where the copy may begin: this many long pulses about where the first reading saw it.
constexpr double START_LONGS = 4;
// Short pulses' worth of samples read before that.
constexpr double LEAD_SHORTS = 12;
// The gap after a copy is read this many short pulses far.
constexpr double TAIL_SHORTS = 64;
// Ratios are kept within +-CLAMP.
constexpr float CLAMP = 50;
constexpr float NONE = -std::numeric_limits<float>::infinity();

using Window = PulseWindow;

Window window(double period, double width) {
  Window w{static_cast<int>(std::floor(period * (1 - width))),
           static_cast<int>(std::ceil(period * (1 + width)))};
  w.low = std::max(w.low, 2);
  w.high = std::max(w.high, w.low);
  return w;
}

// The windows of a short and a long pulse about `short_period` and `long_period`, kept apart.
std::array<Window, 2> windows(double short_period, double long_period, double width) {
  std::array<Window, 2> w{window(short_period, width), window(long_period, width)};
  if (w[0].high >= w[1].low) {
    const int middle = static_cast<int>(std::lround((short_period + long_period) / 2));
    w[0].high = std::max(w[0].low, middle);
    w[1].low = std::max(w[1].low, w[0].high + 1);
    w[1].high = std::max(w[1].high, w[1].low);
  }
  return w;
}

// The copy's samples, its pulse windows and its measured amplitude.
struct Model {
  const std::uint32_t* sums;  // prefix sums modulo 2^32: every difference taken spans a band
  std::size_t count;
  Window kinds[2];                         // short, long: the widest over the copy
  const std::array<Window, 2>* per_pulse;  // each pulse's windows
  std::vector<int> low[2];                 // each length's low half, per kind
  double half_amplitude;
  std::vector<float> cost;  // half_amplitude times each length

  Window at(std::size_t n, int kind) const { return per_pulse[n][static_cast<std::size_t>(kind)]; }

  // The score of a pulse of `kind` (1: long) and `length` beginning at `t`.
  float score(std::size_t t, int length, int kind) const {
    const auto d = static_cast<std::size_t>(length);
    const std::size_t m = t + static_cast<std::size_t>(low[kind][d]);
    const std::int32_t correlation = static_cast<std::int32_t>(sums[t + d] - sums[m]) -
                                     static_cast<std::int32_t>(sums[m] - sums[t]);
    return static_cast<float>(correlation) - cost[d];
  }
};

bool starts_byte(std::size_t n) {
  return n % 9 == 0;
}

// The kinds pulse `n` of a copy of `pulses` pulses may be: [first, 1].
int first_kind(std::size_t n) {
  return starts_byte(n) ? 1 : 0;
}

// The prefix sums over samples [lo, hi] less the one at `lo`, as floats: exact, for a band and
// its pulses span far fewer than 2^24 / 128 samples. So the scores below, taken from them, are
// the same as score()'s, and the loops over a band's samples run several samples at a time.
const float* near_sums(const Model& m, std::int32_t lo, std::int32_t hi, std::vector<float>& out) {
  const auto from = static_cast<std::size_t>(lo);
  const auto to = std::min(static_cast<std::size_t>(hi), m.count);
  out.resize(to - from + 1);
  const std::uint32_t base = m.sums[from];
  for (std::size_t i = from; i <= to; ++i) {
    out[i - from] = static_cast<float>(static_cast<std::int32_t>(m.sums[i] - base));
  }
  return out.data();
}

// For `count` chains in a row, that pulse `length` samples long (its low half `low`, its cost
// `cost`) from the sample at `sums`: into[i] takes from[i] and the pulse when that is better.
inline void relax_forward(float* __restrict into, const float* __restrict from,
                          const float* __restrict sums, int length, int low, float cost,
                          std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const float correlation = (sums[i + length] - sums[i + low]) - (sums[i + low] - sums[i]);
    const float total = from[i] + (correlation - cost);
    into[i] = into[i] < total ? total : into[i];
  }
}

// The same backward: the pulse and the best chain after it (`after`, from where it ends) go into
// into[i] and through[i] when better.
inline void relax_backward(float* __restrict into, float* __restrict through,
                           const float* __restrict after, const float* __restrict sums, int length,
                           int low, float cost, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const float correlation = (sums[i + length] - sums[i + low]) - (sums[i + low] - sums[i]);
    const float total = (correlation - cost) + after[i];
    into[i] = into[i] < total ? total : into[i];
    through[i] = through[i] < total ? total : through[i];
  }
}

using Runs = std::vector<std::array<std::int32_t, 2>>;

// The largest of a[i] + b[i] over `count` values (NONE for none), over four running maxima, so
// that a long band is not one chain of dependent steps.
float largest_sum(const float* a, const float* b, std::size_t count) {
  float top[4] = {NONE, NONE, NONE, NONE};
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    for (std::size_t k = 0; k < 4; ++k) top[k] = std::max(top[k], a[i + k] + b[i + k]);
  }
  for (; i < count; ++i) top[0] = std::max(top[0], a[i] + b[i]);
  return std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
}

// The first i at which a[i] + b[i] is largest, over `count` values (0 when none is above NONE).
std::size_t first_largest_sum(const float* a, const float* b, std::size_t count) {
  const float top = largest_sum(a, b, count);
  if (top == NONE) return 0;
  std::size_t i = 0;
  while (!(a[i] + b[i] == top)) ++i;
  return i;
}

// Into `runs`, the stretches [first, last] of samples over [lo, hi] whose chain in `row` is kept
// (not NONE), those less than a pulse apart joined: after a dropout a band holds chains a byte
// apart and little between them, and the loops below need run only over them.
void kept_runs(const float* row, std::int32_t lo, std::int32_t hi, std::int32_t join, Runs& runs) {
  runs.clear();
  std::int32_t t = lo;
  while (t <= hi && row[t - lo] == NONE) ++t;
  if (t > hi) return;
  // Written so that only a new run takes a branch: the chains kept and dropped alternate.
  std::int32_t first = t, last = t;
  for (; t <= hi; ++t) {
    const bool kept = row[t - lo] != NONE;
    if (kept & (t - last > join)) {
      runs.push_back({first, last});
      first = t;
    }
    last = kept ? t : last;
  }
  runs.push_back({first, last});
}

// Into `out`, over [out_lo, out_hi], the best chains that reach each sample by pulse `n` from the
// band `row` over [lo, hi]; `scratch` holds the band's sums, `runs` its kept stretches.
void advance(const Model& m, std::size_t n, const float* row, std::int32_t lo, std::int32_t hi,
             float* out, std::int32_t out_lo, std::int32_t out_hi, std::vector<float>& scratch,
             Runs& runs) {
  std::fill(out, out + (out_hi - out_lo + 1), NONE);
  const float* sums = near_sums(m, lo, out_hi, scratch);
  kept_runs(row, lo, hi, m.kinds[0].low, runs);
  for (const auto& [first, last] : runs) {
    for (int kind = first_kind(n); kind <= 1; ++kind) {
      const Window w = m.at(n, kind);
      for (int d = w.low; d <= w.high; ++d) {
        const std::int32_t a = std::max(first, out_lo - d), b = std::min(last, out_hi - d);
        if (a > b) continue;
        relax_forward(out + (a + d - out_lo), row + (a - lo), sums + (a - lo), d,
                      m.low[kind][static_cast<std::size_t>(d)], m.cost[static_cast<std::size_t>(d)],
                      static_cast<std::size_t>(b - a) + 1);
      }
    }
  }
}

// Into `out`, for each of the `n` values, the largest within `radius` of it: over blocks of
// 2 * radius + 1, the largest up to each value from its block's start (`ahead`) and from each
// value to its block's end (`behind`); a stretch of the block's length spans at most two blocks.
void sliding_maximum(const float* values, std::size_t n, std::int32_t radius,
                     std::vector<float>& ahead, std::vector<float>& behind,
                     std::vector<float>* out) {
  const auto r = static_cast<std::size_t>(std::max(radius, 0));
  const std::size_t block = 2 * r + 1;
  // Padded with NONE: r before, and up to a whole block after.
  const std::size_t padded = (n + 2 * r + block - 1) / block * block;
  ahead.assign(padded, NONE);
  std::copy(values, values + n, ahead.begin() + static_cast<std::ptrdiff_t>(r));
  behind.assign(ahead.begin(), ahead.end());
  for (std::size_t start = 0; start < padded; start += block) {
    for (std::size_t i = start + 1; i < start + block; ++i)
      ahead[i] = std::max(ahead[i], ahead[i - 1]);
    for (std::size_t i = start + block - 1; i-- > start;)
      behind[i] = std::max(behind[i], behind[i + 1]);
  }
  out->resize(n);
  // Value i sits at i + r: its stretch is [i, i + 2r] in the padded values.
  for (std::size_t i = 0; i < n; ++i) (*out)[i] = std::max(behind[i], ahead[i + 2 * r]);
}

// The samples pulse `n` may end at, from a band over [lo, hi].
std::int32_t reach_low(const Model& m, std::size_t n, std::int32_t lo) {
  return lo + m.at(n, first_kind(n)).low;
}
std::int32_t reach_high(const Model& m, std::size_t n, std::int32_t hi) {
  return std::min(hi + m.at(n, 1).high, static_cast<std::int32_t>(m.count));
}

}  // namespace

bool soft_measure(const ChainWork& chain, SoftStats* stats) {
  const std::uint8_t* x = chain.chain_samples;
  const std::size_t count = chain.chain_count;
  if (x == nullptr || count == 0 || chain.pulses.empty() || !(chain.long_mean > chain.short_mean)) {
    return false;
  }
  // The amplitude and noise, measured on the chain's pulses that fit as usual: the amplitude as
  // the correlation per sample, the noise as what is left.
  double correlation = 0, energy = 0, samples = 0;
  for (const ChainPulse& p : chain.pulses) {
    if (p.weak || p.start + p.length > count) continue;
    const auto half = static_cast<std::size_t>(
        std::lround(static_cast<double>(p.length) * (p.is_long ? LONG_LOW : SHORT_LOW)));
    for (std::size_t i = 0; i < p.length; ++i) {
      const double v = static_cast<double>(x[p.start + i]) - 128;
      correlation += i < half ? -v : v;
      energy += v * v;
    }
    samples += static_cast<double>(p.length);
  }
  if (!(samples > 0) || !(correlation > 0)) return false;
  stats->amplitude = correlation / samples;
  stats->noise = std::max((energy - 2 * stats->amplitude * correlation +
                           stats->amplitude * stats->amplitude * samples) /
                              samples,
                          0.25);
  stats->short_period = chain.short_mean;
  stats->long_period = chain.long_mean;
  stats->factor = chain.factor;
  return true;
}

namespace {

// One reading of the copy (see soft_read_copy()) with windows of `width` about the pulse lengths
// measured, times `speed` per pulse (empty: 1). Into `at` (when not null) goes where the best
// chain has each pulse begin.
bool soft_pass(const std::uint8_t* x, std::size_t count, const SoftStats& stats, double start,
               bool separated, std::size_t size, const std::vector<float>& speed, double width,
               SoftWork& work, std::vector<float>* llr, double* end,
               std::vector<std::int32_t>* at) {
  llr->clear();
  if (x == nullptr || count == 0 || size == 0 || !(stats.long_period > stats.short_period) ||
      !(stats.amplitude > 0) || count > std::numeric_limits<std::int32_t>::max() / 2) {
    return false;
  }
  work.sums.resize(count + 1);
  work.sums[0] = 0;
  for (std::size_t i = 0; i < count; ++i) {
    work.sums[i + 1] = work.sums[i] + static_cast<std::uint32_t>(static_cast<int>(x[i]) - 128);
  }
  Model m{};
  m.sums = work.sums.data();
  m.count = count;
  // Each pulse's windows, about the lengths measured times the speed (by sample; none: 1) where
  // its band lies: set as the forward pass reaches it. The widest over the copy bound them all.
  const std::size_t pulses = 9 * size + 1;
  const auto speed_at = [&](double t) {
    if (speed.empty()) return 1.0;
    return static_cast<double>(
        speed[static_cast<std::size_t>(std::clamp(t, 0.0, static_cast<double>(speed.size() - 1)))]);
  };
  const auto set_windows = [&](std::size_t n, double t) {
    const double f = speed_at(t);
    work.windows[n] = windows(stats.short_period * f, stats.long_period * f, width);
  };
  work.windows.resize(pulses + 1);
  double slowest = 1, fastest = 1;
  if (!speed.empty()) {
    const auto [low, high] = std::minmax_element(speed.begin(), speed.end());
    fastest = *low;
    slowest = *high;
  }
  const auto widest_windows =
      windows(stats.short_period * fastest, stats.long_period * fastest, width);
  const auto narrowest = windows(stats.short_period * slowest, stats.long_period * slowest, width);
  for (int kind = 0; kind < 2; ++kind) {
    m.kinds[kind] = Window{widest_windows[static_cast<std::size_t>(kind)].low,
                           narrowest[static_cast<std::size_t>(kind)].high};
  }
  m.per_pulse = work.windows.data();
  for (int kind = 0; kind < 2; ++kind) {
    const double share = kind == 1 ? LONG_LOW : SHORT_LOW;
    m.low[kind].assign(static_cast<std::size_t>(m.kinds[kind].high) + 1, 0);
    for (int d = 0; d <= m.kinds[kind].high; ++d) {
      m.low[kind][static_cast<std::size_t>(d)] = static_cast<int>(std::lround(d * share));
    }
  }
  const double amplitude = stats.amplitude;
  const double scale = amplitude / stats.noise;  // score to log-likelihood ratio
  m.half_amplitude = amplitude / 2;
  m.cost.resize(static_cast<std::size_t>(std::max(m.kinds[0].high, m.kinds[1].high)) + 1);
  for (std::size_t d = 0; d < m.cost.size(); ++d) {
    m.cost[d] = static_cast<float>(m.half_amplitude * static_cast<double>(d));
  }
  // The best chain of any pulses, unbound by bytes, that ends at each sample: what a chain of
  // the copy's pulses is measured against when the band is chosen. In silence every chain loses
  // alike, so the band keeps the chains of every length through it.
  // Found as far as the bands reach, from where the lead-in begins.
  work.free.assign(count + 1, NONE);
  std::size_t free_from = 0, free_done = 0;
  const auto extend_free = [&](std::size_t upto) {
    for (std::size_t t = std::max(free_done, free_from); t <= std::min(upto, count); ++t) {
      float best = t < free_from + static_cast<std::size_t>(m.kinds[1].high) ? 0.0f : NONE;
      for (int kind = 0; kind <= 1; ++kind) {
        for (int d = m.kinds[kind].low;
             d <= m.kinds[kind].high && t >= free_from + static_cast<std::size_t>(d); ++d) {
          const float before = work.free[t - static_cast<std::size_t>(d)];
          if (before != NONE) {
            best = std::max(best, before + m.score(t - static_cast<std::size_t>(d), d, kind));
          }
        }
      }
      work.free[t] = best;
    }
    free_done = std::max(free_done, std::min(upto, count) + 1);
  };
  const auto keep = static_cast<float>(KEEP / scale);
  // A pulse's mean length, short and long alike, and a byte's at that.
  const double mean_pulse = (stats.short_period + stats.long_period) / 2;
  const double mean_byte = 9 * mean_pulse;
  const auto widest =
      static_cast<std::int32_t>(std::max(BAND_BYTES * mean_byte, 2 * stats.long_period + 1));

  // Within a band, the chains that fall short by more than `keep` of the best there are
  // dropped (made NONE), in the forward pass and alike when its scores are found again, so that
  // only the chains kept are followed: after a dropout, those a byte or more apart.
  // `spread` is 0 for the usual rule, UNPRUNED in and just after a quiet stretch, and otherwise
  // how far below the best of all a chain that is best near its place is kept (see QUIET_SPREAD).
  const auto radius = static_cast<std::int32_t>(mean_byte / 2);
  const auto prune = [&](float* values, std::int32_t lo, std::int32_t hi, float spread) {
    if (spread == UNPRUNED) return;
    const auto n = static_cast<std::size_t>(hi - lo) + 1;
    work.shortfall.resize(n);
    float* shortfall = work.shortfall.data();
    const float* free = work.free.data() + lo;  // (NONE less a score is NONE)
    for (std::size_t i = 0; i < n; ++i) shortfall[i] = values[i] - free[i];
    // The best, over four running maxima.
    float top[4] = {NONE, NONE, NONE, NONE};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      for (std::size_t k = 0; k < 4; ++k) top[k] = std::max(top[k], shortfall[i + k]);
    }
    for (; i < n; ++i) top[0] = std::max(top[0], shortfall[i]);
    const float best = std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
    if (spread == 0) {
      const float floor = best - keep;
      for (std::size_t k = 0; k < n; ++k) {
        if (!(shortfall[k] >= floor)) values[k] = NONE;
      }
      return;
    }
    sliding_maximum(shortfall, n, radius, work.ahead, work.behind, &work.local);
    const float floor = best - spread;
    const float* local = work.local.data();
    for (std::size_t k = 0; k < n; ++k) {
      if (!(shortfall[k] >= local[k] - keep && shortfall[k] >= floor)) values[k] = NONE;
    }
  };
  // Forward, keeping the bands and every CHECKPOINT-th band's scores.
  work.lo.assign(pulses + 1, 0);
  work.hi.assign(pulses + 1, -1);
  work.spread.assign(pulses + 1, 0);
  // A clean pulse of d samples scores A*d/2; what the best chain of any pulses gains over the
  // last QUIET_BYTES bytes' duration before `t` is measured against that.
  const auto quiet_span = static_cast<std::size_t>(std::lround(QUIET_BYTES * mean_byte));
  const auto quiet_at = [&](std::size_t t) {
    if (t < free_from + quiet_span) return false;
    const float before = work.free[t - quiet_span];
    if (before == NONE || work.free[t] == NONE) return false;
    return work.free[t] - before <
           static_cast<float>(QUIET_GAIN * m.half_amplitude * static_cast<double>(quiet_span));
  };
  work.checkpoints.clear();
  work.checkpoint_at.clear();
  const double begin = start / static_cast<double>(stats.factor);
  set_windows(0, begin);
  const double spread = START_LONGS * stats.long_period;
  work.lo[0] = static_cast<std::int32_t>(
      std::clamp(std::floor(begin - spread), 0.0, static_cast<double>(count)));
  work.hi[0] = static_cast<std::int32_t>(
      std::clamp(std::ceil(begin + spread), 0.0, static_cast<double>(count)));
  // What comes before the copy is read as pulses too, from LEAD_SHORTS short pulses before where
  // the copy may begin: short pulses (of a gap or a tape mark), then, after a mark, the long
  // separator. Every chain so covers the same samples from there, chains that reach a pulse at
  // different samples compare fairly, and the copy cannot begin later than its first byte.
  const auto lead_from = static_cast<std::int32_t>(std::max(
      0.0, std::floor(static_cast<double>(work.lo[0]) - LEAD_SHORTS * stats.short_period)));
  free_from = static_cast<std::size_t>(lead_from);
  free_done = free_from;
  const auto lead = static_cast<std::size_t>(work.hi[0] - lead_from) + 1;
  work.reach.assign(lead, NONE);  // the lead-in's best chain ending at each sample
  work.next.assign(lead, NONE);   // the same, ended by the separator
  for (std::int32_t t = lead_from; t <= work.hi[0]; ++t) {
    const auto at = static_cast<std::size_t>(t - lead_from);
    float& here = work.reach[at];
    if (t - lead_from < m.at(0, 0).high) here = 0;
    for (int d = m.at(0, 0).low; d <= m.at(0, 0).high && t - d >= lead_from; ++d) {
      const float before = work.reach[at - static_cast<std::size_t>(d)];
      if (before != NONE)
        here = std::max(here, before + m.score(static_cast<std::size_t>(t - d), d, 0));
    }
    for (int d = m.at(0, 1).low; separated && d <= m.at(0, 1).high && t - d >= lead_from; ++d) {
      const float before = work.reach[at - static_cast<std::size_t>(d)];
      if (before != NONE) {
        work.next[at] =
            std::max(work.next[at], before + m.score(static_cast<std::size_t>(t - d), d, 1));
      }
    }
  }
  if (separated) work.reach.swap(work.next);
  work.current.assign(work.reach.begin() + (work.lo[0] - lead_from), work.reach.end());
  // Every band's scores are kept as well while they fit in ROWS_KEPT: then they need not be
  // found again.
  bool all_kept = true;
  std::size_t quiet_pulses = 0, quiet_run = 0, quiet_left = 0;
  double quiet_noise = std::numeric_limits<double>::infinity();
  work.rows.clear();
  work.row_at.clear();
  for (std::size_t n = 0; n <= pulses; ++n) {
    if (n % CHECKPOINT == 0) {
      work.checkpoint_at.push_back(work.checkpoints.size());
      work.checkpoints.insert(work.checkpoints.end(), work.current.begin(), work.current.end());
    }
    if (all_kept && work.rows.size() + work.current.size() <= ROWS_KEPT) {
      work.row_at.push_back(work.rows.size());
      work.rows.insert(work.rows.end(), work.current.begin(), work.current.end());
    } else {
      all_kept = false;
    }
    if (n > 0) set_windows(n, (work.lo[n] + work.hi[n]) / 2.0);
    if (n == pulses) break;
    const std::int32_t lo = reach_low(m, n, work.lo[n]), hi = reach_high(m, n, work.hi[n]);
    if (hi < lo) return false;  // the samples end first
    work.reach.resize(static_cast<std::size_t>(hi - lo) + 1);
    advance(m, n, work.current.data(), work.lo[n], work.hi[n], work.reach.data(), lo, hi,
            work.near_sums, work.runs);
    extend_free(static_cast<std::size_t>(hi));
    // The band: the samples whose best chain falls short of the best chain of any pulses there
    // by little more than the best chain's does, at most `widest` about it.
    work.minus_free.resize(work.reach.size());
    for (std::size_t i = 0; i < work.reach.size(); ++i) {
      work.minus_free[i] = -work.free[static_cast<std::size_t>(lo) + i];
    }
    const auto at = static_cast<std::int32_t>(
        first_largest_sum(work.reach.data(), work.minus_free.data(), work.reach.size()));
    if (work.reach[static_cast<std::size_t>(at)] == NONE) return false;
    // Once the band has met a quiet stretch, the chains kept through it differ by how they
    // fitted its noise (see QUIET_SPREAD), measured as the variance of the quietest stretch.
    const std::size_t best_at = static_cast<std::size_t>(lo) + static_cast<std::size_t>(at);
    if (quiet_at(best_at)) {
      ++quiet_pulses;
      ++quiet_run;
      quiet_left = quiet_run + QUIET_AFTER;
      double sum = 0, squares = 0;
      for (std::size_t i = best_at - quiet_span; i < best_at; ++i) {
        const double v = static_cast<double>(x[i]) - 128;
        sum += v;
        squares += v * v;
      }
      const auto span = static_cast<double>(quiet_span);
      quiet_noise = std::min(quiet_noise, squares / span - (sum / span) * (sum / span));
    } else {
      quiet_run = 0;
      quiet_left = quiet_left > 0 ? quiet_left - 1 : 0;
    }
    float spread = 0;
    if (quiet_left > 0) {
      spread = UNPRUNED;
    } else if (quiet_pulses > 0) {
      const double quiet_samples = static_cast<double>(quiet_pulses) * mean_pulse;
      spread = keep + static_cast<float>(QUIET_SPREAD * std::sqrt(quiet_noise * quiet_samples));
    }
    // The band reaches from the first chain kept to the last.
    work.kept.assign(work.reach.begin(), work.reach.end());
    prune(work.kept.data(), lo, hi, spread);
    std::int32_t a = 0, b = hi - lo;
    while (work.kept[static_cast<std::size_t>(a)] == NONE) ++a;
    while (work.kept[static_cast<std::size_t>(b)] == NONE) --b;
    // After a quiet stretch the band widens by its length (see QUIET_WIDEST).
    const std::int32_t width =
        quiet_pulses == 0
            ? widest
            : static_cast<std::int32_t>(std::min(
                  QUIET_WIDEST * widest, widest + static_cast<double>(quiet_pulses) * mean_pulse));
    if (b - a + 1 > width) {
      a = std::max(a, at - width / 2);
      b = std::min(b, a + width - 1);
    }
    work.lo[n + 1] = lo + a;
    work.hi[n + 1] = lo + b;
    work.spread[n + 1] = spread;
    // Pruned again over the band alone, as the backward pass finds its scores again: the best
    // lies within it, so only the spread rule's maxima near the band's ends can differ.
    if (spread == 0 || spread == UNPRUNED) {
      work.current.assign(work.kept.begin() + a, work.kept.begin() + b + 1);
    } else {
      work.current.assign(work.reach.begin() + a, work.reach.begin() + b + 1);
      prune(work.current.data(), lo + a, lo + b, spread);
    }
  }

  // The gap after the closing long: any number of short pulses, or nothing.
  // It is read for TAIL_SHORTS short pulses past the band: enough to tell it from a byte.
  const std::int32_t tail_lo = work.lo[pulses];
  const auto tail_end = static_cast<std::int64_t>(
      std::min(static_cast<double>(count), work.hi[pulses] + TAIL_SHORTS * stats.short_period));
  work.tail.assign(static_cast<std::size_t>(tail_end - tail_lo + 1), 0.0f);
  for (std::int64_t t = tail_end; t >= tail_lo; --t) {
    float best = 0;
    const Window w = m.at(pulses, 0);
    for (int d = w.low; d <= w.high && t + d <= tail_end; ++d) {
      best = std::max(best, m.score(static_cast<std::size_t>(t), d, 0) +
                                work.tail[static_cast<std::size_t>(t + d - tail_lo)]);
    }
    work.tail[static_cast<std::size_t>(t - tail_lo)] = best;
  }

  if (end != nullptr) {
    std::size_t best = 0;
    for (std::size_t i = 0; i < work.current.size(); ++i) {
      const float total =
          work.current[i] + work.tail[static_cast<std::size_t>(work.lo[pulses] - tail_lo) + i];
      const float then = work.current[best] +
                         work.tail[static_cast<std::size_t>(work.lo[pulses] - tail_lo) + best];
      if (total > then) best = i;
    }
    *end = static_cast<double>(work.lo[pulses] + static_cast<std::int32_t>(best)) *
           static_cast<double>(stats.factor);
  }
  // Backward, segment by segment from the end, with the forward scores found again from each
  // checkpoint; each bit's ratio is the best chain through it as a 1 against as a 0.
  llr->assign(8 * size, 0.0f);
  const auto band = [&](std::size_t n) {
    return static_cast<std::size_t>(work.hi[n] - work.lo[n]) + 1;
  };
  work.next.resize(band(pulses));
  for (std::size_t i = 0; i < band(pulses); ++i) {
    work.next[i] = work.tail[static_cast<std::size_t>(work.lo[pulses] - tail_lo) + i];
  }
  const std::size_t segments = work.checkpoint_at.size();
  for (std::size_t s = segments; s-- > 0;) {
    const std::size_t first = s * CHECKPOINT;
    const std::size_t last = std::min(first + CHECKPOINT, pulses);  // bands [first, last)
    if (first >= pulses) continue;
    work.segment_at.assign(1, 0);
    if (!all_kept) {
      work.segment.assign(
          work.checkpoints.begin() + static_cast<std::ptrdiff_t>(work.checkpoint_at[s]),
          work.checkpoints.begin() +
              static_cast<std::ptrdiff_t>(work.checkpoint_at[s] + band(first)));
    }
    for (std::size_t n = first; !all_kept && n + 1 < last; ++n) {
      const std::size_t from = work.segment_at.back();
      work.segment_at.push_back(work.segment.size());
      work.segment.resize(work.segment.size() + band(n + 1));
      advance(m, n, work.segment.data() + from, work.lo[n], work.hi[n],
              work.segment.data() + work.segment_at.back(), work.lo[n + 1], work.hi[n + 1],
              work.near_sums, work.runs);
      prune(work.segment.data() + work.segment_at.back(), work.lo[n + 1], work.hi[n + 1],
            work.spread[n + 1]);
    }
    for (std::size_t n = last; n-- > first;) {
      const float* forward = all_kept ? work.rows.data() + work.row_at[n]
                                      : work.segment.data() + work.segment_at[n - first];
      const std::int32_t lo = work.lo[n], hi = work.hi[n];
      const std::int32_t next_lo = work.lo[n + 1], next_hi = work.hi[n + 1];
      work.current.assign(band(n), NONE);
      const float* sums = near_sums(m, lo, next_hi, work.near_sums);
      float best[2] = {NONE, NONE};
      kept_runs(forward, lo, hi, m.kinds[0].low, work.runs);
      for (int kind = first_kind(n); kind <= 1; ++kind) {
        const Window w = m.at(n, kind);
        work.through.assign(band(n), NONE);
        for (const auto& [first, last] : work.runs) {
          for (int d = w.low; d <= w.high; ++d) {
            const std::int32_t a = std::max(first, next_lo - d), b = std::min(last, next_hi - d);
            if (a > b) continue;
            relax_backward(work.current.data() + (a - lo), work.through.data() + (a - lo),
                           work.next.data() + (a + d - next_lo), sums + (a - lo), d,
                           m.low[kind][static_cast<std::size_t>(d)],
                           m.cost[static_cast<std::size_t>(d)],
                           static_cast<std::size_t>(b - a) + 1);
          }
        }
        // (A chain dropped either way sums to NONE.)
        best[kind] = largest_sum(forward, work.through.data(), band(n));
      }
      // Chains the forward pass dropped are not followed back either.
      for (std::size_t i = 0; i < band(n); ++i) {
        if (forward[i] == NONE) work.current[i] = NONE;
      }
      if (at != nullptr) {
        // Where the best chain through this band has the pulse begin. (The backward scores
        // of chains the forward pass dropped are NONE.)
        const std::size_t i = first_largest_sum(forward, work.current.data(), band(n));
        if (forward[i] + work.current[i] != NONE) (*at)[n] = lo + static_cast<std::int32_t>(i);
      }
      if (!starts_byte(n) && n < 9 * size) {
        const double ratio = static_cast<double>(best[1]) - static_cast<double>(best[0]);
        float value = best[1] == NONE   ? -CLAMP
                      : best[0] == NONE ? CLAMP
                                        : static_cast<float>(ratio * scale);
        (*llr)[(n / 9) * 8 + (n % 9 - 1)] = std::clamp(value, -CLAMP, CLAMP);
      }
      std::swap(work.current, work.next);
    }
  }
  if (at != nullptr) (*at)[pulses] = work.lo[pulses];
  return true;
}

// The tape's speed at each pulse of a chain whose pulses begin at `at` (one more: where the last
// ends), against the lengths measured: over SPEED_PULSES pulses either side, the factor by which
// the lengths of both kinds scaled lie nearest the pulses' (each pulse against the nearer kind,
// so that a pulse taken for the wrong kind weighs no more than any other).
std::vector<float> local_speed(const std::vector<std::int32_t>& at, const SoftStats& stats,
                               std::size_t count) {
  const std::size_t pulses = at.size() - 1;
  std::vector<float> by_pulse(pulses + 1, 1);
  std::vector<double> best(pulses + 1, std::numeric_limits<double>::infinity());
  std::vector<double> misfit(pulses);  // of each pulse at the speed tried
  for (float f = SPEED_LOW; f <= SPEED_HIGH; f += SPEED_STEP) {
    for (std::size_t k = 0; k < pulses; ++k) {
      const double d = at[k + 1] - at[k];
      misfit[k] =
          std::min(std::fabs(d - stats.short_period * f), std::fabs(d - stats.long_period * f));
    }
    for (std::size_t n = 0; n <= pulses; ++n) {
      const std::size_t from = n > SPEED_PULSES ? n - SPEED_PULSES : 0;
      const std::size_t to = std::min(pulses, n + SPEED_PULSES + 1);
      double sum = 0;
      for (std::size_t k = from; k < to; ++k) sum += misfit[k];
      if (sum < best[n]) {
        best[n] = sum;
        by_pulse[n] = f;
      }
    }
  }
  // By sample: each pulse's speed from where it begins.
  std::vector<float> speed(count + 1, by_pulse.front());
  for (std::size_t n = 0; n < pulses; ++n) {
    const auto from = static_cast<std::size_t>(
        std::clamp<std::int32_t>(at[n], 0, static_cast<std::int32_t>(count)));
    const auto to = static_cast<std::size_t>(
        std::clamp<std::int32_t>(at[n + 1], 0, static_cast<std::int32_t>(count)));
    std::fill(speed.begin() + static_cast<std::ptrdiff_t>(from),
              speed.begin() + static_cast<std::ptrdiff_t>(std::max(from, to)), by_pulse[n]);
  }
  const auto last = static_cast<std::size_t>(
      std::clamp<std::int32_t>(at[pulses], 0, static_cast<std::int32_t>(count)));
  std::fill(speed.begin() + static_cast<std::ptrdiff_t>(last), speed.end(), by_pulse.back());
  return speed;
}

// The bytes the signs of `llr` give, 8 ratios a byte, most significant bit first.
std::vector<std::uint8_t> decided_bytes(const std::vector<float>& llr) {
  std::vector<std::uint8_t> bytes(llr.size() / 8);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (std::size_t k = 0; k < 8; ++k) {
      bytes[i] = static_cast<std::uint8_t>(bytes[i] << 1 | (llr[8 * i + k] > 0 ? 1 : 0));
    }
  }
  return bytes;
}

// True when `block` (data, then its checksum) holds its checksum.
bool checksum_holds(const std::vector<std::uint8_t>& block) {
  if (block.size() < mzf::CHECKSUM_SIZE) return false;
  const std::size_t data = block.size() - mzf::CHECKSUM_SIZE;
  return mzf::ones_checksum(block.data(), data) == mzf::stored_checksum(block.data(), data);
}

}  // namespace

bool soft_read_copy(const std::uint8_t* samples, std::size_t count, const SoftStats& stats,
                    double start, bool separated, std::size_t size, SoftWork& work,
                    std::vector<float>* llr, double* end) {
  // Read at the lengths measured. When that gives no block whose checksum holds and the speed
  // its chain shows wanders (wow, flutter) more than those windows follow (many of its pulses at
  // an end of their window, and a speed that varies by SPEED_WANDERS), read again with wide
  // windows about the speed found, then with narrow ones about the speed that reading found;
  // that reading is taken when its checksum holds.
  std::vector<std::int32_t> at(9 * size + 2, 0);
  std::vector<float> speed;
  if (!soft_pass(samples, count, stats, start, separated, size, speed, WIDTH, work, llr, end,
                 &at)) {
    return false;
  }
  if (checksum_holds(decided_bytes(*llr))) return true;
  // Pulses at an end of their window: few in noise, many where the speed wanders past it.
  std::size_t at_edge = 0;
  for (std::size_t n = 0; n + 1 < at.size(); ++n) {
    const bool is_long = starts_byte(n) || (n < 9 * size && (*llr)[(n / 9) * 8 + (n % 9 - 1)] > 0);
    const Window w = work.windows[n][is_long ? 1 : 0];
    const int d = at[n + 1] - at[n];
    if (d <= w.low || d >= w.high) ++at_edge;
  }
  if (static_cast<double>(at_edge) < EDGE_SHARE * static_cast<double>(at.size() - 1)) return true;
  speed = local_speed(at, stats, count);
  const auto [low, high] = std::minmax_element(speed.begin(), speed.end());
  if (*high - *low < SPEED_WANDERS) return true;
  // Then with narrow windows about the speed found, twice, each time about the speed the
  // reading before found.
  std::vector<float> followed;
  double followed_end = 0;
  double width = WIDE;
  for (int pass = 0; pass <= SPEED_PASSES; ++pass) {
    if (!soft_pass(samples, count, stats, start, separated, size, speed, width, work, &followed,
                   &followed_end, &at)) {
      return true;
    }
    speed = local_speed(at, stats, count);
    width = WIDTH;
  }
  if (checksum_holds(decided_bytes(followed))) {
    *llr = std::move(followed);
    if (end != nullptr) *end = followed_end;
  }
  return true;
}

void average_samples(const std::uint8_t* samples, std::size_t count, std::size_t factor,
                     std::vector<std::uint8_t>* out) {
  factor = std::max<std::size_t>(factor, 1);
  out->resize(count / factor);
  for (std::size_t i = 0; i < out->size(); ++i) {
    unsigned sum = 0;
    for (std::size_t k = 0; k < factor; ++k) sum += samples[i * factor + k];
    (*out)[i] = static_cast<std::uint8_t>((sum + factor / 2) / factor);
  }
}

namespace {

// The chance that a bit with ratio `l` was decided wrongly.
double error_chance(float l) {
  return 1 / (1 + std::exp(std::fabs(static_cast<double>(l))));
}

// A ratio above this on every bit is a byte read confidently (each bit wrong less than 1 in 10^4).
constexpr float CONFIDENT = 9.2f;
// A byte a copy read cleanly: each bit wrong less than 1 in 100.
constexpr float CLEAN = 4.6f;

bool byte_above(const std::vector<float>& l, std::size_t i, float level) {
  for (std::size_t k = 0; k < 8; ++k) {
    if (!(std::fabs(l[8 * i + k]) >= level)) return false;
  }
  return true;
}

// The chance that a wrong block with the bits of `l` passes its checksum, given that it passed.
double false_pass(const std::vector<float>& l, std::size_t size) {
  const std::size_t data_bits = 8 * (size - mzf::CHECKSUM_SIZE);
  double ones = 0, zeros = 0, stored = 0;
  for (std::size_t i = 0; i < l.size(); ++i) {
    const double p = error_chance(l[i]);
    (i >= data_bits ? stored : l[i] > 0 ? ones : zeros) += p;
  }
  const double any = ones + zeros + stored;
  if (any > 20) return 1;
  // A 1 read as 0 with a 0 read as 1, or an error in the data with one in the stored checksum,
  // against the chance that nothing was wrong.
  return (ones * zeros + (ones + zeros) * stored + stored * stored) * std::exp(any);
}

}  // namespace

bool soft_decide(const std::vector<std::vector<float>>& copies, std::size_t size,
                 SoftDecision* decision) {
  decision->bytes.clear();
  decision->source = -1;
  decision->false_pass = 1;
  decision->gave.assign(copies.size(), {});
  if (size < mzf::CHECKSUM_SIZE) return false;
  std::vector<std::size_t> read;
  for (std::size_t k = 0; k < copies.size(); ++k) {
    if (copies[k].size() == 8 * size) read.push_back(k);
  }
  if (read.empty()) return false;
  std::vector<std::vector<std::uint8_t>> own(copies.size());
  for (const std::size_t k : read) own[k] = decided_bytes(copies[k]);
  std::vector<float> sum(8 * size, 0.0f);
  for (const std::size_t k : read) {
    for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += copies[k][i];
  }
  struct Candidate {
    const std::vector<float>* l;
    int source;
  };
  std::vector<Candidate> candidates;
  if (read.size() > 1) candidates.push_back({&sum, JOINED_COPIES});
  for (const std::size_t k : read) candidates.push_back({&copies[k], static_cast<int>(k)});
  for (const Candidate& c : candidates) {
    std::vector<std::uint8_t> bytes = decided_bytes(*c.l);
    if (!checksum_holds(bytes)) continue;
    const double chance = false_pass(*c.l, size);
    if (!(chance < MAX_FALSE_PASS)) continue;
    // Where copies overlap they agree: no copy read a byte confidently otherwise.
    const bool contradicted = std::any_of(read.begin(), read.end(), [&](std::size_t k) {
      for (std::size_t i = 0; i < size; ++i) {
        if (own[k][i] != bytes[i] && byte_above(copies[k], i, CONFIDENT)) return true;
      }
      return false;
    });
    if (contradicted) continue;
    decision->bytes = std::move(bytes);
    decision->false_pass = chance;
    decision->source = c.source;
    // A sum that one copy's own reading equals is that copy's.
    if (c.source == JOINED_COPIES) {
      for (const std::size_t k : read) {
        if (own[k] == decision->bytes && false_pass(copies[k], size) < MAX_FALSE_PASS) {
          decision->source = static_cast<int>(k);
          break;
        }
      }
    }
    for (const std::size_t k : read) {
      std::vector<ByteRange>& ranges = decision->gave[k];
      for (std::size_t i = 0; i < size; ++i) {
        if (own[k][i] != decision->bytes[i] || !byte_above(copies[k], i, CLEAN)) continue;
        const auto at = static_cast<std::uint32_t>(i);
        if (!ranges.empty() && ranges.back().to == at) {
          ranges.back().to = at + 1;
        } else {
          ranges.push_back({at, at + 1});
        }
      }
    }
    return true;
  }
  return false;
}

}  // namespace mzfscan
