#include "tape/tape_decoder.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "tape/decoder_states.h"

namespace mzfextract {

namespace {

void restart_gap_search(TapeDecoder& d) {
  d.state = DecoderState::SEEK_GAP;
  d.run_count = 0;
}

// Takes the periods of `count` crossings while the decoder seeks a gap and returns the number
// taken: all of them, or up to and including the one that ends the gap. Most periods of a tape
// pass through here. The search runs on a copy of its state, which stays in registers where the
// record would have to be written and read back for every period (the crossings might overlap
// it, as far as the compiler can tell).
std::size_t seek_gap(TapeDecoder& d, const Crossing* crossings, std::size_t count) {
  GapSearch gap = gap_search_of(d);
  std::size_t i = 0;
  bool ended = false;
  while (i < count && !ended) ended = gap_period(gap, crossings[i++].period);
  resume_after_gap_search(d, gap, ended);
  return i;
}

void count_long(TapeDecoder& d, std::int64_t period) {
  if (static_cast<double>(period) > d.t0) {
    d.run_count = one_more(d.run_count);
    return;
  }
  std::fprintf(d.trace, "LONG:%d;t0=%.1f;t=%" PRId64 "\n", d.run_count, static_cast<double>(d.t0),
               period);
  if (d.run_count == mzf::HEADER_MARK_PULSES) {
    d.state = DecoderState::COUNT_SHORT_40;
    d.run_count = 1;
  } else if (d.run_count == mzf::BODY_MARK_PULSES) {
    d.state = DecoderState::COUNT_SHORT_20;
    d.run_count = 1;
  } else {
    restart_gap_search(d);
  }
}

// Counts the short half of a tape mark; the long pulse that ends it leads into the block.
void count_short(TapeDecoder& d, std::int64_t period) {
  if (static_cast<double>(period) < d.t0) {
    d.run_count = one_more(d.run_count);
    return;
  }
  const bool header_mark = d.state == DecoderState::COUNT_SHORT_40;
  const int expected = header_mark ? mzf::HEADER_MARK_PULSES : mzf::BODY_MARK_PULSES;
  std::fprintf(d.trace, header_mark ? "SHORT40:%d\n" : "SHORT20:%d\n", d.run_count);
  if (d.run_count != expected) {
    restart_gap_search(d);
    return;
  }
  d.state = header_mark ? DecoderState::READ_HEADER : DecoderState::READ_BODY;
  d.run_count = 0;
  d.bit_index = 0;
  d.byte_index = 0;
}

}  // namespace

bool seeking_gap(const TapeDecoder& d) {
  return d.state == DecoderState::SEEK_GAP;
}

GapSearch gap_search_of(const TapeDecoder& d) {
  return {d.t0, d.run_count};
}

void resume_after_gap_search(TapeDecoder& d, GapSearch gap, bool gap_ended) {
  d.t0 = static_cast<float>(gap.t0);  // exact: a single-precision value
  d.run_count = gap.run_count;
  if (gap_ended) d.state = DecoderState::COUNT_LONG;
}

void tape_decoder_init(TapeDecoder& d, std::FILE* trace) {
  std::memset(&d, 0, sizeof d);
  d.state = DecoderState::SEEK_GAP;
  d.trace = trace;
}

TapeEvent on_period(TapeDecoder& d, std::int64_t period, std::int64_t sample_number) {
  switch (d.state) {
    case DecoderState::SEEK_GAP: {
      const Crossing crossing{period, 0};
      seek_gap(d, &crossing, 1);
      return TapeEvent::NONE;
    }
    case DecoderState::COUNT_LONG: count_long(d, period); return TapeEvent::NONE;
    case DecoderState::COUNT_SHORT_40:
    case DecoderState::COUNT_SHORT_20: count_short(d, period); return TapeEvent::NONE;
    case DecoderState::READ_HEADER:
    case DecoderState::READ_BODY: return read_block(d, period, sample_number);
  }
  // Every state is handled above (the compiler checks it); any other value means the record
  // was overwritten, and decoding on from there would print and save garbage.
  std::abort();
}

std::size_t on_crossings(TapeDecoder& d, const Crossing* crossings, std::size_t count,
                         std::int64_t samples_before, TapeEvent* event) {
  *event = TapeEvent::NONE;
  std::size_t i = 0;
  while (i < count) {
    switch (d.state) {
      case DecoderState::SEEK_GAP: i += seek_gap(d, crossings + i, count - i); break;
      case DecoderState::READ_HEADER:
      case DecoderState::READ_BODY:
        i += read_block_run(d, crossings + i, count - i, samples_before, event);
        if (*event != TapeEvent::NONE) return i;
        break;
      default:
        // The tape marks: a few dozen periods each.
        on_period(d, crossings[i].period, samples_before + crossings[i].index + 1);
        ++i;
        break;
    }
  }
  return i;
}

ProgramView finished_program(const TapeDecoder& d) {
  const TapeBuffers& b = d.buffers;
  return ProgramView{b.header, b.body, b.body_length, b.header_verified, b.body_verified};
}

}  // namespace mzfextract
