// The reader in two layers. The front end runs per sample: a short moving average against
// noise, then a comparator whose thresholds sit around the mid level of the tracked half-cycle
// extremes, with hysteresis in proportion to the signal; it reports every crossing with its time
// interpolated between samples. Falling crossings feed the falling-polarity reading, rising
// crossings the rising one. Each reading then runs per crossing: it learns the short pulse
// from gaps, follows the tape's speed and tracks both pulse clusters, counts tape marks, frames
// bytes and assembles programs from both copies of every block.
#include "reader/tape_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>

#if defined(__SSE2__) && !defined(MZF_NO_VECTOR)
#include <emmintrin.h>
#endif

#include "format/tape_format.h"

namespace mzfscan {

namespace {

using mzf::BODY_LENGTH_OFFSET;
using mzf::CHECKSUM_SIZE;
using mzf::HEADER_BLOCK_SIZE;
using mzf::HEADER_SIZE;
using mzf::LOADER_RELAYED_COUNT;
using mzf::LOADER_RELAYED_FROM;

constexpr double NOMINAL_SHORT_US = mzf::SHORT_PULSE_US;
constexpr double NOMINAL_LONG_US = mzf::LONG_PULSE_US;
// Readings that verified nothing are told apart by the share of their pulses near the format's
// lengths only when the shares differ by more than this.
constexpr double CLEARLY_TAPE_LIKE = 0.1;
// A pulse within this share of the format's short or long length is like it.
constexpr double PULSE_LIKE = 0.25;

// Front end.
constexpr double SMOOTHING_US = 60;      // span of the moving average
constexpr float HYSTERESIS = 0.25F;      // of the tracked half range
constexpr float LEVEL_WEIGHT = 0.25F;    // of a new half-cycle extreme in the tracked levels
constexpr float MIN_HYSTERESIS = 1e-4F;  // digital silence never crosses
constexpr double SILENCE_US = 3000;      // no crossing this long: the levels relax
// The shortest half pulse, 240 us, lasts 218 us on a tape 10 % fast, and no sample lies more
// than one sample period from a crossing: a crossing closer than this to the one before is noise.
// Skipping such crossings keeps a channel of noise from costing one every few samples.
constexpr double HOLDOFF_US = 180;
constexpr float RELAX_FACTOR = 0.5F;
constexpr std::size_t LANES = 4;  // independent accumulators of the level measurement

// Period classification.
constexpr int MIN_GAP_RUN = 100;        // steady periods that make a gap
constexpr int MIN_REPEAT_GAP_RUN = 64;  // enough before a block's second copy
constexpr double STEADY_TOLERANCE = 0.15;
constexpr double RUN_WEIGHT = 1.0 / 16;
constexpr int MIN_TRACKED_RUN = 16;     // a steady run this long moves the cluster means
constexpr double GAP_END_FACTOR = 1.4;  // a long pulse ends a gap
constexpr double MIN_SHORT_US = NOMINAL_SHORT_US * 0.6, MAX_SHORT_US = NOMINAL_SHORT_US * 1.5;
constexpr double MIN_RATIO = 1.5, MAX_RATIO = 2.4;  // long/short
constexpr double GLITCH_FACTOR = 0.4;               // shorter than this many short pulses: a glitch
constexpr double GARBAGE_FACTOR = 2.2;   // longer than this many long pulses: no pulse at all
constexpr double CLUSTER_WINDOW = 0.25;  // a period this close to a cluster mean moves it
// A period's deviation from its cluster moves both means by this share at once: the speed of a
// tape with flutter changes by a percent from one pulse to the next. Then its own cluster moves
// by CLUSTER_WEIGHT more, which learns the ratio of the two pulse lengths.
constexpr double SPEED_WEIGHT = 1.0 / 4;
constexpr double CLUSTER_WEIGHT = 1.0 / 16;
constexpr double AMBIGUOUS_BAND = 0.2;  // of the cluster distance, around the threshold

// Disturbed signal, for comparing the copies of a block. Marking too much only matters where
// two copies differ, so these are generous.
constexpr float WEAK_HALF = 0.5F;     // a half cycle reaching less of the tracked level: a dip
constexpr double LOPSIDED = 0.35;     // of a period: its halves differ by more (a lost half)
constexpr double SUSPECT_BAND = 0.3;  // of the cluster distance, around the threshold
constexpr double FAR_SHORT = 0.7;     // of the short mean: shorter is far from both clusters
constexpr double FAR_LONG = 1.3;      // of the long mean: longer is far from both clusters
// A bit slip shifts every later bit until a start pulse falls on a short one: bytes this far
// before a lost framing may have been read out of step.
constexpr std::uint32_t BREAK_SUSPECT_BYTES = 16;

// Framing.
constexpr int HEADER_MARK = mzf::HEADER_MARK_PULSES, BODY_MARK = mzf::BODY_MARK_PULSES;
constexpr int MARK_TOLERANCE = 3;
constexpr std::uint32_t MIN_SPECULATIVE_BYTES = 8;
// A second copy follows its first after 256 short pulses (about 0.13 s): a recording that ends
// sooner than this after a first copy may have cut the second off.
constexpr double SECOND_COPY_WITHIN_SECONDS = 0.5;
constexpr int PERIOD_SHORT = 0, PERIOD_LONG = 1, PERIOD_GARBAGE = 2;

void reset_copy(CopyBuffer& b) {
  b.count = 0;
  b.attempted = b.complete = b.verified = b.cut_off = false;
  b.start_seconds = b.end_seconds = 0;
  std::fill(std::begin(b.suspect), std::end(b.suspect), 0);
  std::fill(std::begin(b.disturbed), std::end(b.disturbed), 0);
}

void mark(std::uint64_t* bits, std::uint32_t index) {
  if (index < BLOCK_CAPACITY) bits[index / 64] |= std::uint64_t{1} << (index % 64);
}

CopyView view_of(const CopyBuffer& b) {
  return CopyView{b.bytes, b.count, b.attempted, b.complete, b.verified, b.suspect, b.disturbed};
}

BlockDecision decide(const CopyBuffer copies[2]) {
  return decide_block(view_of(copies[0]), view_of(copies[1]));
}

CopyEvidence evidence_of(const CopyBuffer& b) {
  CopyEvidence e;
  e.attempted = b.attempted;
  e.complete = b.complete;
  e.verified = b.verified;
  if (!b.attempted) return e;
  e.bytes.assign(b.bytes, b.bytes + b.count);
  e.suspect.assign(std::begin(b.suspect), std::end(b.suspect));
  e.disturbed.assign(std::begin(b.disturbed), std::end(b.disturbed));
  e.start_seconds = b.start_seconds;
  return e;
}

// The copy holds `data_size` bytes and its checksum (the number of bits set, high byte first),
// and they agree.
bool verifies(const CopyBuffer& b, std::uint32_t data_size) {
  return b.count == data_size + CHECKSUM_SIZE &&
         mzf::ones_checksum(b.bytes, data_size) == mzf::stored_checksum(b.bytes, data_size);
}

CopyBuffer& current_copy(PolarityReader& r) {
  CopyBuffer* copies = r.block == BlockKind::HEADER ? r.header_copy : r.body_copy;
  return copies[r.copy - 1];
}

// The copy to take a block from: the decided one, else a verified one, else the most complete
// one.
const CopyBuffer& best_copy(const CopyBuffer copies[2], int source) {
  if (source >= 0) return copies[source];
  if (copies[0].verified) return copies[0];
  if (copies[1].verified) return copies[1];
  if (copies[0].complete != copies[1].complete) return copies[0].complete ? copies[0] : copies[1];
  return copies[1].count > copies[0].count ? copies[1] : copies[0];
}

// The block's data, `length` bytes (0: as long as the best copy's): the verified copy, else a
// best guess from the most complete copy, continued from the other one where it read further
// and with zeros where neither was read.
void block_data(const CopyBuffer copies[2], int source, std::size_t length, std::uint8_t* out,
                std::vector<std::uint8_t>* grow) {
  const CopyBuffer& best = best_copy(copies, source);
  const CopyBuffer& other = &best == &copies[0] ? copies[1] : copies[0];
  const std::size_t best_data = best.count >= CHECKSUM_SIZE ? best.count - CHECKSUM_SIZE : 0;
  if (length == 0) length = best.verified || best.complete ? best_data : best.count;
  if (grow != nullptr) {
    grow->assign(length, 0);
    out = grow->data();
  }
  const std::size_t from_best = std::min<std::size_t>(best.count, length);
  std::copy_n(best.bytes, from_best, out);
  if (!best.verified && other.count > from_best) {
    std::copy_n(other.bytes + from_best, std::min<std::size_t>(other.count, length) - from_best,
                out + from_best);
  }
}

void start_program(PolarityReader& r, double time_seconds) {
  r.open = true;
  r.header_seen = r.body_seen = r.relayed = false;
  r.time_seconds = time_seconds;
  for (CopyBuffer& b : r.header_copy) reset_copy(b);
  for (CopyBuffer& b : r.body_copy) reset_copy(b);
  for (auto& records : r.copy_record) records[0] = records[1] = -1;
}

// The first byte where the copy differs from `other` (as far as both were read), or -1.
std::int64_t first_difference(const CopyBuffer& b, const CopyBuffer& other) {
  const std::uint32_t n = std::min(b.count, other.count);
  const auto at = std::mismatch(b.bytes, b.bytes + n, other.bytes).first;
  return at == b.bytes + n ? -1 : at - b.bytes;
}

// What became of copy `k` of a block whose two copies gave `decision`.
CopyRecord record_of(const CopyBuffer copies[2], int k, const BlockDecision& decision) {
  const CopyBuffer& b = copies[k];
  const CopyBuffer& other = copies[1 - k];
  CopyRecord record;
  if (!b.attempted) return record;
  record.start_seconds = b.start_seconds;
  record.end_seconds = b.end_seconds;
  record.bytes = b.count;
  if (b.verified) {
    const std::int64_t unconfirmed = first_unconfirmed(view_of(b), view_of(other));
    if (!copy_borne_out(view_of(b), view_of(other))) {
      record.outcome = COPY_CONFLICT;
      record.first_failing = first_difference(b, other);
    } else if (unconfirmed >= 0) {
      record.outcome = COPY_UNCONFIRMED;
      record.first_failing = unconfirmed;
    } else {
      record.outcome = COPY_VERIFIED;
    }
  } else if (!b.complete) {
    record.outcome = b.cut_off ? COPY_TRUNCATED : COPY_BROKEN;
    record.first_failing = b.count;
  } else {
    record.outcome = COPY_CHECKSUM;
    if (decision.source == 1 - k) record.first_failing = first_difference(b, other);
  }
  return record;
}

// The verdict of a block from its copies: as decide_block() gives it, but truncated when no copy
// verified and the recording ended inside the block.
int block_verdict(const CopyBuffer copies[2], const BlockDecision& decision) {
  const bool cut_off = copies[0].cut_off || copies[1].cut_off;
  return decision.verdict == VERDICT_DAMAGED && cut_off ? VERDICT_TRUNCATED : decision.verdict;
}

// Gives the timeline's copies of block `block_index` what became of them.
void record_outcomes(PolarityReader& r, int block_index, const CopyRecord records[2]) {
  for (int k = 0; k < 2; ++k) {
    const std::int64_t at = r.copy_record[block_index][k];
    if (at < 0) continue;
    BlockCopy& copy = r.reading.copies[static_cast<std::size_t>(at)];
    copy.outcome = records[k].outcome;
    copy.first_failing = records[k].first_failing;
  }
}

// Hands the open program over to the reading (or, for a loader, to the relay).
void close_program(PolarityReader& r) {
  if (!r.open) return;
  r.open = false;
  r.expect = Awaited::NOTHING;
  ScannedProgram p{};
  p.time_seconds = r.time_seconds;
  p.relayed = r.relayed;
  if (r.relayed) {
    std::memcpy(p.header, r.relay_header, HEADER_SIZE);
    p.header_verdict = r.relay_verdict;
  } else {
    const BlockDecision header = decide(r.header_copy);
    p.header_verdict = block_verdict(r.header_copy, header);
    for (int k = 0; k < 2; ++k) p.copies[0][k] = record_of(r.header_copy, k, header);
    block_data(r.header_copy, header.source, HEADER_SIZE, p.header, nullptr);
    record_outcomes(r, 0, p.copies[0]);
    if (!verdict_verified(header.verdict)) {
      for (int k = 0; k < 2; ++k) p.header_copies[k] = evidence_of(r.header_copy[k]);
    }
  }
  const bool header_good = verdict_verified(p.header_verdict);
  const BlockDecision body = decide(r.body_copy);
  p.body_verdict = r.body_seen ? block_verdict(r.body_copy, body) : VERDICT_MISSING;
  for (int k = 0; k < 2; ++k) p.copies[1][k] = record_of(r.body_copy, k, body);
  if (p.body_verdict != VERDICT_MISSING) {
    // A verified header (or a relayed one) gives the length; else the copies' extent does.
    const std::size_t length = header_good ? mzf::header_word(p.header, BODY_LENGTH_OFFSET) : 0;
    block_data(r.body_copy, body.source, length, nullptr, &p.body);
    record_outcomes(r, 1, p.copies[1]);
    // A copy verified at its own extent, of another length than the header gives, is not this
    // body (see check_body_length()).
    if (header_good && body.source >= 0 &&
        r.body_copy[body.source].count != length + CHECKSUM_SIZE) {
      p.body_verdict = VERDICT_DAMAGED;
    }
  }
  if (r.body_seen && !verdict_verified(p.body_verdict)) {
    for (int k = 0; k < 2; ++k) p.body_copies[k] = evidence_of(r.body_copy[k]);
  }
  if (!r.relayed && header_good && mzf::is_loader_header(p.header) &&
      p.body_verdict != VERDICT_MISSING) {
    // A loader: its body carries the next program's length and addresses.
    std::memcpy(r.relay_header, p.header, HEADER_SIZE);
    const std::size_t available =
        p.body.size() > LOADER_RELAYED_FROM ? p.body.size() - LOADER_RELAYED_FROM : 0;
    std::memcpy(r.relay_header + BODY_LENGTH_OFFSET, p.body.data() + LOADER_RELAYED_FROM,
                std::min(available, LOADER_RELAYED_COUNT));
    r.relay_verdict = verdict_verified(p.body_verdict) ? p.header_verdict : VERDICT_DAMAGED;
    r.relay_pending = true;
    return;
  }
  r.reading.programs.push_back(std::move(p));
}

void start_block(PolarityReader& r, BlockKind block, int copy, bool speculative, double now) {
  r.block = block;
  r.copy = copy;
  r.speculative = speculative;
  r.bit_index = 0;
  r.current = 0;
  r.extent_length = false;
  if (block == BlockKind::HEADER) {
    r.block_size = HEADER_BLOCK_SIZE;
  } else if (r.relayed) {
    r.block_size = mzf::header_word(r.relay_header, BODY_LENGTH_OFFSET) + CHECKSUM_SIZE;
  } else if (const BlockDecision header = decide(r.header_copy); header.source >= 0) {
    const CopyBuffer& h = r.header_copy[header.source];
    r.block_size = mzf::header_word(h.bytes, BODY_LENGTH_OFFSET) + CHECKSUM_SIZE;
  } else {
    r.block_size = BLOCK_CAPACITY;
    r.extent_length = true;
  }
  CopyBuffer& b = current_copy(r);
  reset_copy(b);
  b.attempted = true;
  b.start_seconds = b.end_seconds = now;
}

void record_copy(PolarityReader& r, const CopyBuffer& b) {
  r.copy_record[r.block == BlockKind::HEADER ? 0 : 1][r.copy - 1] =
      static_cast<std::int64_t>(r.reading.copies.size());
  // What became of it, until the comparison with the other copy says more.
  const int outcome = b.verified   ? COPY_VERIFIED
                      : b.complete ? COPY_CHECKSUM
                      : b.cut_off  ? COPY_TRUNCATED
                                   : COPY_BROKEN;
  r.reading.copies.push_back(BlockCopy{r.block == BlockKind::HEADER,
                                       r.copy,
                                       b.start_seconds,
                                       b.end_seconds,
                                       outcome,
                                       b.count,
                                       b.complete ? -1 : static_cast<std::int64_t>(b.count),
                                       {}});
  if (b.verified) ++r.reading.verified_blocks;
}

// The bits of the copy are a run of ones, then zeros: the long, then the short pulses of a tape
// mark, read as bytes.
bool mark_like(const CopyBuffer& b) {
  std::uint32_t i = 0;
  while (i < b.count && b.bytes[i] == 0xFF) ++i;
  if (i == b.count) return true;
  const auto ones_then_zeros = static_cast<std::uint8_t>(~b.bytes[i]);
  return i + 1 == b.count && (ones_then_zeros & (ones_then_zeros + 1)) == 0;
}

// The copy in progress has ended, complete or not.
void end_block(PolarityReader& r, bool complete) {
  CopyBuffer& b = current_copy(r);
  if (r.extent_length) {
    // Past the checksum come the closing long pulse and the short pulses of a gap: read as one
    // more byte of zeros before the framing breaks. Take whichever length verifies, but not an
    // empty block: a long pulse and a few short ones, anywhere, read as a checksum of zero.
    complete = false;
    const auto checksum = static_cast<std::uint32_t>(CHECKSUM_SIZE);
    const bool zero_last = b.count > 0 && b.bytes[b.count - 1] == 0;
    for (std::uint32_t drop = zero_last ? 1 : 0; !complete; --drop) {
      if (b.count > checksum + drop) {
        const std::uint32_t saved = b.count;
        b.count -= drop;
        complete = verifies(b, b.count - checksum);
        if (!complete) b.count = saved;
      }
      if (drop == 0) break;
    }
    if (!complete && zero_last && b.count > checksum) --b.count;
  }
  if (!complete && r.speculative && b.count < MIN_SPECULATIVE_BYTES && mark_like(b)) {
    // Not a block after all: the long pulses of the next tape mark read as bytes. Forget it.
    reset_copy(b);
    r.block = BlockKind::NONE;
    return;
  }
  r.following = false;  // until the next gap's end
  b.complete = complete;
  b.verified = complete && verifies(b, b.count - static_cast<std::uint32_t>(CHECKSUM_SIZE));
  if (!complete) {
    // Whatever broke the framing may have begun some bytes earlier.
    for (std::uint32_t k = 0; k <= BREAK_SUSPECT_BYTES && k <= b.count; ++k) {
      mark(b.suspect, b.count - k);
    }
  }
  record_copy(r, b);
  const BlockKind block = r.block;
  const int copy = r.copy;
  r.block = BlockKind::NONE;
  if (copy == 1) {
    r.expect = block == BlockKind::HEADER ? Awaited::HEADER_COPY : Awaited::BODY_COPY;
  } else {
    r.expect = Awaited::NOTHING;
    if (block == BlockKind::BODY) close_program(r);
  }
}

void block_period(PolarityReader& r, int kind, bool suspect, double now) {
  CopyBuffer& b = current_copy(r);
  if (suspect) {
    // A disturbance can move a bit across the byte's edge.
    for (std::uint32_t k = b.count > 0 ? b.count - 1 : 0; k <= b.count + 1; ++k) {
      mark(b.suspect, k);
      if (r.disturbed) mark(b.disturbed, k);
    }
  }
  if (kind == PERIOD_GARBAGE || (r.bit_index == 0 && kind != PERIOD_LONG)) {
    end_block(r, false);  // the framing broke: a dropout, or the block is over
    return;
  }
  if (r.bit_index == 0) {
    r.bit_index = 1;
    r.current = 0;
    return;
  }
  r.current = static_cast<std::uint8_t>(r.current << 1 | kind);
  if (++r.bit_index <= mzf::BITS_PER_BYTE) return;
  r.bit_index = 0;
  b.bytes[b.count++] = r.current;
  b.end_seconds = now;
  if (b.count == r.block_size) end_block(r, !r.extent_length);
}

void header_mark(PolarityReader& r, double mark_start, double now) {
  close_program(r);
  r.relay_pending = false;  // a new header cancels a loader
  start_program(r, mark_start);
  r.header_seen = true;
  start_block(r, BlockKind::HEADER, 1, false, now);
}

void body_mark(PolarityReader& r, double mark_start, double now) {
  if (!r.open || r.body_seen) {
    close_program(r);
    start_program(r, mark_start);
    if (r.relay_pending) {
      r.relayed = true;
      r.relay_pending = false;
    }
  }
  r.body_seen = true;
  start_block(r, BlockKind::BODY, 1, false, now);
}

void learn_short(PolarityReader& r, double short_us) {
  r.short_mean = short_us;
  const double ratio = r.long_mean / short_us;
  if (!r.learned || ratio < MIN_RATIO || ratio > MAX_RATIO) {
    r.long_mean = short_us * (NOMINAL_LONG_US / NOMINAL_SHORT_US);
  }
  r.threshold = (r.short_mean + r.long_mean) / 2;
  r.learned = true;
}

// Moves the clusters by a period of `kind` and `us` microseconds; returns false when it lies
// too far from its cluster to move it.
bool track_clusters(PolarityReader& r, int kind, double us) {
  double* mean = nullptr;
  if (kind == PERIOD_SHORT) {
    mean = &r.short_mean;
  } else if (kind == PERIOD_LONG) {
    mean = &r.long_mean;
  }
  if (mean == nullptr || !(std::fabs(us - *mean) < CLUSTER_WINDOW * *mean)) return false;
  const double speed = 1 + (us / *mean - 1) * SPEED_WEIGHT;
  r.short_mean *= speed;
  r.long_mean *= speed;
  *mean += (us - *mean) * CLUSTER_WEIGHT;
  if (kind == PERIOD_SHORT) {
    r.short_sum += us;
    ++r.short_count;
  } else {
    r.long_sum += us;
    ++r.long_count;
  }
  const double ratio = r.long_mean / r.short_mean;
  if (ratio < MIN_RATIO || ratio > MAX_RATIO) {
    r.long_mean = r.short_mean * (NOMINAL_LONG_US / NOMINAL_SHORT_US);
  }
  r.threshold = (r.short_mean + r.long_mean) / 2;
  return true;
}

// Counts runs of long and short periods; a run of about 40 (or 20) long periods, then as many
// short ones, ended by a long one, is a tape mark. Returns the mark's size, or 0.
int count_runs(PolarityReader& r, int kind, double start) {
  int mark = 0;
  if (kind == PERIOD_LONG) {
    if (r.short_run > 0) {
      const auto near = [](int count, int target) {
        return std::abs(count - target) <= MARK_TOLERANCE;
      };
      if (near(r.prev_long_run, HEADER_MARK) && near(r.short_run, HEADER_MARK)) {
        mark = HEADER_MARK;
      } else if (near(r.prev_long_run, BODY_MARK) && near(r.short_run, BODY_MARK)) {
        mark = BODY_MARK;
      }
      r.short_run = 0;
    }
    if (r.long_run == 0) r.long_run_start = start;
    ++r.long_run;
  } else if (kind == PERIOD_SHORT) {
    if (r.long_run > 0) {
      r.prev_long_run = r.long_run;
      r.prev_long_run_start = r.long_run_start;
      r.long_run = 0;
    }
    ++r.short_run;
  } else {
    r.long_run = r.short_run = r.prev_long_run = 0;
  }
  return mark;
}

// One pulse period of `us` microseconds that ended at `now` seconds.
void on_period(PolarityReader& r, double us, double now) {
  if (r.learned && us < GLITCH_FACTOR * r.short_mean) {
    r.glitch_us = us;  // a spurious crossing: joined to the next period
    return;
  }
  // A product, not a quotient: this runs for every period, noise included.
  constexpr double BINS_PER_US = 1 / HISTOGRAM_BIN_US;
  const auto bin = static_cast<std::size_t>(us * BINS_PER_US);
  if (bin < HISTOGRAM_BINS) ++r.reading.histogram[bin];

  // Gaps: runs of steady periods, ended by a clearly longer one.
  bool gap_end = false;
  if (r.run_count > 0 && std::fabs(us - r.run_mean) < STEADY_TOLERANCE * r.run_mean + r.jitter_us) {
    r.run_mean += (us - r.run_mean) * RUN_WEIGHT;
    ++r.run_count;
  } else {
    const int needed = r.expect != Awaited::NOTHING ? MIN_REPEAT_GAP_RUN : MIN_GAP_RUN;
    // In a block a steady run above the threshold is of long pulses (bytes of ones); outside
    // one it can only be a gap whose short pulses the clusters took for long ones, as when a gap
    // begins at another speed than the block before it ended.
    if (r.run_count >= needed && us > GAP_END_FACTOR * r.run_mean && r.run_mean > MIN_SHORT_US &&
        r.run_mean < MAX_SHORT_US &&
        (!r.learned || r.block == BlockKind::NONE || r.run_mean < r.threshold)) {
      learn_short(r, r.run_mean);
      gap_end = true;
      // The period that ends a gap begins the runs of a tape mark, whatever the gap was taken for.
      r.long_run = r.short_run = r.prev_long_run = 0;
    }
    r.run_mean = us;
    r.run_count = 1;
  }
  if (!r.learned) return;

  int kind = us > r.threshold ? PERIOD_LONG : PERIOD_SHORT;
  if (us > GARBAGE_FACTOR * r.long_mean) kind = PERIOD_GARBAGE;
  // The period is judged by the clusters as they stood before it, then moves them.
  bool suspect = false;
  if (r.block != BlockKind::NONE) {
    ++r.block_periods;
    const double distance = r.long_mean - r.short_mean;
    const double off = std::fabs(us - r.threshold);
    if (off < AMBIGUOUS_BAND * distance) ++r.ambiguous_periods;
    suspect = r.disturbed || off < SUSPECT_BAND * distance || us < FAR_SHORT * r.short_mean ||
              us > FAR_LONG * r.long_mean;
  }
  // Outside blocks only steady runs move the clusters, so that noise cannot; but from a gap's
  // end every period that fits a cluster does, until one does not or a block ends, since the
  // speed may change a lot over the long pulses of a tape mark before a steady run of them is
  // long enough.
  if (gap_end) r.following = true;
  if (r.block != BlockKind::NONE || r.run_count >= MIN_TRACKED_RUN || r.following) {
    if (!track_clusters(r, kind, us)) r.following = false;
  }

  const double start = now - us * 1e-6;
  const int mark = count_runs(r, kind, start);
  if (mark != 0) {
    if (r.block != BlockKind::NONE) end_block(r, false);
    if (mark == HEADER_MARK) {
      header_mark(r, r.prev_long_run_start, now);
    } else {
      body_mark(r, r.prev_long_run_start, now);
    }
    return;
  }
  if (r.block != BlockKind::NONE) {
    block_period(r, kind, suspect, now);
    return;
  }
  if (gap_end && r.expect != Awaited::NOTHING) {
    // The long pulse after a repeat gap is the second copy's first start pulse.
    start_block(r, r.expect == Awaited::HEADER_COPY ? BlockKind::HEADER : BlockKind::BODY, 2, true,
                start);
    r.bit_index = 1;
  }
}

void reset_reader(PolarityReader& r) {
  r.reading.programs.clear();
  r.reading.copies.clear();
  r.reading.verified_blocks = 0;
  std::fill(std::begin(r.reading.histogram), std::end(r.reading.histogram), 0);
  r.reading.short_us = r.reading.long_us = r.reading.threshold_us = 0;
  r.reading.separation = r.reading.speed_percent = 0;
  r.last_crossing = 0;
  r.has_crossing = false;
  r.glitch_us = 0;
  r.disturbed = false;
  r.learned = false;
  r.short_mean = NOMINAL_SHORT_US;
  r.long_mean = NOMINAL_LONG_US;
  r.threshold = (NOMINAL_SHORT_US + NOMINAL_LONG_US) / 2;
  r.run_mean = 0;
  r.run_count = 0;
  r.jitter_us = 0;
  r.following = false;
  r.long_run = r.short_run = r.prev_long_run = 0;
  r.long_run_start = r.prev_long_run_start = 0;
  r.block = BlockKind::NONE;
  r.copy = 1;
  r.speculative = r.extent_length = false;
  r.block_size = 0;
  r.bit_index = 0;
  r.current = 0;
  r.expect = Awaited::NOTHING;
  r.open = r.header_seen = r.body_seen = r.relayed = r.relay_pending = false;
  r.time_seconds = 0;
  for (CopyBuffer& b : r.header_copy) reset_copy(b);
  for (CopyBuffer& b : r.body_copy) reset_copy(b);
  r.relay_verdict = VERDICT_MISSING;
  std::memset(r.relay_header, 0, sizeof r.relay_header);
  for (auto& records : r.copy_record) records[0] = records[1] = -1;
  r.short_sum = r.long_sum = 0;
  r.short_count = r.long_count = r.block_periods = r.ambiguous_periods = 0;
}

// The recording ended at `end_seconds`: inside a copy, or so soon after a first copy that its
// second could not have begun.
void settle_reader(PolarityReader& r, double end_seconds) {
  if (r.block != BlockKind::NONE) {
    current_copy(r).cut_off = true;
    end_block(r, false);
  } else if (r.expect != Awaited::NOTHING) {
    CopyBuffer* copies = r.expect == Awaited::HEADER_COPY ? r.header_copy : r.body_copy;
    copies[1].cut_off = end_seconds - copies[0].end_seconds < SECOND_COPY_WITHIN_SECONDS;
  }
  close_program(r);
  TapeReading& t = r.reading;
  t.short_us = r.short_count > 0 ? r.short_sum / static_cast<double>(r.short_count) : 0;
  t.long_us = r.long_count > 0 ? r.long_sum / static_cast<double>(r.long_count) : 0;
  t.threshold_us = r.learned ? r.threshold : 0;
  if (r.short_count > 0 && r.long_count > 0) t.threshold_us = (t.short_us + t.long_us) / 2;
  if (r.short_count > 0 && r.long_count > 0) {
    const double nominal = NOMINAL_SHORT_US * static_cast<double>(r.short_count) +
                           NOMINAL_LONG_US * static_cast<double>(r.long_count);
    t.speed_percent = (nominal / (r.short_sum + r.long_sum) - 1) * 100;
  } else if (r.short_count > 0) {
    t.speed_percent = (NOMINAL_SHORT_US / t.short_us - 1) * 100;
  }
  t.separation = r.block_periods > 0 ? 1.0 - static_cast<double>(r.ambiguous_periods) /
                                                 static_cast<double>(r.block_periods)
                                     : 0;
}

// A crossing of the comparator at `time` (in samples since the start), ending a period whose
// signal was `disturbed`.
void on_crossing(ChannelReader& s, Polarity polarity, double time, bool disturbed) {
  PolarityReader& r = s.readers[polarity];
  r.jitter_us = s.us_per_sample;
  if (!r.has_crossing) {
    r.has_crossing = true;
    r.last_crossing = time;
    return;
  }
  const double us = (time - r.last_crossing) * s.us_per_sample + r.glitch_us;
  r.disturbed = disturbed || r.glitch_us > 0;
  r.last_crossing = time;
  r.glitch_us = 0;
  on_period(r, us, time * s.us_per_sample * 1e-6);
}

void set_thresholds(ChannelReader& s) {
  const float mid = (s.high_level + s.low_level) * 0.5F;
  const float h = std::max(HYSTERESIS * (s.high_level - s.low_level) * 0.5F, s.min_hysteresis);
  s.upper = mid + h;
  s.lower = mid - h;
}

// Samples beyond this are no audio: clamped, and anything not a number taken as the lowest.
constexpr float SAMPLE_LIMIT = 4.0F;

// Copies one channel's samples out of the interleaved frames. Comparisons written so that a NaN
// fails them: what follows needs finite samples.
void gather(const float* samples, std::size_t n, std::size_t stride, float* out) {
  std::size_t i = 0;
#if defined(__SSE2__) && !defined(MZF_NO_VECTOR)
  // Mono and stereo, the common cases, four samples at a time. The loads never reach past the
  // last sample: a stereo block reads frames i to i + 3 only.
  const __m128 low = _mm_set1_ps(-SAMPLE_LIMIT), high = _mm_set1_ps(SAMPLE_LIMIT);
  const auto clamp = [&](__m128 v) { return _mm_min_ps(_mm_max_ps(v, low), high); };
  if (stride == 1) {
    for (; i + 4 <= n; i += 4) _mm_storeu_ps(out + i, clamp(_mm_loadu_ps(samples + i)));
  } else if (stride == 2) {
    for (; i + 4 < n; i += 4) {
      const __m128 first = _mm_loadu_ps(samples + 2 * i);
      const __m128 second = _mm_loadu_ps(samples + 2 * i + 4);
      _mm_storeu_ps(out + i, clamp(_mm_shuffle_ps(first, second, _MM_SHUFFLE(2, 0, 2, 0))));
    }
  }
#endif
  for (; i < n; ++i) {
    const float x = samples[i * stride];
    const float floor = x > -SAMPLE_LIMIT ? x : -SAMPLE_LIMIT;
    out[i] = floor < SAMPLE_LIMIT ? floor : SAMPLE_LIMIT;
  }
}

// Adds the slice to the channel's level: sum, sum of squares and peak.
void measure_level(ChannelReader& s, const float* x, std::size_t n) {
  // Four independent sums, so that no addition waits for the one before.
  float sum[LANES] = {}, squares[LANES] = {}, peak[LANES] = {};
  std::size_t i = 0;
#if defined(__SSE2__) && !defined(MZF_NO_VECTOR)
  static_assert(LANES == 4);
  // Two vectors of sums each, so that an addition does not wait for the one before.
  __m128 sum_v[2] = {_mm_setzero_ps(), _mm_setzero_ps()};
  __m128 squares_v[2] = {_mm_setzero_ps(), _mm_setzero_ps()};
  __m128 peak_v = _mm_setzero_ps();
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  for (; i + 2 * LANES <= n; i += 2 * LANES) {
    for (std::size_t k = 0; k < 2; ++k) {
      const __m128 v = _mm_loadu_ps(x + i + k * LANES);
      sum_v[k] = _mm_add_ps(sum_v[k], v);
      squares_v[k] = _mm_add_ps(squares_v[k], _mm_mul_ps(v, v));
      peak_v = _mm_max_ps(peak_v, _mm_and_ps(v, magnitude));
    }
  }
  _mm_storeu_ps(sum, _mm_add_ps(sum_v[0], sum_v[1]));
  _mm_storeu_ps(squares, _mm_add_ps(squares_v[0], squares_v[1]));
  _mm_storeu_ps(peak, peak_v);
#else
  for (; i + LANES <= n; i += LANES) {
    for (std::size_t k = 0; k < LANES; ++k) {
      sum[k] += x[i + k];
      squares[k] += x[i + k] * x[i + k];
      peak[k] = std::max(peak[k], std::fabs(x[i + k]));
    }
  }
#endif
  for (; i < n; ++i) {
    sum[0] += x[i];
    squares[0] += x[i] * x[i];
    peak[0] = std::max(peak[0], std::fabs(x[i]));
  }
  for (std::size_t k = 0; k < LANES; ++k) {
    s.level_sum += sum[k];
    s.level_squares += squares[k];
    s.level_peak = std::max(s.level_peak, peak[k]);
  }
}

// The moving average of `TAPS` samples over the slice, which holds TAPS - 1 samples of history
// before the `n` new ones: four at a time where SSE2 is there, added in the same order.
template <int TAPS>
void smooth(const float* slice, std::size_t n, float* smoothed) {
  constexpr float INV = 1.0F / static_cast<float>(TAPS);
  std::size_t i = 0;
#if defined(__SSE2__) && !defined(MZF_NO_VECTOR)
  const __m128 inv = _mm_set1_ps(INV);
  for (; i + 4 <= n; i += 4) {
    __m128 y = _mm_loadu_ps(slice + i);
    for (int k = 1; k < TAPS; ++k) {
      y = _mm_add_ps(y, _mm_loadu_ps(slice + i + static_cast<std::size_t>(k)));
    }
    _mm_storeu_ps(smoothed + i, _mm_mul_ps(y, inv));
  }
#endif
  for (; i < n; ++i) {
    float y = slice[i];
    for (int k = 1; k < TAPS; ++k) y += slice[i + static_cast<std::size_t>(k)];
    smoothed[i] = y * INV;
  }
}

// Finds the first of the smoothed samples y[i, end) that crosses `level` (falls below it when
// HIGH, rises above it otherwise) and returns its index, or `end`. The samples before it are
// folded into the half cycle's extremes. Between two crossings the thresholds do not change, so
// the search can take four samples at a time; the comparisons are those of the scalar loop.
template <bool HIGH>
std::size_t find_crossing(const float* y, std::size_t i, std::size_t end, float level,
                          float& cycle_max, float& cycle_min) {
  const auto crosses = [level](float v) { return HIGH ? v < level : v > level; };
#if defined(__SSE2__) && !defined(MZF_NO_VECTOR)
  if (i + 4 <= end) {
    const __m128 level_v = _mm_set1_ps(level);
    __m128 high_v = _mm_set1_ps(cycle_max), low_v = _mm_set1_ps(cycle_min);
    for (; i + 4 <= end; i += 4) {
      const __m128 v = _mm_loadu_ps(y + i);
      const int crossed =
          _mm_movemask_ps(HIGH ? _mm_cmplt_ps(v, level_v) : _mm_cmpgt_ps(v, level_v));
      if (crossed != 0) {
        end = i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(crossed)));
        break;
      }
      high_v = _mm_max_ps(high_v, v);
      low_v = _mm_min_ps(low_v, v);
    }
    float highs[4], lows[4];
    _mm_storeu_ps(highs, high_v);
    _mm_storeu_ps(lows, low_v);
    cycle_max = std::max(std::max(highs[0], highs[1]), std::max(highs[2], highs[3]));
    cycle_min = std::min(std::min(lows[0], lows[1]), std::min(lows[2], lows[3]));
  }
#endif
  for (; i < end; ++i) {
    if (crosses(y[i])) return i;
    cycle_max = std::max(cycle_max, y[i]);
    cycle_min = std::min(cycle_min, y[i]);
  }
  return end;
}

// The comparator over `n` smoothed samples. Between events (a crossing, or the levels relaxing
// after a long time without one) it only searches; each event then runs on its own.
void run_front_end(ChannelReader& s, const float* smoothed, std::size_t n) {
  const auto base = static_cast<std::int64_t>(s.sample_count);
  float cycle_max = s.cycle_max, cycle_min = s.cycle_min;
  std::int64_t relax_at = s.last_crossing_index + s.silence_limit;
  std::size_t i = 0;
  while (i < n) {
    // Right after a crossing the samples only shape the half cycle's extremes.
    const std::int64_t quiet_end = s.quiet_until + 1 - base;
    if (quiet_end > static_cast<std::int64_t>(i)) {
      const std::size_t stop = std::min(n, static_cast<std::size_t>(quiet_end));
      for (; i < stop; ++i) {
        cycle_max = std::max(cycle_max, smoothed[i]);
        cycle_min = std::min(cycle_min, smoothed[i]);
      }
      if (i == n) break;
    }
    // The levels relax at the first sample past relax_at, unless that sample crosses.
    const std::int64_t relax_from = relax_at + 1 - base;
    const std::size_t end = relax_from <= static_cast<std::int64_t>(i)
                                ? i
                                : std::min(n, static_cast<std::size_t>(relax_from));
    const std::size_t j =
        s.high ? find_crossing<true>(smoothed, i, end, s.lower, cycle_max, cycle_min)
               : find_crossing<false>(smoothed, i, end, s.upper, cycle_max, cycle_min);
    if (j == n) break;
    const float y = smoothed[j];
    const float previous = j > 0 ? smoothed[j - 1] : s.previous;
    cycle_max = std::max(cycle_max, y);
    cycle_min = std::min(cycle_min, y);
    const std::int64_t index = base + static_cast<std::int64_t>(j);
    if (s.high ? y < s.lower : y > s.upper) {
      const float level = s.high ? s.lower : s.upper;
      const float fraction = std::clamp((level - previous) / (y - previous), 0.0F, 1.0F);
      const double time = static_cast<double>(index - 1) + static_cast<double>(fraction);
      // The half cycle that ends here, and the one before it, make the period that ends here.
      const float mid = (s.high_level + s.low_level) * 0.5F;
      const float reach = s.high ? cycle_max - mid : mid - cycle_min;
      const bool weak = !(reach >= WEAK_HALF * (s.high_level - s.low_level) * 0.5F);
      const double half_us = (time - s.last_crossing_time) * s.us_per_sample;
      const bool lopsided = std::fabs(half_us - s.half_us) > LOPSIDED * (half_us + s.half_us);
      const bool disturbed = weak || s.half_weak || lopsided;
      s.half_us = half_us;
      s.half_weak = weak;
      s.last_crossing_time = time;
      if (s.high) {
        s.high_level += (cycle_max - s.high_level) * LEVEL_WEIGHT;
      } else {
        s.low_level += (cycle_min - s.low_level) * LEVEL_WEIGHT;
      }
      s.high = !s.high;
      cycle_max = cycle_min = y;
      set_thresholds(s);
      s.last_crossing_index = index;
      s.quiet_until = index + s.holdoff;
      relax_at = index + s.silence_limit;
      on_crossing(s, s.high ? POLARITY_RISING : POLARITY_FALLING, time, disturbed);
    } else {
      // No crossing for a long time: let the levels come in towards what is there now.
      const float mid = (s.high_level + s.low_level) * 0.5F;
      s.high_level = std::max(cycle_max, mid + (s.high_level - mid) * RELAX_FACTOR);
      s.low_level = std::min(cycle_min, mid - (mid - s.low_level) * RELAX_FACTOR);
      cycle_max = cycle_min = y;
      set_thresholds(s);
      relax_at = index + s.silence_limit;
    }
    i = j + 1;
  }
  if (n > 0) s.previous = smoothed[n - 1];
  s.cycle_max = cycle_max;
  s.cycle_min = cycle_min;
  s.last_crossing_index = relax_at - s.silence_limit;
}

}  // namespace

void channel_reader_init(ChannelReader& s, double sample_rate) {
  s.sample_rate = sample_rate;
  s.us_per_sample = 1e6 / sample_rate;
  s.taps = std::clamp(static_cast<int>(std::lround(SMOOTHING_US / s.us_per_sample)), 1,
                      MAX_SMOOTHING_TAPS);
  s.level_sum = s.level_squares = 0;
  s.level_peak = 0;
  s.sample_count = 0;
  std::fill(std::begin(s.history), std::end(s.history), 0.0F);
  s.previous = 0;
  s.high = false;
  s.high_level = s.low_level = 0;
  s.cycle_max = s.cycle_min = 0;
  s.min_hysteresis = MIN_HYSTERESIS;
  s.last_crossing_index = 0;
  s.silence_limit = std::max<std::int64_t>(1, std::llround(SILENCE_US / s.us_per_sample));
  s.holdoff = static_cast<std::int64_t>(HOLDOFF_US / s.us_per_sample) - 1;
  s.quiet_until = -1;
  s.last_crossing_time = 0;
  s.half_us = 0;
  s.half_weak = false;
  set_thresholds(s);
  for (PolarityReader& r : s.readers) reset_reader(r);
}

void channel_reader_feed(ChannelReader& s, const float* samples, std::size_t count,
                         std::size_t stride) {
  const auto history = static_cast<std::size_t>(s.taps - 1);
  while (count > 0) {
    const std::size_t n = std::min(count, SCAN_SLICE);
    std::copy_n(s.history, history, s.slice);
    float* fresh = s.slice + history;
    gather(samples, n, stride, fresh);
    measure_level(s, fresh, n);
    switch (s.taps) {
      case 1: smooth<1>(s.slice, n, s.smoothed); break;
      case 2: smooth<2>(s.slice, n, s.smoothed); break;
      case 3: smooth<3>(s.slice, n, s.smoothed); break;
      case 4: smooth<4>(s.slice, n, s.smoothed); break;
      case 5: smooth<5>(s.slice, n, s.smoothed); break;
      case 6: smooth<6>(s.slice, n, s.smoothed); break;
      case 7: smooth<7>(s.slice, n, s.smoothed); break;
      default: smooth<8>(s.slice, n, s.smoothed); break;
    }
    run_front_end(s, s.smoothed, n);
    std::copy_n(s.slice + n, history, s.history);
    s.sample_count += n;
    count -= n;
    if (count > 0) samples += n * stride;
  }
}

void channel_reader_finish(ChannelReader& s) {
  const double end_seconds = static_cast<double>(s.sample_count) / s.sample_rate;
  for (PolarityReader& r : s.readers) settle_reader(r, end_seconds);
}

const TapeReading& channel_reader_reading(const ChannelReader& s, Polarity polarity) {
  return s.readers[polarity == POLARITY_RISING ? 1 : 0].reading;
}

SignalLevel channel_reader_level(const ChannelReader& s) {
  if (s.sample_count == 0) return SignalLevel{0, 0, 0};
  const auto n = static_cast<double>(s.sample_count);
  return SignalLevel{s.level_peak, std::sqrt(s.level_squares / n), s.level_sum / n};
}

CopyView CopyEvidence::view() const {
  CopyView v{bytes.data(), static_cast<std::uint32_t>(bytes.size()),
             attempted,    complete,
             verified,     nullptr,
             nullptr};
  if (!suspect.empty()) v.suspect = suspect.data();
  if (!disturbed.empty()) v.disturbed = disturbed.data();
  return v;
}

bool verdict_verified(int verdict) {
  return verdict == VERDICT_OK || verdict == VERDICT_COPY || verdict == VERDICT_JOINED;
}

bool byte_marked(const std::uint64_t* bits, std::uint32_t index) {
  return bits != nullptr && index < BLOCK_CAPACITY && (bits[index / 64] >> (index % 64) & 1) != 0;
}

bool suspect_byte(const CopyView& copy, std::uint32_t index) {
  return byte_marked(copy.suspect, index);
}

bool disturbed_byte(const CopyView& copy, std::uint32_t index) {
  return byte_marked(copy.disturbed, index);
}

bool copy_borne_out(const CopyView& x, const CopyView& y) {
  if (!y.attempted) return true;
  const std::uint32_t n = std::min(x.count, y.count);
  std::uint32_t unexplained = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (x.bytes[i] == y.bytes[i]) continue;
    if (suspect_byte(x, i)) return false;
    if (!suspect_byte(y, i)) ++unexplained;
  }
  return unexplained == 0 || (unexplained == 1 && y.complete && !y.verified);
}

PulseShares pulse_shares(const TapeReading& t) {
  PulseShares shares{};
  for (int bin = 0; bin < HISTOGRAM_BINS; ++bin) {
    const double us = (bin + 0.5) * HISTOGRAM_BIN_US;
    const std::uint64_t n = t.histogram[bin];
    shares.total += n;
    if (std::fabs(us - NOMINAL_SHORT_US) <= NOMINAL_SHORT_US * PULSE_LIKE) shares.short_like += n;
    if (std::fabs(us - NOMINAL_LONG_US) <= NOMINAL_LONG_US * PULSE_LIKE) shares.long_like += n;
  }
  return shares;
}

void check_body_length(ScannedProgram& p) {
  if (verdict_verified(p.header_verdict) && verdict_verified(p.body_verdict) &&
      p.body.size() != mzf::header_word(p.header, BODY_LENGTH_OFFSET)) {
    p.body_verdict = VERDICT_DAMAGED;
  }
}

std::int64_t first_unconfirmed(const CopyView& x, const CopyView& y) {
  if (x.disturbed == nullptr) return -1;
  for (std::uint32_t w = 0; w < SUSPECT_WORDS && w * 64 < x.count; ++w) {
    for (std::uint64_t bits = x.disturbed[w]; bits != 0; bits &= bits - 1) {
      const std::uint32_t i = w * 64 + static_cast<std::uint32_t>(std::countr_zero(bits));
      if (i >= x.count) break;
      if (i >= y.count || y.bytes[i] != x.bytes[i]) return i;
    }
  }
  return -1;
}

BlockDecision decide_block(const CopyView& first, const CopyView& second) {
  const auto taken = [](const CopyView& x, const CopyView& y) {
    return x.verified && copy_borne_out(x, y) && first_unconfirmed(x, y) < 0;
  };
  if (taken(first, second)) return {VERDICT_OK, 0};
  if (taken(second, first)) return {VERDICT_COPY, 1};
  if ((first.verified && !copy_borne_out(first, second)) ||
      (second.verified && !copy_borne_out(second, first))) {
    return {VERDICT_CONFLICT, -1};
  }
  if (first.attempted || second.attempted) return {VERDICT_DAMAGED, -1};
  return {VERDICT_MISSING, -1};
}

namespace {

// The share of the pulses seen whose lengths are like this format's (see pulse_shares()).
double tape_like_share(const TapeReading& t) {
  const PulseShares shares = pulse_shares(t);
  return shares.total > 0 ? static_cast<double>(shares.short_like + shares.long_like) /
                                static_cast<double>(shares.total)
                          : 0;
}

}  // namespace

bool better_reading(const TapeReading& a, const TapeReading& b) {
  if (a.verified_blocks != b.verified_blocks) return a.verified_blocks > b.verified_blocks;
  return a.separation > b.separation;
}

bool better_channel_reading(const TapeReading& a, const TapeReading& b) {
  // Where neither verified anything (a tape in deep noise beside a channel of noise alone), the
  // one whose pulses look like a tape's, when clearly so: the second reading reads only it.
  if (a.verified_blocks == 0 && b.verified_blocks == 0) {
    const double share_a = tape_like_share(a), share_b = tape_like_share(b);
    if (std::fabs(share_a - share_b) > CLEARLY_TAPE_LIKE) return share_a > share_b;
  }
  return better_reading(a, b);
}

}  // namespace mzfscan
