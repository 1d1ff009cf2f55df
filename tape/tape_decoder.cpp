#include "tape/tape_decoder.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "tape/decoder_states.h"

namespace mzfextract {

namespace {

// A gap needs its starting period and at least 99 steady ones before a long pulse counts.
constexpr std::int32_t MIN_GAP_RUN = 100;
constexpr double STEADY_TOLERANCE = 5.0;
// The running average of the gap gives a steady period this weight, the average the rest.
constexpr double NEW_PERIOD_WEIGHT = 0.05;
constexpr double AVERAGE_WEIGHT = 0.95;
// A long pulse is half as long again as a short one: the first period beyond this many times
// the average ends the gap, and the same multiple becomes the long/short threshold.
constexpr double LONG_PULSE_FACTOR = 1.5;

void restart_gap_search(TapeDecoder& d) {
  d.state = SEEK_GAP;
  d.run_count = 0;
}

// Learns t0 from a run of steady periods; the first clearly longer period after a long enough
// run turns t0 into the long/short threshold. All arithmetic on t0 is done in double precision
// and rounded back to single precision only when stored.
//
// Takes the periods of `count` crossings while the decoder seeks a gap and returns the number
// taken: all of them, or up to and including the one that ends the gap. Most periods of a tape
// pass through here. t0 and the run length stay in registers, where the record would have to be
// written and read back for every period (the crossings might overlap it, as far as the compiler
// can tell).
std::size_t seek_gap(TapeDecoder& d, const Crossing* crossings, std::size_t count) {
  float t0 = d.t0;
  std::int32_t run_count = d.run_count;
  std::size_t i = 0;
  while (i < count) {
    const double p = static_cast<double>(crossings[i++].period);
    const double t = t0;
    const bool starts_run = run_count == 0;
    const bool steady = t - STEADY_TOLERANCE < p && p < t + STEADY_TOLERANCE;
    // The run counts this period before it is compared with the minimum.
    const bool ends_gap =
        !starts_run & !steady & (run_count + 1 > MIN_GAP_RUN) & (p > t * LONG_PULSE_FACTOR);
    if (ends_gap) [[unlikely]] {
      d.t0 = static_cast<float>(t * LONG_PULSE_FACTOR);
      d.run_count = 1;
      d.state = COUNT_LONG;
      return i;
    }
    const auto average = static_cast<float>(NEW_PERIOD_WEIGHT * p + AVERAGE_WEIGHT * t);
    t0 = starts_run ? static_cast<float>(p) : steady ? average : t0;
    run_count = starts_run ? 1 : steady ? run_count + 1 : 0;
  }
  d.t0 = t0;
  d.run_count = run_count;
  return i;
}

void count_long(TapeDecoder& d, std::int64_t period) {
  if (static_cast<double>(period) > d.t0) {
    ++d.run_count;
    return;
  }
  std::fprintf(d.trace, "LONG:%d;t0=%.1f;t=%" PRId64 "\n", d.run_count, static_cast<double>(d.t0),
               period);
  if (d.run_count == HEADER_MARK_PULSES) {
    d.state = COUNT_SHORT_40;
    d.run_count = 1;
  } else if (d.run_count == BODY_MARK_PULSES) {
    d.state = COUNT_SHORT_20;
    d.run_count = 1;
  } else {
    restart_gap_search(d);
  }
}

// Counts the short half of a tape mark; the long pulse that ends it leads into the block.
void count_short(TapeDecoder& d, std::int64_t period) {
  if (static_cast<double>(period) < d.t0) {
    ++d.run_count;
    return;
  }
  const bool header_mark = d.state == COUNT_SHORT_40;
  const int expected = header_mark ? HEADER_MARK_PULSES : BODY_MARK_PULSES;
  std::fprintf(d.trace, header_mark ? "SHORT40:%d\n" : "SHORT20:%d\n", d.run_count);
  if (d.run_count != expected) {
    restart_gap_search(d);
    return;
  }
  d.state = header_mark ? READ_HEADER : READ_BODY;
  d.run_count = 0;
  d.bit_index = 0;
  d.byte_index = 0;
}

}  // namespace

void tape_decoder_init(TapeDecoder& d, std::FILE* trace) {
  std::memset(&d, 0, sizeof d);
  d.state = SEEK_GAP;
  d.trace = trace;
}

int on_period(TapeDecoder& d, std::int64_t period, std::int64_t sample_number) {
  switch (d.state) {
    case SEEK_GAP: {
      const Crossing crossing{period, 0};
      seek_gap(d, &crossing, 1);
      return TAPE_NO_EVENT;
    }
    case COUNT_LONG: count_long(d, period); return TAPE_NO_EVENT;
    case COUNT_SHORT_40:
    case COUNT_SHORT_20: count_short(d, period); return TAPE_NO_EVENT;
    case READ_HEADER:
    case READ_BODY: return read_block(d, period, sample_number);
  }
  // Every state is handled above (the compiler checks it); any other value means the record
  // was overwritten, and decoding on from there would print and save garbage.
  std::abort();
}

std::size_t on_crossings(TapeDecoder& d, const Crossing* crossings, std::size_t count,
                         std::int64_t samples_before, int* event) {
  *event = TAPE_NO_EVENT;
  std::size_t i = 0;
  while (i < count) {
    switch (d.state) {
      case SEEK_GAP: i += seek_gap(d, crossings + i, count - i); break;
      case READ_HEADER:
      case READ_BODY:
        i += read_block_run(d, crossings + i, count - i, samples_before, event);
        if (*event != TAPE_NO_EVENT) return i;
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
