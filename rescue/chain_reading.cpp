#include "rescue/chain_reading.h"

#include <algorithm>
#include <cmath>

#include "format/tape_format.h"

namespace mzfscan {

namespace {

using mzf::CHECKSUM_SIZE;
using mzf::HEADER_BLOCK_SIZE;

// Gap pulses taken in before a copy's start, and long pulses' worth after its last byte.
constexpr double LEAD_SHORTS = 10;
constexpr double TRAIL_LONGS = 20;
constexpr double DURATION_MARGIN = 1.05;  // on a copy's length if all its pulses were long

// The bytes a copy of `block` of `p` holds, checksum included; 0 when not known.
std::size_t block_bytes(const ScannedProgram& p, int block) {
  if (block == 0) return HEADER_BLOCK_SIZE;
  if (!verdict_verified(p.header_verdict)) return 0;
  return mzf::header_word(p.header, mzf::BODY_LENGTH_OFFSET) + CHECKSUM_SIZE;
}

}  // namespace

void chain_reading_plan(ChainReading& reading, const std::vector<ScannedProgram>& programs,
                        double rate, double speed_percent) {
  const double speed = speed_percent > -90 ? 1 + speed_percent / 100 : 1;
  reading.rate = rate;
  reading.short_period = mzf::SHORT_PULSE_US * 1e-6 * rate / speed;
  reading.long_period = mzf::LONG_PULSE_US * 1e-6 * rate / speed;
  reading.position = 0;
  reading.regions.clear();
  for (const ScannedProgram& p : programs) {
    for (int block = 0; block < 2; ++block) {
      if (verdict_verified(block == 0 ? p.header_verdict : p.body_verdict)) continue;
      if (block == 0 && p.relayed) continue;
      // A copy lasts at most as long as every pulse of it were long, and no longer than from
      // one copy's start to the other's (the second follows the first after a short gap).
      const std::size_t size = block == 0 ? HEADER_BLOCK_SIZE : block_bytes(p, 1);
      double span = static_cast<double>(size) * 9 * reading.long_period * DURATION_MARGIN;
      if (p.copies[block][0].start_seconds >= 0 &&
          p.copies[block][1].start_seconds > p.copies[block][0].start_seconds) {
        const double apart =
            (p.copies[block][1].start_seconds - p.copies[block][0].start_seconds) * rate;
        span = size == 0 ? apart : std::min(span, apart);
      } else if (size == 0) {
        continue;
      }
      for (int copy = 0; copy < 2; ++copy) {
        const double start = p.copies[block][copy].start_seconds;
        if (start < 0) continue;
        ChainRegion r;
        r.block = block;
        r.copy = copy;
        r.copy_seconds = start;
        r.from = std::max<std::int64_t>(
            0, std::llround(start * rate - LEAD_SHORTS * reading.short_period));
        r.to = std::llround(start * rate + span + TRAIL_LONGS * reading.long_period);
        r.max_bytes = size > 0 ? size : mzf::MAX_BODY_LENGTH + CHECKSUM_SIZE;
        r.decoded = false;
        r.short_period = reading.short_period;
        r.long_period = reading.long_period;
        reading.regions.push_back(std::move(r));
      }
    }
  }
  std::sort(reading.regions.begin(), reading.regions.end(),
            [](const ChainRegion& a, const ChainRegion& b) { return a.from < b.from; });
}

namespace {

void decode_region(ChainReading& reading, ChainRegion& r) {
  ChainCopy copy;
  copy.start = r.copy_seconds * reading.rate - static_cast<double>(r.from);
  copy.short_period = r.short_period;
  copy.long_period = r.long_period;
  copy.separated = r.copy == 0;
  decode_chain(r.samples.data(), r.samples.size(), copy, r.max_bytes, reading.work, &r.bytes,
               &r.weak);
  r.samples = std::vector<std::uint8_t>();
  r.decoded = true;
}

}  // namespace

void chain_reading_add(ChainReading& reading, const std::vector<ScannedProgram>& programs,
                       int block, int copy, std::int64_t start, std::size_t size,
                       double short_period) {
  const double tolerance = TRAIL_LONGS * reading.long_period;
  const auto near = [&](double seconds) {
    return seconds >= 0 &&
           std::fabs(seconds * reading.rate - static_cast<double>(start)) < tolerance;
  };
  for (const ChainRegion& r : reading.regions) {
    if (r.block == block && near(r.copy_seconds)) return;
  }
  for (const ScannedProgram& p : programs) {
    if (near(p.copies[block][0].start_seconds) || near(p.copies[block][1].start_seconds)) return;
  }
  const std::int64_t kept_from =
      reading.position - static_cast<std::int64_t>(reading.history.size());
  ChainRegion r;
  r.block = block;
  r.copy = copy;
  r.copy_seconds = static_cast<double>(start) / reading.rate;
  r.from = std::max<std::int64_t>(
      {0, kept_from, start - std::llround(LEAD_SHORTS * reading.short_period)});

  r.max_bytes = size;
  r.decoded = false;
  r.short_period = reading.short_period;
  r.long_period = reading.long_period;
  if (short_period > 0) {
    r.short_period = short_period;
    r.long_period = short_period * mzf::LONG_PULSE_US / mzf::SHORT_PULSE_US;
  }
  r.to = std::llround(static_cast<double>(start) +
                      static_cast<double>(size) * 9 * r.long_period * DURATION_MARGIN +
                      TRAIL_LONGS * r.long_period);
  const auto kept = static_cast<std::ptrdiff_t>(std::min<std::int64_t>(
      r.from - kept_from, static_cast<std::int64_t>(reading.history.size())));
  r.samples.assign(reading.history.begin() + kept, reading.history.end());
  const auto at = std::find_if(reading.regions.begin(), reading.regions.end(),
                               [&](const ChainRegion& q) { return q.from > r.from; });
  reading.regions.insert(at, std::move(r));
}

void chain_reading_feed(ChainReading& reading, const std::uint8_t* samples, std::size_t count) {
  const std::int64_t from = reading.position;
  const std::int64_t to = from + static_cast<std::int64_t>(count);
  for (ChainRegion& r : reading.regions) {
    if (r.from >= to) break;
    if (r.to <= from || r.decoded) continue;
    // A copy added late already holds the samples before this chunk.
    const std::int64_t a = std::max(r.from + static_cast<std::int64_t>(r.samples.size()), from);
    const std::int64_t b = std::min(r.to, to);
    if (a < b) r.samples.insert(r.samples.end(), samples + (a - from), samples + (b - from));
    if (r.to <= to) decode_region(reading, r);
  }
  reading.history.insert(reading.history.end(), samples, samples + count);
  if (reading.history.size() > CHAIN_HISTORY) {
    reading.history.erase(reading.history.begin(),
                          reading.history.end() - static_cast<std::ptrdiff_t>(CHAIN_HISTORY));
  }
  reading.position = to;
}

void chain_reading_finish(ChainReading& reading) {
  // Copies the recording ended inside are decoded as far as they go.
  for (ChainRegion& r : reading.regions) {
    if (!r.decoded && !r.samples.empty()) decode_region(reading, r);
  }
}

}  // namespace mzfscan
