#include "scan/tape_scan.h"

#include <cmath>

namespace mzfscan {

void channel_scanner_init(ChannelScanner& s, double sample_rate) {
  s.sample_rate = sample_rate;
  s.us_per_sample = 1e6 / sample_rate;
  s.level_sum = s.level_squares = 0;
  s.level_peak = 0;
  s.sample_count = 0;
  for (PolarityReader& r : s.readers) r.reading = TapeReading{};
}

void channel_scanner_feed(ChannelScanner& s, const float* samples, std::size_t count,
                          std::size_t stride) {
  for (std::size_t i = 0; i < count; ++i) {
    const float x = samples[i * stride];
    s.level_sum += x;
    s.level_squares += static_cast<double>(x) * x;
    s.level_peak = std::fmax(s.level_peak, std::fabs(x));
  }
  s.sample_count += count;
}

void channel_scanner_finish(ChannelScanner& /*scanner*/) {}

const TapeReading& channel_scanner_reading(const ChannelScanner& s, Polarity polarity) {
  return s.readers[polarity == POLARITY_RISING ? 1 : 0].reading;
}

SignalLevel channel_scanner_level(const ChannelScanner& s) {
  if (s.sample_count == 0) return SignalLevel{0, 0, 0};
  const auto n = static_cast<double>(s.sample_count);
  return SignalLevel{s.level_peak, std::sqrt(s.level_squares / n), s.level_sum / n};
}

bool better_reading(const TapeReading& a, const TapeReading& b) {
  if (a.verified_blocks != b.verified_blocks) return a.verified_blocks > b.verified_blocks;
  return a.separation > b.separation;
}

}  // namespace mzfscan
