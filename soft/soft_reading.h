// Soft reading of blocks: for every bit of a block copy, how much more its signal supports a 1
// than a 0 (a log-likelihood ratio), and the block decided from the ratios of all its copies
// together, taken only when its checksum holds and a wrong block could hardly have passed it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rescue/pulse_chain.h"

namespace mzfscan {

// The lengths, in samples, a pulse of one kind may have: [low, high].
struct PulseWindow {
  int low, high;
};

// Work space, reused from one copy to the next.
struct SoftWork {
  std::vector<std::uint32_t> sums;      // prefix sums of the samples about the mid level
  std::vector<std::int32_t> lo, hi;     // where each pulse may begin: the band kept, per pulse
  std::vector<float> spread;            // per pulse: how its band was pruned (see soft_pass())
  std::vector<float> shortfall, local;  // a band's scores against the best of any pulses
  std::vector<float> ahead, behind;     // the maxima of blocks, for a sliding maximum
  std::vector<float> near_sums;         // the prefix sums about one band, as floats
  std::vector<float> through;           // per sample of a band: the best chain through it
  std::vector<float> kept;              // the chains a band keeps
  std::vector<float> minus_free;        // the best chain of any pulses, negated, over a band
  std::vector<std::array<std::int32_t, 2>> runs;    // a band's stretches of chains kept
  std::vector<std::array<PulseWindow, 2>> windows;  // per pulse, a short's and a long's
  std::vector<float> checkpoints;  // the forward scores of every CHECKPOINT-th band
  std::vector<std::size_t> checkpoint_at;
  std::vector<float> rows;  // every band's forward scores, while they fit
  std::vector<std::size_t> row_at;
  std::vector<float> segment;  // the forward scores of the bands between two checkpoints
  std::vector<std::size_t> segment_at;
  std::vector<float> free;  // the best chain of any pulses ending at each sample
  std::vector<float> reach, next, current, tail;
  std::vector<std::uint8_t> averaged;  // samples averaged for a copy read without its own chain
};

// What a soft reading takes from a copy's hard reading: the amplitude of its pulses and the
// variance of the rest, per sample, the lengths of its short and long pulses, in samples, all at
// the chain's rate, and how many given samples make one of the chain's.
struct SoftStats {
  double amplitude = 0, noise = 0;
  double short_period = 0, long_period = 0;
  std::size_t factor = 1;
};

// Measures the copy on the chain decode_chain() left in `chain`; false when it holds none.
bool soft_measure(const ChainWork& chain, SoftStats* stats);

// The soft reading of one copy of a block of `size` bytes (checksum included), in `count`
// samples at the chain's rate (the given samples averaged by `stats.factor`, as decode_chain()
// does), measured as `stats`; `start` is where the copy is thought to begin, in given samples,
// `separated` whether a tape mark and its long separator come before it (else a gap).
// The copy is read as every chain of exactly its pulses (a long start pulse and 8 bits per
// byte, then the closing long pulse and the gap after it) that the samples allow, with windows
// on the pulse lengths about those measured, and each pulse scored by how well the samples match
// it under the amplitude and noise measured. Into `llr` go 8 ratios per byte, most significant
// bit first: the best chain with a 1 there against the best with a 0, positive for 1, near 0
// where the signal says nothing (a dropout). Returns false, with `llr` empty, when the copy does
// not fit in its samples. `end` (when not null) gets where the best chain's closing long pulse
// ends, in given samples.
bool soft_read_copy(const std::uint8_t* samples, std::size_t count, const SoftStats& stats,
                    double start, bool separated, std::size_t size, SoftWork& work,
                    std::vector<float>* llr, double* end = nullptr);

// Averages `count` samples by `factor` into `out`, as decode_chain() does.
void average_samples(const std::uint8_t* samples, std::size_t count, std::size_t factor,
                     std::vector<std::uint8_t>* out);

// A stretch of a block's bytes, [from, to).
struct ByteRange {
  std::uint32_t from, to;
};

// What the soft readings of a block's copies give.
struct SoftDecision {
  std::vector<std::uint8_t> bytes;  // the block, checksum included, when taken
  int source = -1;                  // -1: not taken; k: copy k's reading alone; JOINED_COPIES
  double false_pass = 1;            // the chance that a wrong block passes, as estimated
  std::vector<std::vector<ByteRange>> gave;  // per copy, the bytes it read cleanly as taken
};

inline constexpr int JOINED_COPIES = -2;

// The chance of a wrong block passing its checksum that a decision may have at most.
inline constexpr double MAX_FALSE_PASS = 1e-6;

// Decides a block of `size` bytes from the soft readings `copies` (each empty when that copy was
// not read): candidates in order are the sum of all ratios, then each copy's own. A candidate is
// taken when its checksum holds, the chance of a wrong block passing (estimated from its ratios:
// the checksum counts 1 bits, so a 1 read as 0 with a 0 read as 1 passes it) is below
// MAX_FALSE_PASS, and no copy read a byte confidently that differs from it. Returns true when
// one was taken.
bool soft_decide(const std::vector<std::vector<float>>& copies, std::size_t size,
                 SoftDecision* decision);

}  // namespace mzfscan
