// Finds header tape marks (long pulses, then short ones) in prepared samples as they stream
// past, where noise hides them from every reader that decides pulse by pulse: by how much of the
// signal lies at the long pulses' frequency over a stretch, followed by how much lies at the
// short pulses' frequency over the next. Only where a mark begins is found, to within a few
// milliseconds; the copies after it are read by the soft reader, which places them exactly.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mzfscan {

// Caller-owned state; no allocation after mark_finder_init().
struct MarkFinder {
  double rate = 0;         // of the prepared samples
  std::size_t factor = 1;  // prepared samples averaged into one
  std::size_t in_factor = 0;
  int total = 0;                      // of the samples being averaged
  std::size_t block = 1;              // averaged samples per step
  std::complex<double> turn[2] = {};  // per sample, at the short and the long pulses' frequency
  std::complex<double> phase[2] = {};
  std::complex<double> sum[2] = {};  // of the current step
  double energy = 0;
  std::size_t in_block = 0;
  std::int64_t samples = 0;  // prepared samples fed so far
  // Per step, in a ring: the sums at both frequencies and the energy.
  std::vector<std::complex<double>> steps[2];
  std::vector<double> energies;
  std::size_t steps_done = 0;
  int short_steps = 0, long_steps = 0;  // a mark's short and long stretches, in steps
  // A mark being followed: its best score so far, where, and steps left to look for better.
  double best = 0;
  std::int64_t best_at = -1;
  int looking = 0;
  std::int64_t quiet_until = 0;  // no mark is looked for before this sample
  std::int64_t quiet = 0;        // samples after a mark in which no other is looked for
  // The sums over the short stretch and over the long one before it.
  struct Windows {
    std::complex<double> short_sum, long_sum;
    double short_energy = 0, long_energy = 0;
    bool ready = false;
  } window;
  std::vector<std::int64_t> found;  // where each mark's short pulses end, in prepared samples
};

// Starts a search in prepared samples at `rate` with pulses of `short_period` and `long_period`
// samples; `quiet_samples` is how long after a mark no other is looked for.
void mark_finder_init(MarkFinder& finder, double rate, double short_period, double long_period,
                      std::int64_t quiet_samples);

// Takes the next `count` prepared samples; marks found are appended to `finder.found`.
void mark_finder_feed(MarkFinder& finder, const std::uint8_t* samples, std::size_t count);

}  // namespace mzfscan
