#include "rescue/second_reading.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "format/tape_format.h"

namespace mzfscan {

namespace {

using mzf::CHECKSUM_SIZE;
using mzf::HEADER_BLOCK_SIZE;
using mzf::HEADER_SIZE;

// A first-reading program and an exact one are the same when a block of each starts this close.
constexpr double SAME_BLOCK_SECONDS = 0.5;

bool near(double a, double b) {
  return a >= 0 && b >= 0 && std::fabs(a - b) < SAME_BLOCK_SECONDS;
}

bool marked(const std::vector<std::uint64_t>& bits, std::size_t index) {
  return byte_marked(bits.data(), static_cast<std::uint32_t>(index));
}

void add_marks(std::vector<std::uint64_t>& into, const std::uint64_t* bits) {
  if (bits == nullptr) return;
  for (std::size_t w = 0; w < into.size(); ++w) into[w] |= bits[w];
}

// One reading of a copy.
struct Reading {
  const std::uint8_t* bytes;
  std::size_t count;
  bool complete;                 // holds every byte of the block
  bool holds;                    // complete and its checksum holds
  const std::uint64_t* suspect;  // its own doubts (null: none), beside its copy's disturbances
};

// What is known of one copy of a block: its readings and where its signal was disturbed.
struct Side {
  std::vector<Reading> readings;
  std::vector<std::uint64_t> disturbed = std::vector<std::uint64_t>(SUSPECT_WORDS, 0);
};

bool checksum_holds(const std::uint8_t* bytes, std::size_t count, std::size_t size) {
  if (size < CHECKSUM_SIZE || count < size) return false;
  const std::size_t data = size - CHECKSUM_SIZE;
  return mzf::ones_checksum(bytes, data) == mzf::stored_checksum(bytes, data);
}

// True when `x`, a reading of the copy `own`, is borne out by reading `y` of the other copy.
bool borne_out(const std::uint8_t* x, std::size_t size, const Side& own, const Side& other,
               const Reading& y) {
  const std::size_t n = std::min(size, y.count);
  std::size_t unexplained = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (x[i] == y.bytes[i]) continue;
    const bool disturbed = marked(own.disturbed, i);
    const bool doubted =
        marked(other.disturbed, i) || byte_marked(y.suspect, static_cast<std::uint32_t>(i));
    // Where the candidate's signal was disturbed, a reading that is clean there, or passes its
    // checksum, is the more credible.
    if (disturbed && (!doubted || y.holds)) return false;
    if (!doubted) ++unexplained;
  }
  return unexplained == 0 || (unexplained == 1 && y.complete && !y.holds);
}

// True when every reading of the other copy bears `x` out, and each byte of `x` whose signal was
// disturbed is confirmed by a reading of the other copy that was clean there (a guess is taken
// only when clean evidence agrees with it).
bool borne_out_by_all(const std::uint8_t* x, std::size_t size, const Side& own, const Side& other) {
  for (std::size_t i = 0; i < size; ++i) {
    if (!marked(own.disturbed, i)) continue;
    const bool confirmed =
        !marked(other.disturbed, i) &&
        std::any_of(other.readings.begin(), other.readings.end(), [&](const Reading& y) {
          const bool doubted = byte_marked(y.suspect, static_cast<std::uint32_t>(i));
          return i < y.count && y.bytes[i] == x[i] && !doubted;
        });
    if (!confirmed) return false;
  }
  return std::all_of(other.readings.begin(), other.readings.end(),
                     [&](const Reading& y) { return borne_out(x, size, own, other, y); });
}

// True when no other reading of the candidate's own copy that passes its checksum holds other
// bytes (two readings of one signal that both pass and differ leave it open which is right).
// When the other copy was not read at all, another reading of its own copy must also agree with
// it in full: a checksum alone is not trusted where nothing else can confirm it.
bool agrees_with_own_copy(const std::uint8_t* x, std::size_t size, const Side& own,
                          bool nothing_else) {
  bool confirmed = !nothing_else;
  for (const Reading& z : own.readings) {
    if (z.bytes == x || z.count < size) continue;
    const bool same = std::equal(x, x + size, z.bytes);
    if (z.holds && !same) return false;
    confirmed = confirmed || same;
  }
  return confirmed;
}

// A first-reading program and an exact one are the same when their first copies of a block
// start together.
bool same_program(const ScannedProgram& p, const ExactProgram& e) {
  return near(p.copies[1][0].start_seconds, e.body_seconds) ||
         near(p.copies[0][0].start_seconds, e.header_seconds);
}

const ExactProgram* exact_of(const std::vector<ExactProgram>& exact, const ScannedProgram& p) {
  const auto at = std::find_if(exact.begin(), exact.end(),
                               [&](const ExactProgram& e) { return same_program(p, e); });
  return at == exact.end() ? nullptr : &*at;
}

// The first of the bytes `read` holds of a copy that differs from the block `bytes` (`size`
// bytes long); -1 when they agree as far as it was read.
std::int64_t first_difference(const CopyEvidence& read, const std::uint8_t* bytes,
                              std::size_t size) {
  const std::size_t n = std::min(size, read.bytes.size());
  const auto end = read.bytes.begin() + static_cast<std::ptrdiff_t>(n);
  const auto at = std::mismatch(read.bytes.begin(), end, bytes).first;
  return at == end ? -1 : at - read.bytes.begin();
}

// The record of a block's copies once the second reading took copy `k` (`size` bytes): that copy
// verified, the other failing where the first reading of it differs.
void record_taken(CopyRecord copies[2], int k, const std::uint8_t* bytes, std::size_t size,
                  const CopyEvidence& other) {
  copies[k].outcome = COPY_VERIFIED;
  copies[k].bytes = static_cast<std::uint32_t>(size);
  copies[k].first_failing = -1;
  CopyRecord& o = copies[1 - k];
  if (o.outcome != COPY_CHECKSUM && o.outcome != COPY_CONFLICT && o.outcome != COPY_UNCONFIRMED) {
    return;
  }
  o.first_failing = first_difference(other, bytes, size);
}

// Decides block `block` (`size` bytes) of `p` from the soft readings of its copies, when no
// reading of a copy was taken; true when the block was.
bool adopt_soft(ScannedProgram& p, int block, std::size_t size, const ChainRegion* const chain[2],
                bool keep) {
  std::vector<std::vector<float>> copies(2);
  for (int k = 0; k < 2; ++k) {
    if (chain[k] != nullptr) copies[static_cast<std::size_t>(k)] = chain[k]->llr;
  }
  SoftDecision decision;
  if (!soft_decide(copies, size, &decision)) {
    if (keep) {
      for (int k = 0; k < 2; ++k) p.soft[block][k] = copies[static_cast<std::size_t>(k)];
    }
    return false;
  }
  const std::uint8_t* bytes = decision.bytes.data();
  if (block == 0) {
    std::memcpy(p.header, bytes, HEADER_SIZE);
  } else {
    p.body.assign(bytes, bytes + (size - CHECKSUM_SIZE));
  }
  int& verdict = block == 0 ? p.header_verdict : p.body_verdict;
  const CopyEvidence* first = block == 0 ? p.header_copies : p.body_copies;
  if (decision.source >= 0) {
    verdict = decision.source == 0 ? VERDICT_OK : VERDICT_COPY;
    record_taken(p.copies[block], decision.source, bytes, size, first[1 - decision.source]);
    return true;
  }
  verdict = VERDICT_JOINED;
  for (int k = 0; k < 2; ++k) {
    CopyRecord& record = p.copies[block][k];
    record.gave.clear();
    for (const ByteRange& r : decision.gave[static_cast<std::size_t>(k)]) {
      record.gave.emplace_back(r.from, r.to);
    }
    // Its first byte that differs from the block as taken.
    const std::int64_t at = first_difference(first[k], bytes, size);
    if (at >= 0) record.first_failing = at;
  }
  return true;
}

// Decides block `block` of `p` from every reading of it; true when a candidate was taken.
bool adopt_block(ScannedProgram& p, int index, int block, const ExactProgram* e,
                 const ChainReading& chains) {
  int& verdict = block == 0 ? p.header_verdict : p.body_verdict;
  if (verdict_verified(verdict)) return false;
  if (block == 0 && p.relayed) {
    // A relayed header: the exact decoder's relay, with its loader's blocks verified.
    if (e == nullptr || !e->relayed || !e->header_verified) return false;
    std::memcpy(p.header, e->header, HEADER_SIZE);
    verdict = VERDICT_OK;
    return true;
  }
  if (block == 1 && !verdict_verified(p.header_verdict)) return false;
  const std::size_t size =
      block == 0 ? HEADER_BLOCK_SIZE
                 : mzf::header_word(p.header, mzf::BODY_LENGTH_OFFSET) + CHECKSUM_SIZE;
  const CopyEvidence* first = block == 0 ? p.header_copies : p.body_copies;
  Side sides[2];
  const ChainRegion* chain[2] = {nullptr, nullptr};
  for (const ChainRegion& r : chains.regions) {
    // A region planned for this program, or added where this program's copy begins.
    const bool ours = r.program >= 0       ? r.program == index
                      : r.program == ADDED ? r.copy_seconds == p.copies[block][r.copy].start_seconds
                                           : false;
    if (r.block == block && r.decoded && ours) {
      chain[r.copy] = &r;
    }
  }
  // Where each copy's signal was disturbed: where the pulse chain had to guess, or where the first
  // reader's front end saw a weak or lopsided pulse when the chain did not read the copy (the
  // chain's measure holds under filtering, which makes many pulses lopsided).
  for (int k = 0; k < 2; ++k) {
    const CopyView v = first[k].view();
    if (v.attempted) {
      if (chain[k] == nullptr) add_marks(sides[k].disturbed, v.disturbed);
      sides[k].readings.push_back(Reading{v.bytes, v.count, v.complete, v.verified, v.suspect});
    }
    if (chain[k] != nullptr) {
      const std::vector<std::uint8_t>& b = chain[k]->bytes;
      add_marks(sides[k].disturbed, chain[k]->weak.data());
      sides[k].readings.push_back(Reading{b.data(), b.size(), b.size() >= size,
                                          checksum_holds(b.data(), b.size(), size), nullptr});
    }
  }
  // The exact decoder's block, when it belongs to this program.
  const std::uint8_t* exact = nullptr;
  if (e != nullptr && (block == 0 ? e->header_verified && !e->relayed : e->body_verified)) {
    exact = block == 0 ? e->header : e->body.data();
    const std::size_t exact_size = block == 0 ? HEADER_BLOCK_SIZE : e->body.size();
    if (exact_size != size || (block == 1 && std::memcmp(p.header, e->header, HEADER_SIZE) != 0)) {
      exact = nullptr;
    }
  }
  if (exact != nullptr) {
    sides[0].readings.push_back(Reading{exact, size, true, true, nullptr});
  }
  struct Candidate {
    const std::uint8_t* bytes;
    int copy;
  };
  std::vector<Candidate> candidates;
  if (exact != nullptr) candidates.push_back({exact, 0});
  for (int k = 0; k < 2; ++k) {
    if (chain[k] != nullptr &&
        checksum_holds(chain[k]->bytes.data(), chain[k]->bytes.size(), size)) {
      candidates.push_back({chain[k]->bytes.data(), k});
    }
  }
  for (const Candidate& c : candidates) {
    if (!borne_out_by_all(c.bytes, size, sides[c.copy], sides[1 - c.copy])) continue;
    if (!agrees_with_own_copy(c.bytes, size, sides[c.copy], sides[1 - c.copy].readings.empty())) {
      continue;
    }
    if (block == 0) {
      std::memcpy(p.header, c.bytes, HEADER_SIZE);
    } else {
      p.body.assign(c.bytes, c.bytes + (size - CHECKSUM_SIZE));
    }
    verdict = c.copy == 0 ? VERDICT_OK : VERDICT_COPY;
    record_taken(p.copies[block], c.copy, c.bytes, size, first[1 - c.copy]);
    return true;
  }
  return adopt_soft(p, block, size, chain, chains.keep_soft);
}

}  // namespace

void adopt_second_reading(std::vector<ScannedProgram>& programs,
                          const std::vector<ExactProgram>& exact, const ChainReading& chains) {
  for (std::size_t index = 0; index < programs.size(); ++index) {
    ScannedProgram& p = programs[index];
    const ExactProgram* e = exact_of(exact, p);
    // The header first: a header taken gives its body's length, which a body the first reading
    // verified before its header was known must have.
    adopt_block(p, static_cast<int>(index), 0, e, chains);
    check_body_length(p);
    adopt_block(p, static_cast<int>(index), 1, e, chains);
  }
  for (const ExactProgram& e : exact) {
    const bool known = std::any_of(programs.begin(), programs.end(),
                                   [&](const ScannedProgram& p) { return same_program(p, e); });
    if (!e.header_verified || !e.body_verified || known) continue;
    // Not found by the first reading at all: a program of its own, in its place on the tape, its
    // blocks decided as any others (the exact decoder's first copies against the pulse chain's
    // readings of both copies), and damaged when they are not borne out.
    ScannedProgram found{};
    found.time_seconds = e.relayed ? e.body_seconds : e.header_seconds;
    std::memcpy(found.header, e.header, HEADER_SIZE);
    found.body.assign(e.body.begin(), e.body.end() - static_cast<std::ptrdiff_t>(CHECKSUM_SIZE));
    found.header_verdict = found.body_verdict = VERDICT_DAMAGED;
    found.relayed = e.relayed;
    found.copies[0][0].start_seconds = e.header_seconds;
    found.copies[0][1].start_seconds = e.header_copy2_seconds;
    found.copies[1][0].start_seconds = e.body_seconds;
    found.copies[1][1].start_seconds = e.body_copy2_seconds;
    for (int block = 0; block < 2; ++block) adopt_block(found, -1, block, &e, chains);
    const auto at = std::find_if(programs.begin(), programs.end(), [&](const ScannedProgram& q) {
      return q.time_seconds > found.time_seconds;
    });
    programs.insert(at, std::move(found));
  }
  // Programs found by their header's tape mark alone: kept when their header was taken.
  for (std::size_t k = 0; k < chains.found_seconds.size(); ++k) {
    const double seconds = chains.found_seconds[k];
    const bool known = std::any_of(programs.begin(), programs.end(), [&](const ScannedProgram& q) {
      return std::fabs(q.time_seconds - seconds) < SAME_BLOCK_SECONDS;
    });
    if (known) continue;
    ScannedProgram found{};
    found.time_seconds = seconds;
    found.header_verdict = found.body_verdict = VERDICT_MISSING;
    const int index = chains.planned + static_cast<int>(k);
    if (!adopt_block(found, index, 0, nullptr, chains)) continue;
    const bool body_read = std::any_of(
        chains.regions.begin(), chains.regions.end(),
        [&](const ChainRegion& r) { return r.program == index && r.block == 1 && !r.llr.empty(); });
    if (body_read) found.body_verdict = VERDICT_DAMAGED;
    adopt_block(found, index, 1, nullptr, chains);
    const auto at = std::find_if(programs.begin(), programs.end(), [&](const ScannedProgram& q) {
      return q.time_seconds > found.time_seconds;
    });
    programs.insert(at, std::move(found));
  }
}

}  // namespace mzfscan
