// The exact reading runs the converter's own detector and decoder, period by period, and watches
// the decoder's state to learn where each block starts and which blocks belong to a program.
#include "rescue/exact_reading.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tape/tape_header.h"

namespace mzfscan {

namespace {

using mzfextract::CHECKSUM_SIZE;
using mzfextract::HEADER_BLOCK_SIZE;
using mzfextract::HEADER_SIZE;

// A first-reading program and an exact one are the same when a block of each starts this close.
constexpr double SAME_BLOCK_SECONDS = 0.5;

// Sample numbers are 1-based: the crossing that ends a period is sample number n.
double seconds_at(const ExactReader& r, std::int64_t sample_number) {
  return static_cast<double>(sample_number - 1) / r.rate;
}

void on_exact_period(ExactReader& r, std::int64_t period, std::int64_t sample_number) {
  mzfextract::TapeDecoder& d = r.decoder;
  const mzfextract::DecoderState before = d.state;
  const bool loader_pending = d.buffers.loader_pending;
  const int event = mzfextract::on_period(d, period, sample_number);
  const mzfextract::DecoderState after = d.state;
  if (after == before) return;
  if (after == mzfextract::READ_HEADER || after == mzfextract::READ_BODY) {
    r.block_start = sample_number;
    return;
  }
  if (before == mzfextract::READ_HEADER) {
    // A header ends: it belongs to the next body, and cancels a loader's relay.
    r.fresh_header = true;
    r.relay_pending = false;
    r.header_seconds = seconds_at(r, r.block_start);
    return;
  }
  if (before != mzfextract::READ_BODY) return;
  const mzfextract::TapeBuffers& b = d.buffers;
  if (event != mzfextract::TAPE_PROGRAM_COMPLETE) {
    if (loader_pending && !b.loader_pending) {
      // A loader's body relayed its length and addresses into the header.
      r.relay_pending = true;
      r.relay_good = r.fresh_header && b.header_verified && b.body_verified;
      r.fresh_header = false;
    }
    return;
  }
  ExactProgram p{};
  std::memcpy(p.header, b.header, HEADER_BLOCK_SIZE);
  p.body.assign(b.body, b.body + b.body_length + CHECKSUM_SIZE);
  p.relayed = r.relay_pending;
  p.header_verified = r.relay_pending ? r.relay_good : r.fresh_header && b.header_verified;
  p.body_verified = b.body_verified;
  p.header_seconds = r.relay_pending ? -1 : r.header_seconds;
  p.body_seconds = seconds_at(r, r.block_start);
  r.programs.push_back(std::move(p));
  r.fresh_header = r.relay_pending = r.relay_good = false;
}

bool good_verdict(int verdict) {
  return verdict == VERDICT_OK || verdict == VERDICT_COPY;
}

bool near(double a, double b) {
  return a >= 0 && b >= 0 && std::fabs(a - b) < SAME_BLOCK_SECONDS;
}

// The first-reading program that `e` is, or nullptr.
ScannedProgram* same_program(std::vector<ScannedProgram>& programs, const ExactProgram& e) {
  for (ScannedProgram& p : programs) {
    if (near(p.copy_seconds[1][0], e.body_seconds) ||
        near(p.copy_seconds[0][0], e.header_seconds)) {
      return &p;
    }
  }
  return nullptr;
}

// True when the exact decoder's reading of a block's first copy, `bytes`, is borne out by the
// first reading's second copy: they agree wherever the second copy was read cleanly (one byte
// may differ when the second copy is complete and fails its checksum). Where the second copy
// passes its checksum too, a difference counts against the exact reading when the first
// reading found the first copy's signal disturbed there.
bool borne_out(const std::uint8_t* bytes, std::size_t count, const CopyEvidence copies[2]) {
  const CopyView first = copies[0].view(), second = copies[1].view();
  if (!second.attempted) return true;
  const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, second.count));
  std::uint32_t unexplained = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (bytes[i] == second.bytes[i]) continue;
    if (second.verified && disturbed_byte(first, i)) return false;
    if (!suspect_byte(second, i)) ++unexplained;
  }
  return unexplained == 0 || (unexplained == 1 && second.complete && !second.verified);
}

}  // namespace

void exact_reader_init(ExactReader& r, double rate, std::FILE* trace) {
  mzfextract::pulse_detector_init(r.detector);
  mzfextract::tape_decoder_init(r.decoder, trace);
  r.rate = rate;
  r.samples = 0;
  r.block_start = 0;
  r.header_seconds = r.body_seconds = -1;
  r.fresh_header = r.relay_pending = r.relay_good = false;
  r.programs.clear();
}

void exact_reader_feed(ExactReader& r, const std::uint8_t* samples, std::size_t count) {
  while (count > 0) {
    const std::size_t n = std::min(count, EXACT_SLICE);
    const mzfextract::ChunkScan scan = mzfextract::detect_chunk(
        r.detector, samples, n, r.crossings, mzfextract::max_crossings(EXACT_SLICE));
    for (std::size_t i = 0; i < scan.crossings; ++i) {
      const mzfextract::Crossing& c = r.crossings[i];
      on_exact_period(r, c.period, r.samples + static_cast<std::int64_t>(c.index) + 1);
    }
    r.samples += static_cast<std::int64_t>(scan.consumed);
    samples += scan.consumed;
    count -= scan.consumed;
  }
}

int adopt_exact_reading(std::vector<ScannedProgram>& programs,
                        const std::vector<ExactProgram>& exact) {
  int taken = 0;
  for (const ExactProgram& e : exact) {
    if (!e.header_verified || !e.body_verified) continue;
    const std::size_t body_length = e.body.size() - CHECKSUM_SIZE;
    ScannedProgram* p = same_program(programs, e);
    if (p == nullptr) {
      // Not found by the first reading at all: a program of its own, in its place on the tape.
      ScannedProgram found{};
      found.time_seconds = e.relayed ? e.body_seconds : e.header_seconds;
      std::memcpy(found.header, e.header, HEADER_SIZE);
      found.body.assign(e.body.begin(), e.body.begin() + static_cast<std::ptrdiff_t>(body_length));
      found.header_verdict = found.body_verdict = VERDICT_OK;
      found.relayed = e.relayed;
      found.copy_seconds[0][0] = e.header_seconds;
      found.copy_seconds[1][0] = e.body_seconds;
      found.copy_seconds[0][1] = found.copy_seconds[1][1] = -1;
      const auto at = std::find_if(programs.begin(), programs.end(), [&](const ScannedProgram& q) {
        return q.time_seconds > found.time_seconds;
      });
      programs.insert(at, std::move(found));
      taken += 2;
      continue;
    }
    if (good_verdict(p->header_verdict) && good_verdict(p->body_verdict)) continue;
    if (good_verdict(p->header_verdict)) {
      // The first reading's header stands: the exact program must be the same program.
      if (std::memcmp(p->header, e.header, HEADER_SIZE) != 0) continue;
    } else if (p->relayed == e.relayed &&
               (e.relayed || borne_out(e.header, HEADER_BLOCK_SIZE, p->header_copies))) {
      std::memcpy(p->header, e.header, HEADER_SIZE);
      p->header_verdict = VERDICT_OK;
      ++taken;
    } else {
      continue;
    }
    if (good_verdict(p->body_verdict) ||
        mzfextract::header_word(p->header, mzfextract::BODY_LENGTH_OFFSET) != body_length ||
        !borne_out(e.body.data(), e.body.size(), p->body_copies)) {
      continue;
    }
    p->body.assign(e.body.begin(), e.body.begin() + static_cast<std::ptrdiff_t>(body_length));
    p->body_verdict = VERDICT_OK;
    ++taken;
  }
  return taken;
}

}  // namespace mzfscan
