#include "rescue/chain_reading.h"

#include <algorithm>
#include <cmath>

#include "tape/tape_format.h"
#include "tape/tape_header.h"

namespace mzfscan {

namespace {

using mzfextract::CHECKSUM_SIZE;
using mzfextract::HEADER_BLOCK_SIZE;

// Gap pulses taken in before a copy's start, and long pulses' worth after its last byte.
constexpr double LEAD_SHORTS = 10;
constexpr double TRAIL_LONGS = 20;
constexpr double DURATION_MARGIN = 1.05;  // on a copy's length if all its pulses were long

bool good_verdict(int verdict) {
  return verdict == VERDICT_OK || verdict == VERDICT_COPY;
}

// The bytes a copy of `block` of `p` holds, checksum included; 0 when not known.
std::size_t block_bytes(const ScannedProgram& p, int block) {
  if (block == 0) return HEADER_BLOCK_SIZE;
  if (!good_verdict(p.header_verdict)) return 0;
  return mzfextract::header_word(p.header, mzfextract::BODY_LENGTH_OFFSET) + CHECKSUM_SIZE;
}

bool checksum_holds(const std::vector<std::uint8_t>& bytes, std::size_t size) {
  if (size < CHECKSUM_SIZE || bytes.size() < size) return false;
  const std::size_t data = size - CHECKSUM_SIZE;
  return mzfextract::ones_checksum(bytes.data(), data) ==
         mzfextract::stored_checksum(bytes.data(), data);
}

// True when `bytes`, a reading of copy `k`, is borne out by the first reading's other copy:
// they agree wherever that copy was read cleanly (one byte may differ when it is complete and
// fails its checksum); where it passes its checksum too, a difference counts against `bytes`
// when the first reading found copy `k`'s signal disturbed there.
bool borne_out(const std::uint8_t* bytes, std::size_t count, const CopyEvidence copies[2], int k) {
  const CopyView own = copies[k].view(), other = copies[1 - k].view();
  if (!other.attempted) return true;
  const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, other.count));
  std::uint32_t unexplained = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (bytes[i] == other.bytes[i]) continue;
    if (other.verified && disturbed_byte(own, i)) return false;
    if (!suspect_byte(other, i)) ++unexplained;
  }
  return unexplained == 0 || (unexplained == 1 && other.complete && !other.verified);
}

ScannedProgram* program_of(std::vector<ScannedProgram>& programs, const ChainRegion& r) {
  for (ScannedProgram& p : programs) {
    if (p.copy_seconds[r.block][r.copy] == r.copy_seconds) return &p;
  }
  return nullptr;
}

int adopt_block(ScannedProgram& p, int block, const ChainRegion* decoded[2]) {
  int& verdict = block == 0 ? p.header_verdict : p.body_verdict;
  if (good_verdict(verdict)) return 0;
  const std::size_t size = block_bytes(p, block);
  if (size == 0) return 0;
  const CopyEvidence* evidence = block == 0 ? p.header_copies : p.body_copies;
  bool holds[2] = {false, false};
  for (int k = 0; k < 2; ++k)
    holds[k] = decoded[k] != nullptr && checksum_holds(decoded[k]->bytes, size);
  for (int k = 0; k < 2; ++k) {
    if (!holds[k]) continue;
    const std::uint8_t* bytes = decoded[k]->bytes.data();
    const bool twin = holds[1 - k] && std::equal(bytes, bytes + size, decoded[1 - k]->bytes.data());
    if (!twin && !borne_out(bytes, size, evidence, k)) continue;
    if (block == 0) {
      std::copy_n(bytes, mzfextract::HEADER_SIZE, p.header);
    } else {
      p.body.assign(bytes, bytes + (size - CHECKSUM_SIZE));
    }
    verdict = k == 0 ? VERDICT_OK : VERDICT_COPY;
    return 1;
  }
  return 0;
}

}  // namespace

void chain_reading_plan(ChainReading& reading, const std::vector<ScannedProgram>& programs,
                        double rate, double speed_percent) {
  const double speed = speed_percent > -90 ? 1 + speed_percent / 100 : 1;
  reading.rate = rate;
  reading.short_period = mzfextract::SHORT_PULSE_US * 1e-6 * rate / speed;
  reading.long_period = mzfextract::LONG_PULSE_US * 1e-6 * rate / speed;
  reading.position = 0;
  reading.regions.clear();
  for (const ScannedProgram& p : programs) {
    for (int block = 0; block < 2; ++block) {
      if (good_verdict(block == 0 ? p.header_verdict : p.body_verdict)) continue;
      if (block == 0 && p.relayed) continue;
      // A body of unknown length lasts at most from one copy's start to the other's.
      std::size_t size = block == 0 ? HEADER_BLOCK_SIZE : block_bytes(p, 1);
      double span = static_cast<double>(size) * 9 * reading.long_period * DURATION_MARGIN;
      if (size == 0) {
        if (p.copy_seconds[block][0] < 0 || p.copy_seconds[block][1] < 0) continue;
        span = (p.copy_seconds[block][1] - p.copy_seconds[block][0]) * rate;
      }
      for (int copy = 0; copy < 2; ++copy) {
        const double start = p.copy_seconds[block][copy];
        if (start < 0) continue;
        ChainRegion r;
        r.block = block;
        r.copy = copy;
        r.copy_seconds = start;
        r.from = std::max<std::int64_t>(
            0, std::llround(start * rate - LEAD_SHORTS * reading.short_period));
        r.to = std::llround(start * rate + span + TRAIL_LONGS * reading.long_period);
        r.max_bytes = size > 0 ? size : mzfextract::MAX_BODY_LENGTH + CHECKSUM_SIZE;
        r.decoded = false;
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
  copy.short_period = reading.short_period;
  copy.long_period = reading.long_period;
  copy.separated = r.copy == 0;
  decode_chain(r.samples.data(), r.samples.size(), copy, r.max_bytes, reading.work, &r.bytes);
  r.samples = std::vector<std::uint8_t>();
  r.decoded = true;
}

}  // namespace

void chain_reading_feed(ChainReading& reading, const std::uint8_t* samples, std::size_t count) {
  const std::int64_t from = reading.position;
  const std::int64_t to = from + static_cast<std::int64_t>(count);
  for (ChainRegion& r : reading.regions) {
    if (r.from >= to) break;
    if (r.to <= from) continue;
    const std::int64_t a = std::max(r.from, from), b = std::min(r.to, to);
    r.samples.insert(r.samples.end(), samples + (a - from), samples + (b - from));
    if (r.to <= to) decode_region(reading, r);
  }
  reading.position = to;
}

int adopt_chain_reading(std::vector<ScannedProgram>& programs, ChainReading& reading) {
  // Copies the recording ended inside are decoded as far as they go.
  for (ChainRegion& r : reading.regions) {
    if (!r.decoded && !r.samples.empty()) decode_region(reading, r);
  }
  int taken = 0;
  // Headers first: a header taken here gives its body's length.
  for (int block = 0; block < 2; ++block) {
    for (ScannedProgram& p : programs) {
      const ChainRegion* decoded[2] = {nullptr, nullptr};
      const std::size_t size = block_bytes(p, block);
      if (size == 0 || good_verdict(block == 0 ? p.header_verdict : p.body_verdict)) continue;
      for (const ChainRegion& r : reading.regions) {
        if (r.block == block && r.decoded && program_of(programs, r) == &p) decoded[r.copy] = &r;
      }
      taken += adopt_block(p, block, decoded);
    }
  }
  return taken;
}

}  // namespace mzfscan
