// Pulse period detector: turns the recording's 8-bit samples into pulse periods, the
// number of samples from one crossing of an adaptive mid-level threshold to the next.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mzfextract {

// A crossing closer than this many samples to the previous one is ignored (debounce).
inline constexpr std::int64_t DEBOUNCE_LIMIT = 5;
// After more than this many samples without a crossing the level trackers fall back to mid-scale.
inline constexpr std::int64_t SILENCE_LIMIT = 109;
inline constexpr std::uint8_t MID_LEVEL = 128;

// Caller-owned detector state. All values are complemented samples (255 minus the byte read).
// Counts are 64-bit so that recordings beyond 2 GiB cannot overflow them.
struct PulseDetector {
  std::uint8_t previous;  // the previous sample
  std::int64_t elapsed;   // samples since the last crossing, the current one included
  std::uint8_t cur_min;   // lowest level of the current cycle
  std::uint8_t cur_max;   // highest level of the current cycle
  std::uint8_t prev_min;  // lowest level of the previous cycle
  std::uint8_t prev_max;  // highest level of the previous cycle
};

// Puts the detector into its start state: no previous sample, trackers at mid-scale.
void pulse_detector_init(PulseDetector& detector);

// Reference detector: takes one complemented sample `u`. Returns true when the signal rose
// through the threshold, and then stores the samples since the previous crossing in `*period`
// (always at least 6).
bool feed(PulseDetector& detector, std::uint8_t u, std::int64_t* period);

// Fast detector, identical in effect to calling feed() on every sample in turn: takes raw bytes
// as read from the recording (it complements them itself) and stops right after the first
// crossing. Returns the number of bytes consumed. If the last consumed byte was a crossing,
// `*period` holds its period; otherwise all `count` bytes were consumed and `*period` is 0.
std::size_t feed_span(PulseDetector& detector, const std::uint8_t* raw, std::size_t count,
                      std::int64_t* period);

}  // namespace mzfextract
