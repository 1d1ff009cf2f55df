// The gap search: how the decoder learns the short-pulse period t0 from the run of steady periods
// before a block, and where the gap ends. One rule, taken period by period, both by the decoder
// and by a detector that runs it on each crossing as it finds it.
#pragma once

#include <cstdint>

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
inline bool gap_period(GapSearch& g, std::int64_t period) {
  const bool starts_run = g.run_count == 0;
  const double p_value = static_cast<double>(period);
  const double t_value = g.t0;
  const bool steady =
      (t_value - STEADY_TOLERANCE < p_value) & (p_value < t_value + STEADY_TOLERANCE);
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
  const auto average = static_cast<float>(NEW_PERIOD_WEIGHT * p_value + AVERAGE_WEIGHT * t_value);
  g.t0 = starts_run ? static_cast<float>(p_value) : steady ? average : g.t0;
  // 1 when the period starts a run (a count of 0 continued is at most 1), one more when it
  // continues one, 0 when it breaks it.
  g.run_count = (one_more(g.run_count) & -static_cast<std::int32_t>(steady)) |
                static_cast<std::int32_t>(starts_run);
  return false;
}

}  // namespace mzfextract
