// Soft reading of blocks: for every bit of a block copy, how much more its signal supports a 1
// than a 0 (a log-likelihood ratio), and the block decided from the ratios of all its copies
// together, taken only when its checksum holds and a wrong block could hardly have passed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rescue/pulse_chain.h"

namespace mzfscan {

// Work space, reused from one copy to the next.
struct SoftWork {
  std::vector<std::int64_t> sums;     // prefix sums of the samples about the mid level
  std::vector<std::int64_t> squares;  // and of their squares
  std::vector<std::int32_t> lo, hi;   // where each pulse may begin: the band kept, per pulse
  std::vector<float> checkpoints;     // the forward scores of every CHECKPOINT-th band
  std::vector<std::size_t> checkpoint_at;
  std::vector<float> segment;  // the forward scores of the bands between two checkpoints
  std::vector<std::size_t> segment_at;
  std::vector<float> reach, next, current, tail;
};

// The soft reading of one copy of a block of `size` bytes (checksum included), in the samples
// and on the chain that decode_chain() left in `chain`; `start` is where the first reading saw
// the copy begin, in the samples given to decode_chain(). The copy is read as every chain of
// exactly its pulses (a long start pulse and 8 bits per byte, then the closing long pulse and
// the gap after it) that the samples allow, with windows on the pulse lengths about those
// measured, and each pulse scored by how well the samples match it under the amplitude and
// noise measured on the copy itself. Into `llr` go 8 ratios per byte, most significant bit
// first: the best chain with a 1 there against the best with a 0, positive for 1, near 0 where
// the signal says nothing (a dropout). Returns false, with `llr` empty, when the copy does not
// fit in its samples. `end` (when not null) gets where the best chain's closing long pulse ends,
// in the samples given to decode_chain().
bool soft_read_copy(const ChainWork& chain, double start, std::size_t size, SoftWork& work,
                    std::vector<float>* llr, double* end = nullptr);

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
