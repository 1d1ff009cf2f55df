// The gap search: how the decoder learns the short-pulse period t0 from the run of steady periods
// before a block, and where the gap ends. One rule, taken period by period, both by the decoder
// and by a detector that runs it on each crossing as it finds it.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mzfextract {

// The state of the gap search: the running average and the periods in the current run.
struct GapSearch {
  // Running average of the gap period. Single precision on purpose: its rounding is part of
  // the trace. Held here in double precision (it is always a single-precision value), where all
  // arithmetic on it is done, so that a period's step does not convert it first.
  double t0;
  std::int32_t run_count;  // 0: the next period starts a run
};

// A gap needs its starting period and at least 99 steady ones before a long pulse counts.
inline constexpr std::int32_t MIN_GAP_RUN = 100;
inline constexpr double STEADY_TOLERANCE = 5.0;
// The running average of the gap gives a steady period this weight, the average the rest.
inline constexpr double NEW_PERIOD_WEIGHT = 0.05;
inline constexpr double AVERAGE_WEIGHT = 0.95;
// A long pulse is half as long again as a short one: the first period beyond this many times
// the average ends the gap, and the same multiple becomes the long/short threshold.
inline constexpr double LONG_PULSE_FACTOR = 1.5;

// The run count after one more period. It stops at the largest count rather than overflowing:
// a run that long (2^31 periods, more than 12 GB of samples) only ever compares as long.
inline std::int32_t one_more(std::int32_t run_count) {
  return run_count < INT32_MAX ? run_count + 1 : run_count;
}

// Takes one period. A period within STEADY_TOLERANCE of t0 continues the run and moves t0
// towards it; the first clearly longer period after a long enough run ends the gap: then t0 is
// the long/short threshold, the run count 1, and the result true. Any other period breaks the
// run, and the next one starts a new run at its own length. All arithmetic on t0 is done in
// double precision and rounded back to single precision only when stored.
//
// Each period waits for t0 from the one before, and in the second copies of the blocks, which
// the gap search takes too, periods are steady or not as the bits come: a branch on that would
// go wrong at random and throw away the work done beside that chain. So what t0 becomes is chosen
// with masks; on x86-64 the masks come from vector compares and the choice is made in the
// registers that hold the values, which keeps the chain to the average and its rounding.
inline bool gap_period(GapSearch& g, std::int64_t period) {
  const bool starts_run = g.run_count == 0;
#if defined(__SSE2__)
  const __m128d p = _mm_cvtsi64_sd(_mm_setzero_pd(), period);
  const __m128d t = _mm_set_sd(g.t0);
  const __m128d tolerance = _mm_set_sd(STEADY_TOLERANCE);
  const __m128d steady_mask = _mm_and_pd(_mm_cmplt_sd(_mm_sub_sd(t, tolerance), p),
                                         _mm_cmplt_sd(p, _mm_add_sd(t, tolerance)));
  const bool steady = (_mm_movemask_pd(steady_mask) & 1) != 0;
  const double t_value = _mm_cvtsd_f64(t);
  const double p_value = _mm_cvtsd_f64(p);
#else
  const double p_value = static_cast<double>(period);
  const double t_value = g.t0;
  const bool steady =
      (t_value - STEADY_TOLERANCE < p_value) & (p_value < t_value + STEADY_TOLERANCE);
#endif
  // Only a long run can end (the run counts this period before it is compared with the
  // minimum), and only at a period that breaks it. Both are taken together, without a branch
  // on either: in a gap the run is long and steady for thousands of periods, in a block it stays
  // short, so the branch on both rarely changes its way, where one on `steady` alone would go
  // wrong at random in the blocks.
  const bool long_run_breaks = (g.run_count >= MIN_GAP_RUN) & !steady;
  if (long_run_breaks && p_value > t_value * LONG_PULSE_FACTOR) [[unlikely]] {
    g.t0 = static_cast<float>(t_value * LONG_PULSE_FACTOR);  // rounded, kept in double
    g.run_count = 1;
    return true;
  }
  // t0 becomes the period's own length when it starts a run, the average when it continues one,
  // and stays as it is otherwise; each is rounded to single precision (t0 itself exactly).
#if defined(__SSE2__)
  const __m128d average = _mm_add_sd(_mm_mul_sd(_mm_set_sd(NEW_PERIOD_WEIGHT), p),
                                     _mm_mul_sd(_mm_set_sd(AVERAGE_WEIGHT), t));
  // The average rounded to single precision in double precision: adding and taking away
  // 1.5 * 2^(e + 29), where 2^e <= average < 2^(e + 1), rounds it to a multiple of 2^(e - 23),
  // the step of single precision in that binade, to nearest and to even (the constant is an even
  // multiple of that step), and the taking away is exact. Two additions and two bit operations
  // are shorter on the chain than two conversions, and fewer instructions than they need.
  const __m128i exponent =
      _mm_and_si128(_mm_castpd_si128(average), _mm_set1_epi64x(0x7FF0000000000000));
  const __m128d magic =
      _mm_castsi128_pd(_mm_add_epi64(exponent, _mm_set1_epi64x(0x01D8000000000000)));
  const __m128d rounded = _mm_sub_sd(_mm_add_sd(average, magic), magic);
  // A period's own length is single precision already, but for periods of 2^24 samples and
  // more, which are rounded (off the chain).
  __m128d p_single = p;
  if (period >= std::int64_t{1} << 24) [[unlikely]]
    p_single = _mm_cvtss_sd(p, _mm_cvtsd_ss(_mm_setzero_ps(), p));
  const __m128d start_mask =
      _mm_castsi128_pd(_mm_set1_epi64x(-static_cast<std::int64_t>(starts_run)));
  const __m128d otherwise =
      _mm_or_pd(_mm_and_pd(start_mask, p_single), _mm_andnot_pd(start_mask, t));
  const __m128d continues = _mm_andnot_pd(start_mask, steady_mask);
  g.t0 =
      _mm_cvtsd_f64(_mm_or_pd(_mm_and_pd(continues, rounded), _mm_andnot_pd(continues, otherwise)));
#else
  const auto average = static_cast<float>(NEW_PERIOD_WEIGHT * p_value + AVERAGE_WEIGHT * t_value);
  g.t0 = starts_run ? static_cast<float>(p_value) : steady ? average : g.t0;
#endif
  // 1 when the period starts a run (a count of 0 continued is at most 1), one more when it
  // continues one, 0 when it breaks it.
  g.run_count = (one_more(g.run_count) & -static_cast<std::int32_t>(steady)) |
                static_cast<std::int32_t>(starts_run);
  return false;
}

}  // namespace mzfextract
