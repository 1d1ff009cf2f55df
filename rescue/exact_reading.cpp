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

}  // namespace mzfscan
