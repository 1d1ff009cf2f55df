// The exact reading runs the converter's own detector and decoder, period by period, and watches
// the decoder's state to learn where each block starts and which blocks belong to a program.
#include "rescue/exact_reading.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "format/tape_format.h"

namespace mzfscan {

namespace {

using mzf::CHECKSUM_SIZE;
using mzf::HEADER_BLOCK_SIZE;

// While it reads a block, the decoder's t0 is 1.5 times the short pulse it learned.
constexpr double SHORT_TO_THRESHOLD = 1.5;

// Sample numbers are 1-based: the crossing that ends a period is sample number n.
double seconds_at(const ExactReader& r, std::int64_t sample_number) {
  return static_cast<double>(sample_number - 1) / r.rate;
}

// After a block's first copy: a long pulse after enough short ones starts its second copy.
void await_second_copy(ExactReader& r, std::int64_t period, std::int64_t sample_number) {
  if (static_cast<double>(period) <= static_cast<double>(r.threshold)) {
    ++r.gap_shorts;
    return;
  }
  if (r.gap_shorts >= COPY_GAP_SHORTS) {
    const std::int64_t start = sample_number - 1 - period;
    r.copy_starts.push_back(
        ExactCopyStart{r.awaiting, 1, start, r.awaiting_size, r.threshold / SHORT_TO_THRESHOLD});
    const double seconds = static_cast<double>(start) / r.rate;
    if (r.awaiting == 0) {
      r.header_copy2_seconds = seconds;
    } else if (!r.programs.empty() && r.programs.back().body_copy2_seconds < 0) {
      r.programs.back().body_copy2_seconds = seconds;
    }
  }
  r.awaiting = -1;
}

void on_exact_period(ExactReader& r, std::int64_t period, std::int64_t sample_number) {
  mzfextract::TapeDecoder& d = r.decoder;
  const mzfextract::DecoderState before = d.state;
  const bool loader_pending = d.buffers.loader_pending;
  const float threshold = d.t0;
  const mzfextract::TapeEvent event = mzfextract::on_period(d, period, sample_number);
  const mzfextract::DecoderState after = d.state;
  // The gap after a first copy, and the long pulse that ends it (which the decoder may take as
  // the start of a tape mark).
  if (r.awaiting >= 0 && before != mzfextract::DecoderState::READ_HEADER &&
      before != mzfextract::DecoderState::READ_BODY) {
    await_second_copy(r, period, sample_number);
  }
  if (after == before) return;
  if (after == mzfextract::DecoderState::READ_HEADER ||
      after == mzfextract::DecoderState::READ_BODY) {
    r.block_start = sample_number;
    r.awaiting = -1;
    const bool body = after == mzfextract::DecoderState::READ_BODY;
    r.copy_starts.push_back(
        ExactCopyStart{body ? 1 : 0, 0, sample_number - 1,
                       body ? d.buffers.body_length + CHECKSUM_SIZE : HEADER_BLOCK_SIZE,
                       d.t0 / SHORT_TO_THRESHOLD});
    return;
  }
  if (before == mzfextract::DecoderState::READ_HEADER ||
      before == mzfextract::DecoderState::READ_BODY) {
    // The first copy has ended: its second follows a gap (a loader's body is not followed up).
    r.awaiting = before == mzfextract::DecoderState::READ_HEADER    ? 0
                 : event == mzfextract::TapeEvent::PROGRAM_COMPLETE ? 1
                                                                    : -1;
    r.gap_shorts = 0;
    r.threshold = threshold;
    r.awaiting_size = before == mzfextract::DecoderState::READ_HEADER
                          ? HEADER_BLOCK_SIZE
                          : d.buffers.body_length + CHECKSUM_SIZE;
  }
  if (before == mzfextract::DecoderState::READ_HEADER) {
    // A header ends: it belongs to the next body, and cancels a loader's relay.
    r.header_copy2_seconds = -1;
    r.fresh_header = true;
    r.relay_pending = false;
    r.header_seconds = seconds_at(r, r.block_start);
    return;
  }
  if (before != mzfextract::DecoderState::READ_BODY) return;
  const mzfextract::TapeBuffers& b = d.buffers;
  if (event != mzfextract::TapeEvent::PROGRAM_COMPLETE) {
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
  p.header_copy2_seconds = r.relay_pending ? -1 : r.header_copy2_seconds;
  p.body_copy2_seconds = -1;
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
  r.header_seconds = -1;
  r.fresh_header = r.relay_pending = r.relay_good = false;
  r.header_copy2_seconds = -1;
  r.awaiting = -1;
  r.gap_shorts = 0;
  r.threshold = 0;
  r.awaiting_size = 0;
  r.programs.clear();
  r.copy_starts.clear();
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
