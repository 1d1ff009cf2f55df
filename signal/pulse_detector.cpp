#include "signal/pulse_detector.h"

namespace mzfextract {

void pulse_detector_init(PulseDetector& detector) {
  detector = PulseDetector{0, 0, MID_LEVEL, MID_LEVEL, MID_LEVEL, MID_LEVEL};
}

bool feed(PulseDetector& d, std::uint8_t u, std::int64_t* period) {
  ++d.elapsed;
  std::uint8_t threshold = MID_LEVEL;
  if (d.elapsed > SILENCE_LIMIT) {
    d.cur_min = d.cur_max = d.prev_min = d.prev_max = MID_LEVEL;
  } else {
    if (u < d.cur_min) d.cur_min = u;
    if (u > d.cur_max) d.cur_max = u;
    // Only the previous cycle's extremes set the threshold: their mean, rounded up.
    threshold = static_cast<std::uint8_t>((d.prev_min + d.prev_max + 1) >> 1);
  }
  const bool crossing = u >= threshold && d.previous < threshold && d.elapsed > DEBOUNCE_LIMIT;
  if (crossing) {
    *period = d.elapsed;
    d.prev_max = d.cur_max;
    d.cur_max = u;
    d.prev_min = d.cur_min;
    d.cur_min = d.previous;
    d.elapsed = 0;
  }
  d.previous = u;
  return crossing;
}

std::size_t feed_span(PulseDetector& d, const std::uint8_t* raw, std::size_t count,
                      std::int64_t* period) {
  *period = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (feed(d, static_cast<std::uint8_t>(~raw[i]), period)) return i + 1;
  }
  return count;
}

}  // namespace mzfextract
