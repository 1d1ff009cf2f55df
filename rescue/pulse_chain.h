// The pulse-chain reader: decides one block copy by whole pulses instead of threshold crossings.
// Each candidate short or long pulse is scored by correlating the samples with its two halves
// (low, then high), and dynamic programming finds the best chain of back-to-back pulses in which
// every byte starts with a long pulse. It reads what low-pass filtering and hum leave of a tape,
// where crossings no longer fall where the pulses change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mzfscan {

// How a copy lies in its samples.
struct ChainCopy {
  double start;         // where its first start pulse begins, in samples (a hint)
  double short_period;  // expected short and long pulse lengths, in samples
  double long_period;
  bool separated;  // a copy after a tape mark: one more long pulse comes before its first byte
};

// A pulse of a byte on the chain decode_chain() found last, in the samples it read.
struct ChainPulse {
  std::uint32_t start;  // its first sample
  std::uint32_t length;
  bool is_long;
  bool byte_start;  // the long pulse that starts a byte
  bool weak;        // it fits far worse than the usual for its kind
};

// Work space, reused from one copy to the next so that a run allocates only for its largest copy.
// After decode_chain() it also holds the chain it found, for a soft reading of the same copy.
struct ChainWork {
  std::vector<std::uint32_t> sums;  // prefix sums about the mid level, modulo 2^32
  std::vector<float> scores;        // the best chain ending at each of the last samples, per state
  std::vector<std::uint8_t> back;   // how each state's best chain ended, per sample
  std::vector<std::uint8_t> decimated;  // the samples averaged down
  // The chain: the samples it was found in (the caller's, or `decimated`), their count, the
  // pulse lengths measured on it, and its byte pulses in order.
  const std::uint8_t* chain_samples = nullptr;
  std::size_t chain_count = 0;
  std::size_t factor = 1;  // given samples per sample of the chain
  double short_mean = 0, long_mean = 0;
  std::vector<ChainPulse> pulses;
};

// Decodes up to `max_bytes` bytes of the copy `given` in `samples` (8-bit unsigned, pulses starting
// on their falling edge, mid level 128) into `bytes`: first with wide windows on the pulse lengths
// to measure them, then with narrow ones about what was measured. In `weak` (one bit per byte,
// SUSPECT_WORDS words) it marks the bytes, and those beside them, that hold a pulse whose
// correlation falls far below the usual for its kind: silence or a dip, where the chain had to
// guess. Returns the number of bytes decoded (the chain ends where the samples do).
std::size_t decode_chain(const std::uint8_t* samples, std::size_t count, const ChainCopy& given,
                         std::size_t max_bytes, ChainWork& work, std::vector<std::uint8_t>* bytes,
                         std::vector<std::uint64_t>* weak);

}  // namespace mzfscan
