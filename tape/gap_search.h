// The gap search: how the decoder learns the short-pulse period t0 from the run of steady periods
// before a block, and where the gap ends. One rule, taken period by period, both by the decoder
// and by a detector that runs it on each crossing as it finds it.
#pragma once

#include <cstdint>

namespace mzfextract {

// The state of the gap search: the running average and the periods in the current run.
struct GapSearch {
  // Running average of the gap period. Single precision on purpose: its rounding is part of
  // the trace.
  float t0;
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
inline bool gap_period(GapSearch& g, std::int64_t period) {
  const double p = static_cast<double>(period);
  const double t = g.t0;
  const bool starts_run = g.run_count == 0;
  const bool steady = t - STEADY_TOLERANCE < p && p < t + STEADY_TOLERANCE;
  // The run counts this period before it is compared with the minimum.
  const bool ends_gap =
      !starts_run & !steady & (g.run_count >= MIN_GAP_RUN) & (p > t * LONG_PULSE_FACTOR);
  if (ends_gap) [[unlikely]] {
    g.t0 = static_cast<float>(t * LONG_PULSE_FACTOR);
    g.run_count = 1;
    return true;
  }
  const auto average = static_cast<float>(NEW_PERIOD_WEIGHT * p + AVERAGE_WEIGHT * t);
  g.t0 = starts_run ? static_cast<float>(p) : steady ? average : g.t0;
  g.run_count = starts_run ? 1 : steady ? one_more(g.run_count) : 0;
  return false;
}

}  // namespace mzfextract
