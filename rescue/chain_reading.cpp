#include "rescue/chain_reading.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "format/tape_format.h"

namespace mzfscan {

namespace {

using mzf::CHECKSUM_SIZE;
using mzf::HEADER_BLOCK_SIZE;

// Gap pulses taken in before a copy's start, and long pulses' worth after its last byte.
constexpr double LEAD_SHORTS = 10;
constexpr double TRAIL_LONGS = 20;
constexpr double DURATION_MARGIN = 1.05;  // on a copy's length if all its pulses were long
// The longest stretch read for a copy whose block's size is not known yet.
constexpr double MAX_SEARCH_SECONDS = 180;
// A second copy the first reading placed this many short pulses from where it should follow the
// first is read again from there.
constexpr double MISPLACED_SHORTS = 32;

// The bytes a copy of `block` of `p` holds, checksum included; 0 when not known.
std::size_t block_bytes(const ScannedProgram& p, int block) {
  if (block == 0) return HEADER_BLOCK_SIZE;
  if (!verdict_verified(p.header_verdict)) return 0;
  return mzf::header_word(p.header, mzf::BODY_LENGTH_OFFSET) + CHECKSUM_SIZE;
}

// Where a header lies before its body, at nominal speed: its copies end the body's gap, mark and
// separator before the body, and take at most two longest copies and the gap between them.
constexpr double BODY_LEAD_US = mzf::SHORT_GAP_PULSES * mzf::SHORT_PULSE_US +
                                mzf::BODY_MARK_PULSES * (mzf::LONG_PULSE_US + mzf::SHORT_PULSE_US) +
                                2 * mzf::LONG_PULSE_US;
constexpr double HEADER_COPIES_MAX_US =
    2 * HEADER_BLOCK_SIZE * 9 * mzf::LONG_PULSE_US + mzf::COPY_GAP_PULSES * mzf::SHORT_PULSE_US;
constexpr double HEADER_MARK_US =
    mzf::HEADER_MARK_PULSES * (mzf::LONG_PULSE_US + mzf::SHORT_PULSE_US);
// After a header's mark, no other is looked for this long (the next program's comes after this
// one's header copies, the gap and mark before its body, its body and a long gap).
constexpr double MARK_QUIET_SECONDS = 10;
// A mark this close to where the first reading has one is that program's.
constexpr double KNOWN_MARK_SECONDS = 0.75;
// A copy searched for by its mark is measured on this many seconds from its stretch's start.
constexpr double SEARCH_MEASURE_SECONDS = 4;
// A body's mark is looked for this long before and after it is due.
constexpr double BODY_DUE_SECONDS = 0.4;
// A header's search begins this long before its mark ends.
constexpr double MARK_LEAD_SECONDS = 0.12;
// A header's mark lies at most this long before its body.
constexpr double HEADER_BEFORE_BODY_SECONDS =
    (BODY_LEAD_US + HEADER_COPIES_MAX_US + HEADER_MARK_US) * 1.2e-6;
// Long pulses of a tape mark the search for it matches.
constexpr int MARK_MATCHED = 12;

// Adds to `into` a search for both copies of block `block` (`size` bytes) of program `program`
// in prepared samples [from, to): a stretch read as the first copy from its mark, and an empty
// one for the second copy, only ever read from where the first ends (see decode_region()).
void add_search(std::vector<ChainRegion>& into, const ChainReading& reading, int program, int block,
                std::size_t size, std::int64_t from, std::int64_t to) {
  ChainRegion r;
  r.program = program;
  r.block = block;
  r.from = from;
  r.to = to;
  r.max_bytes = size;
  r.size_known = true;
  r.search = true;
  r.short_period = reading.short_period;
  r.long_period = reading.long_period;
  ChainRegion second = r;
  second.copy = 1;
  second.from = second.to;
  second.search = false;
  second.decoded = true;
  into.push_back(std::move(r));
  into.push_back(std::move(second));
}

// Plans a search for the header copies of program `index`, whose body the first reading found
// but not its header: a stretch that holds the header's tape mark and both copies, read as the
// first copy from the mark, and an empty one for the second copy, read from where the first ends.
void plan_header_search(ChainReading& reading, const ScannedProgram& p, int index, double speed) {
  const double body = p.copies[1][0].start_seconds;
  if (body < 0) return;
  const double from =
      body - (BODY_LEAD_US + HEADER_COPIES_MAX_US + HEADER_MARK_US) * 1.1e-6 / speed;
  const double to = body - BODY_LEAD_US * 0.98e-6 / speed;
  if (from < 0 || to <= from) return;
  add_search(reading.regions, reading, index, 0, HEADER_BLOCK_SIZE,
             std::llround(from * reading.rate), std::llround(to * reading.rate));
}

// Plans a search for the body (`size` bytes) of program `program`, found by its header's mark,
// whose header's second copy ends at prepared sample `header_end`: a stretch from a little before
// the body's mark is due that holds both copies, and an empty one for the second copy.
void plan_found_body(ChainReading& reading, int program, std::size_t size, double header_end) {
  const double due = header_end + BODY_LEAD_US * 1e-6 * reading.rate;
  const double span = (2 * static_cast<double>(size) * 9 * reading.long_period +
                       mzf::COPY_GAP_PULSES * reading.short_period) *
                          DURATION_MARGIN +
                      TRAIL_LONGS * reading.long_period;
  add_search(reading.pending, reading, program, 1, size,
             std::llround(due - BODY_DUE_SECONDS * reading.rate), std::llround(due + span));
}

// Where the second copy of the verified header of `p` ends, in seconds, from the header's bytes
// (every pulse's length) and where a copy of it began; -1 when no copy's start is known.
double header_end_seconds(const ScannedProgram& p, double speed) {
  std::uint8_t block[HEADER_BLOCK_SIZE];
  std::memcpy(block, p.header, mzf::HEADER_SIZE);
  const std::uint16_t sum = mzf::ones_checksum(p.header, mzf::HEADER_SIZE);
  block[mzf::HEADER_SIZE] = static_cast<std::uint8_t>(sum >> 8);
  block[mzf::HEADER_SIZE + 1] = static_cast<std::uint8_t>(sum & 0xFF);
  double copy_us = mzf::LONG_PULSE_US;  // its closing long pulse
  for (const std::uint8_t b : block) {
    const int ones = std::popcount(b);
    copy_us += mzf::LONG_PULSE_US * (1 + ones) + mzf::SHORT_PULSE_US * (8 - ones);
  }
  const double gap_us = mzf::COPY_GAP_PULSES * mzf::SHORT_PULSE_US;
  if (p.copies[0][0].start_seconds >= 0) {
    return p.copies[0][0].start_seconds + (2 * copy_us + gap_us) * 1e-6 / speed;
  }
  if (p.copies[0][1].start_seconds >= 0) {
    return p.copies[0][1].start_seconds + copy_us * 1e-6 / speed;
  }
  return -1;
}

// Plans a search for the body of program `index`, whose header the first reading verified,
// after where its header ends; false when that is not known.
bool plan_body_after_header(ChainReading& reading, const ScannedProgram& p, int index,
                            double speed) {
  const double end = header_end_seconds(p, speed);
  if (end < 0) return false;
  const std::size_t size = mzf::header_word(p.header, mzf::BODY_LENGTH_OFFSET) + CHECKSUM_SIZE;
  plan_found_body(reading, index, size, end * reading.rate);
  return true;
}

// Where the copy after a tape mark of `shorts` short pulses begins in the chain's samples: the
// sample after the long separator that, with the mark's short pulses and MARK_MATCHED of its
// long ones before it, matches best; -1 when none matches.
double find_mark(const ChainWork& chain, int shorts) {
  const std::uint8_t* x = chain.chain_samples;
  const std::size_t count = chain.chain_count;
  const double s = chain.short_mean, l = chain.long_mean;
  const double span = MARK_MATCHED * l + shorts * s + l;
  if (x == nullptr || !(s > 1) || static_cast<double>(count) < span + 2) return -1;
  // In doubles, exact for these integers (as are the totals below, far under 2^53).
  std::vector<double> sums(count + 1, 0);
  for (std::size_t i = 0; i < count; ++i) sums[i + 1] = sums[i] + (static_cast<int>(x[i]) - 128);
  // The mark's correlation with its pulses' halves ending at `end`, as prefix sums at offsets
  // before `end`, each with its weight: (end of a pulse) - 2 (its middle) + (its start).
  constexpr double SHORT_LOW = mzf::SHORT_FIRST_US / mzf::SHORT_PULSE_US;
  constexpr double LONG_LOW = mzf::LONG_FIRST_US / mzf::LONG_PULSE_US;
  const auto last = static_cast<std::size_t>(std::lround(span)) + 1;
  std::vector<int> weights(last + 1, 0);  // by samples before `end`
  const auto add = [&](double from_end, double length, double low_share) {
    weights[static_cast<std::size_t>(std::lround(from_end))] += 1;
    weights[static_cast<std::size_t>(std::lround(from_end + length * (1 - low_share)))] -= 2;
    weights[static_cast<std::size_t>(std::lround(from_end + length))] += 1;
  };
  double back = 0;  // how far before `end` the pulse being added ends
  add(back, l, LONG_LOW);
  back += l;
  for (int i = 0; i < shorts; ++i, back += s) add(back, s, SHORT_LOW);
  for (int i = 0; i < MARK_MATCHED; ++i, back += l) add(back, l, LONG_LOW);
  std::vector<std::pair<std::size_t, int>> terms;
  for (std::size_t k = 0; k <= last; ++k) {
    if (weights[k] != 0) terms.emplace_back(k, weights[k]);
  }
  // The totals of every end, term by term: the loops run several ends at a time.
  const std::size_t ends = count - last;
  std::vector<double> totals(ends, 0);
  for (const auto& [before, weight] : terms) {
    const double w = weight;
    const double* at = sums.data() + (last - before);
    for (std::size_t i = 0; i < ends; ++i) totals[i] += w * at[i];
  }
  double best = 0;
  std::size_t where = 0;
  for (std::size_t i = 0; i < ends; ++i) {
    if (totals[i] > best) {
      best = totals[i];
      where = last + i;
    }
  }
  return where == 0 ? -1 : static_cast<double>(where * chain.factor);
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
  reading.planned = static_cast<int>(programs.size());
  reading.found_seconds.clear();
  reading.known.clear();
  reading.body_hint.clear();
  reading.pending.clear();
  // Where the first reading's programs have their header's mark: at their header's first copy
  // or their start, or, when no header copy was found, before their body (the header is then
  // looked for there as planned below).
  for (const ScannedProgram& p : programs) {
    reading.known.push_back(p.time_seconds);
    reading.known.push_back(p.copies[0][0].start_seconds);
    if (p.copies[0][0].start_seconds < 0 && p.copies[0][1].start_seconds < 0 &&
        p.copies[1][0].start_seconds >= 0) {
      for (double before = 0; before < HEADER_BEFORE_BODY_SECONDS; before += 0.5) {
        reading.known.push_back(p.copies[1][0].start_seconds - before);
      }
    }
    reading.body_hint.push_back(p.copies[1][0].start_seconds);
  }
  for (std::size_t index = 0; index < programs.size(); ++index) {
    const ScannedProgram& p = programs[index];
    for (int block = 0; block < 2; ++block) {
      // A body verified while its header was not is read too: its length is not known to be
      // the header's (see check_body_length()).
      if (verdict_verified(block == 0 ? p.header_verdict : p.body_verdict) &&
          (block == 0 || p.relayed || verdict_verified(p.header_verdict))) {
        continue;
      }
      if (block == 0 && p.relayed) continue;
      if (block == 0 && p.copies[0][0].start_seconds < 0 && p.copies[0][1].start_seconds < 0) {
        plan_header_search(reading, p, static_cast<int>(index), speed);
        continue;
      }
      // A body of a verified header that the first reading found nowhere, or only well after
      // where it follows the header (a later program's), is looked for after the header. (One
      // found earlier is kept: gaps may be shorter than the standard one.)
      if (block == 1 && verdict_verified(p.header_verdict) && !p.relayed) {
        const double end = header_end_seconds(p, speed);
        const double due = end + BODY_LEAD_US * 1e-6 / speed;
        const double found = p.copies[1][0].start_seconds >= 0 ? p.copies[1][0].start_seconds
                                                               : p.copies[1][1].start_seconds;
        if (end >= 0 && (found < 0 || found > due + 2 * BODY_DUE_SECONDS) &&
            plan_body_after_header(reading, p, static_cast<int>(index), speed)) {
          continue;
        }
      }
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
        // Neither the size nor the second copy is known: the first copy's stretch reaches to the
        // next program, so that both copies can be read once the header gives the size.
        const double start = p.copies[block][0].start_seconds;
        if (start < 0) continue;
        double after = start + MAX_SEARCH_SECONDS;
        if (index + 1 < programs.size()) {
          const ScannedProgram& next = programs[index + 1];
          if (next.time_seconds > start) after = std::min(after, next.time_seconds);
          for (const auto& copies : next.copies) {
            for (const CopyRecord& c : copies) {
              if (c.start_seconds > start) after = std::min(after, c.start_seconds);
            }
          }
        }
        span = (after - start) * rate;
      }
      // When the second copy was not found where it follows the first, the first copy's
      // stretch holds both, so that the second can be read from where the first ends.
      double first_span = span;
      const double gap = mzf::COPY_GAP_PULSES * reading.short_period;
      const double second = p.copies[block][1].start_seconds;
      const double first = p.copies[block][0].start_seconds;
      if (size > 0 && (second < 0 || (second - first) * rate > (span + gap) * DURATION_MARGIN)) {
        first_span = 2 * span + gap;
      }
      for (int copy = 0; copy < 2; ++copy) {
        const double start = p.copies[block][copy].start_seconds;
        if (start < 0) continue;
        ChainRegion r;
        r.program = static_cast<int>(index);
        r.block = block;
        r.copy = copy;
        r.copy_seconds = start;
        r.from = std::max<std::int64_t>(
            0, std::llround(start * rate - LEAD_SHORTS * reading.short_period));
        r.to = std::llround(start * rate + (copy == 0 ? first_span : span) +
                            TRAIL_LONGS * reading.long_period);
        r.max_bytes = size > 0 ? size : mzf::MAX_BODY_LENGTH + CHECKSUM_SIZE;
        r.size_known = size > 0;
        r.short_period = reading.short_period;
        r.long_period = reading.long_period;
        reading.regions.push_back(std::move(r));
      }
      if (p.copies[block][1].start_seconds < 0 && p.copies[block][0].start_seconds >= 0) {
        // The second copy, not found: read from where the first ends (see decode_region()).
        ChainRegion r = reading.regions.back();
        r.copy = 1;
        r.copy_seconds = -1;
        r.from = r.to;
        r.decoded = true;
        reading.regions.push_back(std::move(r));
      }
    }
  }
  std::sort(reading.regions.begin(), reading.regions.end(),
            [](const ChainRegion& a, const ChainRegion& b) { return a.from < b.from; });
}

namespace {

// The size of the body of program `program` from the soft readings of its header's copies read
// so far, when they decide the header; 0 when they do not.
std::size_t header_body_size(const ChainReading& reading, int program) {
  std::vector<std::vector<float>> copies(2);
  for (const ChainRegion& h : reading.regions) {
    if (h.program == program && h.block == 0) copies[static_cast<std::size_t>(h.copy)] = h.llr;
  }
  SoftDecision header;
  if (!soft_decide(copies, HEADER_BLOCK_SIZE, &header)) return 0;
  return mzf::header_word(header.bytes.data(), mzf::BODY_LENGTH_OFFSET) + CHECKSUM_SIZE;
}

// What read_copy() found: where the copy's soft reading ends (the second copy's, when it was read
// from there), in the region's samples (-1: not read), and whether the second copy was.
struct CopyRead {
  double end = -1;
  bool both_read = false;
};

// Decodes the copy of region `r` and reads it softly when `size` (its block's bytes) is known.
// When `r` holds a first copy and `second` (the program's second copy of the block) was placed
// elsewhere than where it follows the first, the second is read from where the first ends, when
// this stretch holds it, into `second`. Touches nothing but `r`, `second` and the work spaces.
CopyRead read_copy(ChainRegion& r, ChainRegion* second, std::size_t size, double rate,
                   ChainWork& work, SoftWork& soft) {
  CopyRead read;
  double& end = read.end;
  double start = r.copy_seconds * rate - static_cast<double>(r.from);
  std::vector<float> llr;
  SoftStats stats;
  bool measured = false;
  ChainCopy copy{start, r.short_period, r.long_period, r.copy == 0};
  if (r.search) {
    // The copy's pulses are measured, and its mark found, on a stretch at the start that holds
    // the mark and the copy's first bytes; the copy is then read over the whole stretch.
    const std::size_t prefix =
        std::min(r.samples.size(), static_cast<std::size_t>(SEARCH_MEASURE_SECONDS * rate));
    copy.start = 0;
    decode_chain(r.samples.data(), prefix, copy, r.max_bytes, work, &r.bytes, &r.weak);
    start = find_mark(work, r.block == 0 ? mzf::HEADER_MARK_PULSES : mzf::BODY_MARK_PULSES);
    measured = soft_measure(work, &stats);
    if (start >= 0 && measured && size > 0) {
      average_samples(r.samples.data(), r.samples.size(), stats.factor, &soft.averaged);
      soft_read_copy(soft.averaged.data(), soft.averaged.size(), stats, start, r.copy == 0, size,
                     soft, &llr, &end);
    }
  } else {
    decode_chain(r.samples.data(), r.samples.size(), copy, r.max_bytes, work, &r.bytes, &r.weak);
    measured = soft_measure(work, &stats);
    if (measured && size > 0) {
      soft_read_copy(work.chain_samples, work.chain_count, stats, start, r.copy == 0, size, soft,
                     &llr, &end);
    }
  }
  if (!r.placed) r.llr = std::move(llr);
  // The second copy follows the first after a gap of short pulses. Where the first reading
  // placed it elsewhere, it is read from where the first copy's soft reading ends, when this
  // stretch holds it.
  if (r.copy == 0 && end > 0 && measured && second != nullptr) {
    const double gap =
        mzf::COPY_GAP_PULSES * stats.short_period * static_cast<double>(stats.factor);
    const double expected = end + gap;
    const double placed = second->copy_seconds * rate - static_cast<double>(r.from);
    if ((second->copy_seconds < 0 ||
         std::fabs(placed - expected) > MISPLACED_SHORTS * r.short_period) &&
        expected < static_cast<double>(r.samples.size())) {
      // Read as measured on the first copy.
      const auto from =
          static_cast<std::size_t>(std::max(0.0, expected - LEAD_SHORTS * r.short_period));
      average_samples(r.samples.data() + from, r.samples.size() - from, stats.factor,
                      &soft.averaged);
      std::vector<float> found;
      double second_end = -1;
      if (soft_read_copy(soft.averaged.data(), soft.averaged.size(), stats,
                         expected - static_cast<double>(from), false, size, soft, &found,
                         &second_end)) {
        second->llr = std::move(found);
        second->placed = true;
        end = static_cast<double>(from) + second_end;
        read.both_read = true;
      }
    }
  }
  return read;
}

// The program's second copy of the block of region `r`, when `r` holds a first copy of a
// program's block; null otherwise.
ChainRegion* second_copy(ChainReading& reading, const ChainRegion& r) {
  if (r.copy != 0 || r.program < 0) return nullptr;
  const auto second =
      std::find_if(reading.regions.begin(), reading.regions.end(), [&](const ChainRegion& q) {
        return q.program == r.program && q.block == r.block && q.copy == 1;
      });
  return second == reading.regions.end() ? nullptr : &*second;
}

// The bytes of the block of region `r`: its own size, or a body's from its header's soft
// readings so far; 0 when not known.
std::size_t region_size(const ChainReading& reading, const ChainRegion& r) {
  std::size_t size = r.size_known ? r.max_bytes : 0;
  if (size == 0 && r.block == 1 && r.program >= 0) size = header_body_size(reading, r.program);
  return size;
}

// Reads region `r` (see decode_region()).
void read_region(ChainReading& reading, ChainRegion& r) {
  const CopyRead read = read_copy(r, second_copy(reading, r), region_size(reading, r), reading.rate,
                                  reading.work, reading.soft);
  const double end = read.end;
  const bool both_read = read.both_read;
  // A program found by its header's mark: once the header is known, its body is looked for
  // after the gap that follows the header's second copy.
  // So is the body of a program of the first reading whose body it found nowhere, or only well
  // after where it follows the header.
  // The header's second copy has been read here when it was placed after the first, or when
  // this is its own stretch.
  const bool second_read = (r.copy == 0 && both_read) || (r.copy == 1 && !r.placed && end > 0);
  if (r.block == 0 && r.program >= 0 && second_read) {
    const double due = (static_cast<double>(r.from) + end) / reading.rate + BODY_LEAD_US * 1e-6;
    const bool found_here = r.program >= reading.planned;
    const double hint = found_here ? -1 : reading.body_hint[static_cast<std::size_t>(r.program)];
    const std::size_t body_size = found_here || hint < 0 || hint > due + 2 * BODY_DUE_SECONDS
                                      ? header_body_size(reading, r.program)
                                      : 0;
    if (body_size > 0) {
      // The first reading's regions for that body hold something else.
      for (ChainRegion& q : reading.regions) {
        if (q.program == r.program && q.block == 1) {
          q.program = ORPHANED;
          q.decoded = true;
          q.samples = std::vector<std::uint8_t>();
        }
      }
      plan_found_body(reading, r.program, body_size, static_cast<double>(r.from) + end);
    }
  }
}

void invert(std::vector<std::uint8_t>& samples) {
  for (std::uint8_t& x : samples) x = static_cast<std::uint8_t>(255 - x);
}

// Jobs begun and not taken back, at most; more wait for the oldest.
constexpr std::size_t MAX_JOBS = 4;
// A body larger than this is read in line, alone: its scores need a great deal of memory.
constexpr std::size_t LARGEST_JOB_BYTES = 16384;
// take_back() of every job.
constexpr int EVERY_PROGRAM = -3;

// Takes back the results of the oldest job, once it has finished.
void take_back_oldest(ChainReading& reading) {
  ChainJob& job = *reading.jobs.front();
  reading.wait(job);
  const auto region = std::find_if(reading.regions.begin(), reading.regions.end(),
                                   [&](const ChainRegion& q) { return q.id == job.id; });
  region->bytes = std::move(job.region.bytes);
  region->weak = std::move(job.region.weak);
  // A second copy its first copy's job placed keeps that reading, as in line.
  if (!region->placed) region->llr = std::move(job.region.llr);
  ChainRegion* second = second_copy(reading, *region);
  if (job.second.placed && second != nullptr) {
    second->llr = std::move(job.second.llr);
    second->placed = true;
  }
  reading.jobs.pop_front();
}

// Takes back the jobs begun, oldest first, up to the last of program `program`'s (or every job:
// EVERY_PROGRAM).
void take_back(ChainReading& reading, int program) {
  std::size_t upto = 0;
  for (std::size_t i = 0; i < reading.jobs.size(); ++i) {
    if (program == EVERY_PROGRAM || reading.jobs[i]->region.program == program) upto = i + 1;
  }
  for (; upto > 0; --upto) take_back_oldest(reading);
}

// Begins the reading of body region `r` apart (see ChainJob).
void begin_job(ChainReading& reading, ChainRegion& r) {
  if (reading.jobs.size() >= MAX_JOBS) take_back_oldest(reading);
  auto job = std::make_unique<ChainJob>();
  if (r.id == 0) r.id = ++reading.last_id;
  job->id = r.id;
  job->size = region_size(reading, r);
  std::vector<std::uint8_t> samples;
  samples.swap(r.samples);
  job->region = r;
  job->region.samples.swap(samples);
  if (const ChainRegion* second = second_copy(reading, r)) {
    job->has_second = true;
    job->second.copy_seconds = second->copy_seconds;
  }
  job->rate = reading.rate;
  r.decoded = true;
  reading.start(*job);
  reading.jobs.push_back(std::move(job));
}

// Decodes region `r` and reads it softly. A header searched for by its mark that this does not
// decide is read again inverted (in noise the first reading may have chosen the wrong
// polarity), and when that decides it, so is the rest of its program.
void decode_region(ChainReading& reading, ChainRegion& r) {
  if (r.inverted) invert(r.samples);
  read_region(reading, r);
  if (r.search && r.block == 0 && r.program >= 0 && header_body_size(reading, r.program) == 0) {
    // Kept in case the other polarity gives nothing better.
    const auto second =
        std::find_if(reading.regions.begin(), reading.regions.end(), [&](const ChainRegion& q) {
          return q.program == r.program && q.block == 0 && q.copy == 1;
        });
    std::vector<float> first = r.llr, other;
    if (second != reading.regions.end()) other = second->llr;
    invert(r.samples);
    r.inverted = !r.inverted;
    read_region(reading, r);
    if (header_body_size(reading, r.program) > 0) {
      for (auto* regions : {&reading.regions, &reading.pending}) {
        for (ChainRegion& q : *regions) {
          if (q.program == r.program) q.inverted = r.inverted;
        }
      }
    } else {
      r.inverted = !r.inverted;
      r.llr = std::move(first);
      if (second != reading.regions.end()) second->llr = std::move(other);
    }
  }
  r.samples = std::vector<std::uint8_t>();
  r.decoded = true;
}

// Reads region `r`, whose stretch is complete: a body's copy apart when the reading has jobs
// begun (see ChainReading::start), else in line. A header's program has its jobs taken back
// first: its reading may plan its body again. (A body copy's reading depends on nothing its
// first copy's gives: that may only place the second copy, whose own reading is then dropped.)
void take_region(ChainReading& reading, ChainRegion& r) {
  if (r.program >= 0 && r.block == 0) take_back(reading, r.program);
  if (!reading.start || r.block != 1) {
    decode_region(reading, r);
  } else if (region_size(reading, r) > LARGEST_JOB_BYTES) {
    take_back(reading, EVERY_PROGRAM);
    decode_region(reading, r);
  } else {
    begin_job(reading, r);
  }
}

// Adds `r`, with the samples kept of its stretch so far, to the regions in order.
void insert_region(ChainReading& reading, ChainRegion r) {
  const std::int64_t kept_from =
      reading.position - static_cast<std::int64_t>(reading.history.size());
  r.from = std::max(r.from, kept_from);
  if (!r.decoded && r.from < reading.position) {
    r.samples.assign(reading.history.begin() + (r.from - kept_from), reading.history.end());
  }
  const auto at = std::find_if(reading.regions.begin(), reading.regions.end(),
                               [&](const ChainRegion& q) { return q.from > r.from; });
  reading.regions.insert(at, std::move(r));
}

// A header's tape mark ends at prepared sample `end`: unless a program of the first reading lies
// there, plans a search for the copies after it (see plan_header_search()).
void plan_found_header(ChainReading& reading, std::int64_t end) {
  const double seconds = static_cast<double>(end) / reading.rate;
  for (const double at : reading.known) {
    if (at >= 0 && std::fabs(seconds - at) < KNOWN_MARK_SECONDS) return;
  }
  add_search(
      reading.pending, reading, reading.planned + static_cast<int>(reading.found_seconds.size()), 0,
      HEADER_BLOCK_SIZE, end - std::llround(MARK_LEAD_SECONDS * reading.rate),
      end + std::llround((HEADER_COPIES_MAX_US * 1.1e-6 + MARK_LEAD_SECONDS) * reading.rate));
  reading.found_seconds.push_back(seconds);
}

void add_pending(ChainReading& reading) {
  std::vector<ChainRegion> pending;
  pending.swap(reading.pending);
  for (ChainRegion& r : pending) insert_region(reading, std::move(r));
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
  r.size_known = true;
  r.short_period = reading.short_period;
  r.long_period = reading.long_period;
  if (short_period > 0) {
    r.short_period = short_period;
    r.long_period = short_period * mzf::LONG_PULSE_US / mzf::SHORT_PULSE_US;
  }
  r.to = std::llround(static_cast<double>(start) +
                      static_cast<double>(size) * 9 * r.long_period * DURATION_MARGIN +
                      TRAIL_LONGS * r.long_period);
  insert_region(reading, std::move(r));
}

void chain_reading_marks(const ChainReading& reading, MarkFinder& marks) {
  mark_finder_init(marks, reading.rate, reading.short_period, reading.long_period,
                   std::llround(MARK_QUIET_SECONDS * reading.rate));
}

void chain_reading_feed(ChainReading& reading, const std::uint8_t* samples, std::size_t count,
                        const std::int64_t* marks, std::size_t mark_count) {
  const std::int64_t from = reading.position;
  const std::int64_t to = from + static_cast<std::int64_t>(count);
  for (ChainRegion& r : reading.regions) {
    if (r.from >= to) break;
    if (r.to <= from || r.decoded) continue;
    // A copy added late already holds the samples before this chunk.
    const std::int64_t a = std::max(r.from + static_cast<std::int64_t>(r.samples.size()), from);
    const std::int64_t b = std::min(r.to, to);
    if (a < b) r.samples.insert(r.samples.end(), samples + (a - from), samples + (b - from));
    if (r.to <= to) take_region(reading, r);
  }
  reading.history.insert(reading.history.end(), samples, samples + count);
  if (reading.history.size() > CHAIN_HISTORY) {
    reading.history.erase(reading.history.begin(),
                          reading.history.end() - static_cast<std::ptrdiff_t>(CHAIN_HISTORY));
  }
  reading.position = to;
  for (std::size_t i = 0; i < mark_count; ++i) plan_found_header(reading, marks[i]);
  add_pending(reading);
}

void chain_reading_finish(ChainReading& reading) {
  // Copies the recording ended inside are decoded as far as they go.
  for (ChainRegion& r : reading.regions) {
    if (!r.decoded && !r.samples.empty()) take_region(reading, r);
  }
  take_back(reading, EVERY_PROGRAM);
}

void chain_job_run(ChainJob& job, ChainWork& work, SoftWork& soft) {
  if (job.region.inverted) invert(job.region.samples);
  read_copy(job.region, job.has_second ? &job.second : nullptr, job.size, job.rate, work, soft);
  job.region.samples = std::vector<std::uint8_t>();
}

}  // namespace mzfscan
