// Per step of a few samples the finder keeps the signal's sums against a complex tone at each of
// the two pulse frequencies, and its energy. At each step's end it looks at the last stretch of
// a mark's short pulses and the stretch of long pulses before it: each stretch's coherence (the
// tone's share of its energy, about 4/pi^2 for a clean square wave, about 1/n for noise) must be
// high, the smaller of the two scores the place. Window sums run as sums of the steps entering
// and leaving them, found again in full every so often so that rounding does not build up.
#include "rescue/mark_finder.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "format/tape_format.h"

namespace mzfscan {

namespace {

// Steps per short pulse, and samples per short pulse at least (more are averaged).
constexpr double STEPS_PER_SHORT = 2;
constexpr double SAMPLES_PER_SHORT = 6;
// The stretches looked at: the mark's short pulses, and that many of its long ones.
constexpr int MARK_LONGS = 24;
// A mark scores at least this (a clean one about 0.4 times the signal's share of its energy).
constexpr double MARK_COHERENCE = 0.1;
// The phases are brought back to length 1 every this many steps.
constexpr std::size_t RESCALE_EVERY = 256;
// Window sums are found again in full every this many steps.
constexpr std::size_t RESUM_EVERY = 4096;

// The sum of `count` steps of `ring` that end `back` steps before step `end` (exclusive).
template <typename T>
T window_sum(const std::vector<T>& ring, std::size_t end, std::size_t back, std::size_t count) {
  T total{};
  for (std::size_t i = 0; i < count; ++i) total += ring[(end - back - 1 - i) % ring.size()];
  return total;
}

double coherence(std::complex<double> sum, double energy, double samples) {
  return energy > 0 ? std::norm(sum) / (samples * energy) : 0;
}

}  // namespace

void mark_finder_init(MarkFinder& finder, double rate, double short_period, double long_period,
                      std::int64_t quiet_samples) {
  finder.rate = rate;
  finder.factor =
      static_cast<std::size_t>(std::max(1.0, std::floor(short_period / SAMPLES_PER_SHORT)));
  finder.in_factor = 0;
  finder.total = 0;
  short_period /= static_cast<double>(finder.factor);
  long_period /= static_cast<double>(finder.factor);
  finder.block =
      static_cast<std::size_t>(std::max(1.0, std::round(short_period / STEPS_PER_SHORT)));
  const double periods[2] = {short_period, long_period};
  for (int k = 0; k < 2; ++k) {
    finder.turn[k] = std::polar(1.0, -2 * std::numbers::pi / periods[k]);
    finder.phase[k] = 1;
    finder.sum[k] = 0;
  }
  const auto block = static_cast<double>(finder.block);
  finder.short_steps =
      static_cast<int>(std::lround(mzf::HEADER_MARK_PULSES * short_period / block));
  finder.long_steps = static_cast<int>(std::lround(MARK_LONGS * long_period / block));
  const std::size_t ring = static_cast<std::size_t>(finder.short_steps) +
                           static_cast<std::size_t>(finder.long_steps) + 1;
  for (auto& steps : finder.steps) steps.assign(ring, 0);
  finder.energies.assign(ring, 0);
  finder.energy = 0;
  finder.in_block = 0;
  finder.samples = 0;
  finder.steps_done = 0;
  finder.best = 0;
  finder.best_at = -1;
  finder.looking = 0;
  finder.quiet_until = 0;
  finder.window = {};
  finder.quiet = quiet_samples;
  finder.found.clear();
}

namespace {

// A step has ended: looks for a mark ending here.
void step_done(MarkFinder& f) {
  const std::size_t ring = f.energies.size();
  const std::size_t at = f.steps_done % ring;
  f.steps[0][at] = f.sum[0];
  f.steps[1][at] = f.sum[1];
  f.energies[at] = f.energy;
  f.sum[0] = f.sum[1] = 0;
  f.energy = 0;
  // The phases keep their length to rounding; brought back to 1 now and then.
  if (f.steps_done % RESCALE_EVERY == 0) {
    for (auto& p : f.phase) p /= std::sqrt(std::norm(p));
  }
  ++f.steps_done;
  const auto shorts = static_cast<std::size_t>(f.short_steps);
  const auto longs = static_cast<std::size_t>(f.long_steps);
  if (f.steps_done < ring) return;
  MarkFinder::Windows& w = f.window;
  const std::size_t end = f.steps_done;
  if (end % RESUM_EVERY == 0 || !w.ready) {
    w.short_sum = window_sum(f.steps[0], end, 0, shorts);
    w.short_energy = window_sum(f.energies, end, 0, shorts);
    w.long_sum = window_sum(f.steps[1], end, shorts, longs);
    w.long_energy = window_sum(f.energies, end, shorts, longs);
    w.ready = true;
  } else {
    // The newest step enters the short stretch, the one before the short stretch leaves it for
    // the long one, and the oldest leaves the long one.
    const std::size_t newest = (end - 1) % ring, moved = (end - 1 - shorts) % ring,
                      oldest = (end - 1 - shorts - longs) % ring;
    w.short_sum += f.steps[0][newest] - f.steps[0][moved];
    w.short_energy += f.energies[newest] - f.energies[moved];
    w.long_sum += f.steps[1][moved] - f.steps[1][oldest];
    w.long_energy += f.energies[moved] - f.energies[oldest];
  }
  if (f.samples < f.quiet_until) return;
  const auto block = static_cast<double>(f.block);
  const double score =
      std::min(coherence(w.short_sum, w.short_energy, static_cast<double>(shorts) * block),
               coherence(w.long_sum, w.long_energy, static_cast<double>(longs) * block));
  if (f.looking == 0 && score >= MARK_COHERENCE) {
    f.looking = f.short_steps;
    f.best = 0;
  }
  if (f.looking == 0) return;
  if (score > f.best) {
    f.best = score;
    f.best_at = f.samples;
  }
  if (--f.looking == 0) {
    f.found.push_back(f.best_at);
    f.quiet_until = f.best_at + f.quiet;
  }
}

}  // namespace

void mark_finder_feed(MarkFinder& finder, const std::uint8_t* samples, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    finder.total += samples[i];
    ++finder.samples;
    if (++finder.in_factor < finder.factor) continue;
    const double x = static_cast<double>(finder.total) / static_cast<double>(finder.factor) - 128;
    finder.in_factor = 0;
    finder.total = 0;
    finder.sum[0] += x * finder.phase[0];
    finder.sum[1] += x * finder.phase[1];
    finder.phase[0] *= finder.turn[0];
    finder.phase[1] *= finder.turn[1];
    finder.energy += x * x;
    if (++finder.in_block == finder.block) {
      finder.in_block = 0;
      step_done(finder);
    }
  }
}

}  // namespace mzfscan
