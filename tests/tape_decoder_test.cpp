// The tape decoder fed pulse periods: gap search, tape marks, block reading and its exact
// trace, synchronisation errors, checksums and the loader relay.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "converter/converter.h"
#include "tape/gap_search.h"
#include "tape/tape_decoder.h"
#include "tests/test_support.h"
#include "tools/tapesynth.h"

using namespace mzfextract;
using namespace mzf;
using testing_support::block_trace;
using testing_support::Bytes;
using testing_support::make_header;
using testing_support::Periods;
using testing_support::with_checksum;

namespace {

// A decoder whose trace is collected in memory.
class Decoder {
 public:
  Decoder() : trace_(open_memstream(&text_, &size_)), decoder_(std::make_unique<TapeDecoder>()) {
    tape_decoder_init(*decoder_, trace_);
  }
  ~Decoder() {
    std::fclose(trace_);
    std::free(text_);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Feeds the periods, numbering them as if each ended 30 samples after the previous one.
  // Returns how many bodies were completed for saving.
  int feed(const Periods& periods) { return feed(periods.list); }
  int feed(std::initializer_list<std::int64_t> periods) {
    return feed(std::vector<std::int64_t>(periods));
  }
  int feed(const std::vector<std::int64_t>& periods) {
    int bodies = 0;
    for (std::int64_t p : periods) {
      sample_number_ += 30;
      bodies += on_period(*decoder_, p, sample_number_) == TapeEvent::PROGRAM_COMPLETE ? 1 : 0;
    }
    return bodies;
  }
  TapeEvent feed_at(std::int64_t period, std::int64_t sample_number) {
    return on_period(*decoder_, period, sample_number);
  }
  // Hands the crossings of a buffer to on_crossings() as the driver does, keeping the body of
  // every program completed.
  void take(const Crossing* crossings, std::size_t count, std::int64_t samples_before) {
    for (std::size_t taken = 0; taken < count;) {
      TapeEvent event = TapeEvent::NONE;
      taken += on_crossings(*decoder_, crossings + taken, count - taken, samples_before, &event);
      keep_if_complete(event);
    }
  }
  void keep_if_complete(TapeEvent event) {
    if (event != TapeEvent::PROGRAM_COMPLETE) return;
    const ProgramView program = finished_program(*decoder_);
    completed_.emplace_back(program.body, program.body + program.body_length);
  }
  const std::vector<Bytes>& completed() const { return completed_; }
  std::string trace() {
    std::fflush(trace_);
    return std::string(text_, size_);
  }
  TapeDecoder& state() { return *decoder_; }
  const TapeBuffers& buffers() { return decoder_->buffers; }
  Bytes header_record() { return Bytes(buffers().header, buffers().header + 128); }
  Bytes body() { return Bytes(buffers().body, buffers().body + buffers().body_length); }

 private:
  char* text_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* trace_;
  std::unique_ptr<TapeDecoder> decoder_;
  std::int64_t sample_number_ = 0;
  std::vector<Bytes> completed_;
};

// The loader header: body length 90, load and execution address 0xD400.
Bytes loader_header() {
  return make_header("LOADER", 90, 0xD400, 0xD400);
}

// A loader body that relays the length, the addresses and 7 more bytes to the next program.
Bytes loader_body(std::uint16_t length, std::uint16_t load, std::uint16_t exec) {
  Bytes body = testing_support::pattern(90, 5);
  const std::uint8_t relayed[] = {static_cast<std::uint8_t>(length & 0xFF),
                                  static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(load & 0xFF),
                                  static_cast<std::uint8_t>(load >> 8),
                                  static_cast<std::uint8_t>(exec & 0xFF),
                                  static_cast<std::uint8_t>(exec >> 8),
                                  1,
                                  2,
                                  3,
                                  4,
                                  5,
                                  6,
                                  7};
  std::copy(std::begin(relayed), std::end(relayed), body.begin() + 77);
  return body;
}

}  // namespace

TEST(GapSearch, LongRunNeedsAGapOfAtLeastHundredPeriods) {
  // The period that starts the run and 99 steady ones: the long pulse is the 101st and counts.
  Decoder accepted;
  accepted.feed(Periods().gap(100).longs(3).gap(1));
  EXPECT_EQ(accepted.trace(), "LONG:3;t0=36.0;t=24\n");
  // One steady period fewer: the long pulse breaks the run and starts a new one.
  Decoder refused;
  refused.feed(Periods().gap(99).longs(3).gap(1));
  EXPECT_EQ(refused.trace(), "");
  EXPECT_EQ(refused.state().state, DecoderState::SEEK_GAP);
}

TEST(GapSearch, SteadyPeriodsStayWithinFiveOfTheAverage) {
  // With t0 at 20, periods 16 to 24 keep the run going and move t0 a twentieth of the way
  // towards them; 15 and 25 break it and leave t0 alone.
  const struct {
    int period;
    int run_count;
    float t0;
  } cases[] = {{15, 0, 20.0f},  {16, 2, 19.8f},  {17, 2, 19.85f}, {19, 2, 19.95f}, {20, 2, 20.0f},
               {21, 2, 20.05f}, {23, 2, 20.15f}, {24, 2, 20.2f},  {25, 0, 20.0f}};
  for (const auto& c : cases) {
    Decoder d;
    d.feed({20, c.period});
    EXPECT_EQ(d.state().run_count, c.run_count) << "period " << c.period;
    EXPECT_FLOAT_EQ(d.state().t0, c.t0) << "period " << c.period;
  }
}

TEST(GapSearch, ABrokenRunStartsAgainAtThePeriodItself) {
  // 30 breaks the run at 20 and leaves t0 alone; the next period starts a new run at its own
  // length, whether or not it lies within five of the old average.
  for (const int next : {22, 26}) {
    Decoder d;
    d.feed({20, 30, next});
    EXPECT_EQ(d.state().run_count, 1) << "period " << next;
    EXPECT_EQ(d.state().t0, static_cast<float>(next)) << "period " << next;
  }
}

TEST(GapSearch, TheAverageIsRoundedAsSinglePrecisionWould) {
  // Every steady period moves t0 to (0.05 * period + 0.95 * t0) rounded to single precision,
  // whatever the way it is computed: checked against that expression for averages on both sides
  // of the powers of two (where the step of single precision changes), for t0 of all sizes, and
  // for runs started by periods too long for single precision.
  std::vector<float> starts;
  for (const float power : {16.0f, 32.0f, 64.0f, 1024.0f, 8388608.0f, 16777216.0f, 1e12f}) {
    for (int k = -40; k <= 40; ++k) starts.push_back(power + static_cast<float>(k) * 0.0625f);
  }
  for (const float start : starts) {
    for (int step = -49; step <= 49; step += 7) {
      GapSearch g{start, 5};
      const auto period = static_cast<std::int64_t>(std::floor(start)) + step / 10;
      const double p = static_cast<double>(period);
      const bool steady = start - 5.0 < p && p < start + 5.0;
      const float expected = steady ? static_cast<float>(0.05 * p + 0.95 * start) : start;
      EXPECT_FALSE(gap_period(g, period));
      EXPECT_EQ(g.t0, static_cast<double>(expected)) << start << " " << period;
      EXPECT_EQ(g.run_count, steady ? 6 : 0) << start << " " << period;
    }
  }
  for (const std::int64_t period : {std::int64_t{16777217}, std::int64_t{123456789012}}) {
    GapSearch g{24.0, 0};
    EXPECT_FALSE(gap_period(g, period));
    EXPECT_EQ(g.t0, static_cast<double>(static_cast<float>(period)));
    EXPECT_EQ(g.run_count, 1);
  }
}

TEST(GapSearch, SilenceCostsOneShortPulse) {
  // After a silence, the silence's own period starts the run and the first short pulse breaks
  // it: 101 short pulses are needed before a long one, 100 are not enough.
  Decoder enough;
  enough.feed(Periods().add(5000).gap(101).longs(2).gap(1));
  EXPECT_EQ(enough.trace(), "LONG:2;t0=36.0;t=24\n");
  Decoder short_by_one;
  short_by_one.feed(Periods().add(5000).gap(100).longs(2).gap(1));
  EXPECT_EQ(short_by_one.trace(), "");
}

TEST(GapSearch, OnlyAPeriodBeyondHalfAsLongAgainEndsTheGap) {
  // After a gap of 24, 36 is exactly 1.5 times the average: it breaks the run like any other
  // unsteady period (32 as well), and the long pulses after it find no gap. 37 ends the gap.
  const struct {
    int period;
    const char* trace;
  } cases[] = {{32, ""}, {36, ""}, {37, "LONG:5;t0=36.0;t=24\n"}};
  for (const auto& c : cases) {
    Decoder d;
    d.feed(Periods().gap(150).add(c.period).longs(4).gap(1));
    EXPECT_EQ(d.trace(), c.trace) << "period " << c.period;
  }
}

// Run counts stop at the largest count instead of overflowing: one below it still counts on,
// at it they stay, and a long enough gap still ends at a long pulse (runs of 2^31 periods are
// set up in the record rather than fed).
TEST(GapSearch, RunCountsStopAtTheLargestCount) {
  Decoder gap;
  gap.feed({24});
  gap.state().run_count = INT32_MAX - 1;
  gap.feed({24});
  EXPECT_EQ(gap.state().run_count, INT32_MAX);
  gap.feed({24});
  EXPECT_EQ(gap.state().run_count, INT32_MAX);
  gap.feed({46, 46, 24});
  EXPECT_EQ(gap.trace(), "LONG:2;t0=36.0;t=24\n");

  Decoder marks;
  marks.feed(Periods().gap(150).longs(1));
  marks.state().run_count = INT32_MAX - 1;
  marks.feed({46, 46, 24});
  EXPECT_EQ(marks.trace(), "LONG:2147483647;t0=36.0;t=24\n");
}

TEST(TapeMark, CountsAndTheirLines) {
  struct Case {
    int longs, shorts;
    const char* trace;
    DecoderState state;
  };
  const Case cases[] = {
      {40, 40, "LONG:40;t0=36.0;t=24\nSHORT40:40\n", DecoderState::READ_HEADER},
      {20, 20, "LONG:20;t0=36.0;t=24\nSHORT20:20\n", DecoderState::READ_BODY},
      {39, 40, "LONG:39;t0=36.0;t=24\n", DecoderState::SEEK_GAP},
      {41, 40, "LONG:41;t0=36.0;t=24\n", DecoderState::SEEK_GAP},
      {40, 20, "LONG:40;t0=36.0;t=24\nSHORT40:20\n", DecoderState::SEEK_GAP},
      {20, 21, "LONG:20;t0=36.0;t=24\nSHORT20:21\n", DecoderState::SEEK_GAP},
  };
  for (const Case& c : cases) {
    Decoder d;
    d.feed(Periods().gap(200).longs(c.longs).gap(c.shorts).longs(1));
    EXPECT_EQ(d.trace(), c.trace) << c.longs << "/" << c.shorts;
    EXPECT_EQ(d.state().state, c.state) << c.longs << "/" << c.shorts;
  }
}

TEST(TapeMark, PeriodEqualToThresholdIsNeitherLongNorShort) {
  Decoder d;
  d.feed(Periods().gap(200).longs(40).add(36));  // t0 is exactly 36.0
  EXPECT_EQ(d.trace(), "LONG:40;t0=36.0;t=36\n");
  d.feed(Periods().gap(39).add(36));
  EXPECT_EQ(d.trace(), "LONG:40;t0=36.0;t=36\nSHORT40:40\n");
}

TEST(BlockReader, HeaderExampleDumpsExactly) {
  // HELLO, body length 300, load and execution address 0x1200: checksum 28.
  Decoder d;
  d.feed(Periods().header(make_header("HELLO", 300)));
  std::string expected =
      "LONG:40;t0=36.0;t=24\nSHORT40:40\n"
      "01 48 45 4C 4C 4F 0D 00 \n00 00 00 00 00 00 00 00 \n"
      "00 00 2C 01 00 12 00 12 \n";
  for (int line = 0; line < 13; ++line) expected += "00 00 00 00 00 00 00 00 \n";
  expected += "00 1C \ncrc=001C\ncrc OK!\n";
  EXPECT_EQ(d.trace(), expected);
  EXPECT_EQ(d.buffers().body_length, 300u);
  EXPECT_EQ(d.state().state, DecoderState::SEEK_GAP);
}

TEST(BlockReader, HeaderIgnoresTheLengthOfItsStartPulses) {
  Periods periods;
  periods.gap(200).longs(40).gap(40).longs(1);
  const Bytes header = with_checksum(make_header("X", 7));
  for (std::uint8_t b : header) {
    periods.gap(1);  // a short start pulse
    for (int bit = 7; bit >= 0; --bit) periods.add((b >> bit & 1) != 0 ? 46 : 24);
  }
  periods.longs(1);
  Decoder d;
  d.feed(periods);
  EXPECT_EQ(d.header_record(), make_header("X", 7));
  EXPECT_NE(d.trace().find("crc OK!"), std::string::npos);
}

TEST(BlockReader, HeaderWithBadChecksumStillGivesTheBodyLength) {
  Bytes block = with_checksum(make_header("BAD", 4096));
  block[129] ^= 1;
  Periods periods;
  periods.gap(200).longs(40).gap(40).longs(1);
  for (std::uint8_t b : block) periods.byte(b);
  periods.longs(1);
  Decoder d;
  d.feed(periods);
  EXPECT_EQ(d.trace(), "LONG:40;t0=36.0;t=24\nSHORT40:40\n" + block_trace(block, false, false));
  EXPECT_EQ(d.buffers().body_length, 4096u);
}

TEST(BlockReader, BodyTraceAndCompletion) {
  for (std::size_t length : {0ul, 1ul, 255ul, 256ul, 300ul}) {
    const Bytes body = testing_support::pattern(length, 9);
    Decoder d;
    const int bodies =
        d.feed(Periods().header(make_header("B", static_cast<std::uint16_t>(length))).body(body));
    EXPECT_EQ(bodies, 1) << length;
    const std::string expected =
        "LONG:40;t0=36.0;t=24\nSHORT40:40\n" +
        block_trace(with_checksum(make_header("B", static_cast<std::uint16_t>(length))), false) +
        "LONG:20;t0=36.0;t=24\nSHORT20:20\n" + block_trace(with_checksum(body), true);
    EXPECT_EQ(d.trace(), expected) << length;
    EXPECT_EQ(d.body(), body) << length;
  }
}

TEST(BlockReader, BodyOf256BytesLeavesAnEmptyLineBeforeItsChecksum) {
  Decoder d;
  d.feed(Periods().header(make_header("B", 256)).body(Bytes(256, 0xFF)));
  const std::string trace = d.trace();
  EXPECT_NE(trace.find("FF FF FF FF FF FF FF FF \n\n08 00 \ncrc=0800\ncrc OK!\n"),
            std::string::npos);
}

TEST(BlockReader, BodyBeforeAnyHeaderIsEmpty) {
  Decoder d;
  EXPECT_EQ(d.feed(Periods().body({})), 1);
  EXPECT_EQ(d.trace(), "LONG:20;t0=36.0;t=24\nSHORT20:20\n00 00 \ncrc=0000\ncrc OK!\n");
}

TEST(BlockReader, LargestBodyFits) {
  const Bytes body = testing_support::pattern(65535, 4);
  Decoder d;
  EXPECT_EQ(d.feed(Periods().header(make_header("BIG", 65535)).body(body)), 1);
  EXPECT_EQ(d.body(), body);
  EXPECT_NE(d.trace().find("crc OK!\nLONG:20"), std::string::npos);
}

// A period reads as a 1 exactly when it is longer than t0, compared in double precision: t0
// whole, with a fraction, below every period and beyond all of them, each period on both sides.
TEST(BlockReader, BitIsOneExactlyWhenThePeriodIsLongerThanT0) {
  struct Row {
    float t0;
    std::vector<std::int64_t> periods;
  };
  const float two_to_40 = 1099511627776.0f;
  const std::int64_t whole_40 = 1099511627776;
  const Row rows[] = {
      {36.0f, {35, 36, 37}},   {36.5f, {36, 37}},
      {36.99f, {36, 37}},      {0.25f, {1, 2}},
      {-3.0f, {1, 6}},         {two_to_40, {whole_40 - 1, whole_40, whole_40 + 1}},
      {1e19f, {1, INT64_MAX}}, {3e38f, {1, INT64_MAX}},
  };
  for (const Row& row : rows) {
    for (std::int64_t period : row.periods) {
      Decoder d;
      d.state().state = DecoderState::READ_HEADER;
      d.state().t0 = row.t0;
      // A start pulse, then the same period for all eight bits.
      d.feed({period});
      for (int bit = 0; bit < 8; ++bit) d.feed({period});
      const bool longer = static_cast<double>(period) > static_cast<double>(row.t0);
      EXPECT_EQ(d.buffers().header[0], longer ? 0xFF : 0x00)
          << "t0 " << row.t0 << ", period " << period;
    }
  }
}

TEST(BlockReader, MissingStartPulseReportsItsTime) {
  Decoder d;
  d.feed(Periods().header(make_header("S", 2)).gap(200).longs(20).gap(20).longs(1));
  d.feed_at(24, 96000);  // a short start pulse: 2.000 s
  d.feed_at(36, 96024);  // equal to t0 is not long: 2.0005 s prints as 2.001
  EXPECT_EQ(d.state().bit_index, 0);
  const std::string trace = d.trace();
  EXPECT_NE(trace.find("SHORT20:20\n\nchyba synchronizace 2.000s !!!\n"
                       "\nchyba synchronizace 2.001s !!!\n"),
            std::string::npos);
  // The next long pulse is taken as the start pulse and the body is read from there.
  Periods rest;
  rest.block({0x12, 0x34}).longs(1);
  EXPECT_EQ(d.feed(rest), 1);
  EXPECT_EQ(d.body(), (Bytes{0x12, 0x34}));
}

TEST(LoaderRelay, LoaderAndItsProgramGiveOneBody) {
  const Bytes program = testing_support::pattern(500, 8);
  Decoder d;
  EXPECT_EQ(d.feed(Periods().header(loader_header())), 0);
  EXPECT_TRUE(d.buffers().loader_pending);
  EXPECT_EQ(d.feed(Periods().body(loader_body(500, 0x1200, 0x1234))), 0);
  EXPECT_FALSE(d.buffers().loader_pending);
  EXPECT_NE(d.trace().find("crc OK!\n"), d.trace().rfind("crc OK!\n"));  // loader body checked
  EXPECT_EQ(d.feed(Periods().body(program)), 1);
  Bytes expected_header = loader_header();
  const Bytes relayed = loader_body(500, 0x1200, 0x1234);
  std::copy(relayed.begin() + 77, relayed.end(), expected_header.begin() + 18);
  EXPECT_EQ(d.header_record(), expected_header);
  EXPECT_EQ(d.body(), program);
}

TEST(LoaderRelay, NearMissIsAnOrdinaryHeader) {
  // Every byte of the signature counts, the high bytes of the words as much as the low ones.
  const struct {
    std::uint16_t length, load, exec;
  } near_misses[] = {{91, 0xD400, 0xD400}, {0x015A, 0xD400, 0xD400}, {90, 0xD401, 0xD400},
                     {90, 0xD500, 0xD400}, {90, 0xD400, 0xD401},     {90, 0xD400, 0x1400}};
  for (const auto& m : near_misses) {
    Decoder d;
    d.feed(Periods().header(make_header("NEAR", m.length, m.load, m.exec)));
    EXPECT_FALSE(d.buffers().loader_pending) << m.length << " " << m.load << " " << m.exec;
  }
  Decoder d;
  d.feed(Periods().header(make_header("NEAR", 90, 0xD400, 0x1400)));
  EXPECT_EQ(d.feed(Periods().body(Bytes(90, 1))), 1);
}

TEST(LoaderRelay, LaterHeaderCancelsTheLoader) {
  Decoder d;
  d.feed(Periods().header(loader_header()).header(make_header("NEXT", 3)));
  EXPECT_FALSE(d.buffers().loader_pending);
  EXPECT_EQ(d.feed(Periods().body({7, 8, 9})), 1);
  EXPECT_EQ(d.header_record(), make_header("NEXT", 3));
}

namespace {

// A decoder fed through on_crossings() in batches of `batch` periods (the crossings 30 samples
// apart, as Decoder numbers them), the way the driver feeds it. Returns the trace, the programs
// completed (their bodies) and the final record.
struct BatchRun {
  std::string trace;
  std::vector<Bytes> bodies;
};

BatchRun feed_in_batches(const std::vector<std::int64_t>& periods, std::size_t batch) {
  Decoder decoder;
  std::vector<Crossing> crossings;
  for (std::size_t start = 0; start < periods.size(); start += batch) {
    const std::size_t count = std::min(batch, periods.size() - start);
    crossings.clear();
    for (std::size_t i = 0; i < count; ++i)
      crossings.push_back({periods[start + i], static_cast<std::uint32_t>(30 * i + 29)});
    decoder.take(crossings.data(), count, static_cast<std::int64_t>(30 * start));
  }
  return {decoder.trace(), decoder.completed()};
}

}  // namespace

// A tape with a loader, a program of more than 256 bytes, a missing start pulse and a bad
// checksum, fed in batches of every size from 1 to 700 periods: the trace and the programs
// are exactly those of one on_period() call per period, wherever the batches end.
TEST(Batches, EveryBatchSizeGivesTheTraceOfSinglePeriods) {
  Periods tape;
  tape.header(loader_header()).body(loader_body(300, 0x1200, 0x1234));
  tape.body(testing_support::pattern(300, 4));
  tape.header(make_header("SYNC", 3)).gap(200).longs(20).gap(20).longs(1);
  tape.add(24).block({1, 2, 3}).longs(1);  // a short start pulse first
  Bytes bad = with_checksum({9, 8, 7});
  bad.back() ^= 1;
  tape.header(make_header("BAD", 3)).gap(200).longs(20).gap(20).longs(1);
  for (std::uint8_t b : bad) tape.byte(b);
  tape.longs(1).gap(150);

  Decoder single;
  const int completed = single.feed(tape);
  ASSERT_EQ(completed, 3);
  const std::string expected = single.trace();
  ASSERT_NE(expected.find("chyba synchronizace"), std::string::npos);
  for (std::size_t batch = 1; batch <= 700; ++batch) {
    const BatchRun run = feed_in_batches(tape.list, batch);
    ASSERT_EQ(run.trace, expected) << "batch " << batch;
    ASSERT_EQ(run.bodies.size(), 3u) << "batch " << batch;
    EXPECT_EQ(run.bodies[0], testing_support::pattern(300, 4)) << "batch " << batch;
    EXPECT_EQ(run.bodies[1], (Bytes{1, 2, 3})) << "batch " << batch;
  }
}

namespace {

// Runs raw bytes through the detector and the decoder: with `chunk` 0 one sample at a time with
// the reference detector, otherwise through the converter in pieces of `chunk` bytes (where the
// converter lets the decoder ride on the detector). Returns the trace with the bodies of the
// completed programs appended.
std::string detect_and_decode(const Bytes& raw, std::size_t chunk) {
  Decoder decoder;
  if (chunk == 0) {
    PulseDetector detector;
    pulse_detector_init(detector);
    for (std::size_t i = 0; i < raw.size(); ++i) {
      std::int64_t period = 0;
      if (!feed(detector, static_cast<std::uint8_t>(~raw[i]), &period)) continue;
      decoder.keep_if_complete(decoder.feed_at(period, static_cast<std::int64_t>(i + 1)));
    }
  } else {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* trace = open_memstream(&text, &size);
    const auto converter = std::make_unique<Converter>();
    converter_init(*converter, trace);
    std::vector<Bytes> bodies;
    const ProgramSink keep{[](void* list, const ProgramView& program) {
                             static_cast<std::vector<Bytes>*>(list)->emplace_back(
                                 program.body, program.body + program.body_length);
                             return 0;
                           },
                           &bodies};
    for (std::size_t start = 0; start < raw.size(); start += chunk) {
      converter_feed(*converter, raw.data() + start, std::min(chunk, raw.size() - start), keep);
    }
    converter_finish(*converter, keep);
    std::fclose(trace);
    std::string result(text, size);
    std::free(text);
    for (const Bytes& body : bodies) result.append(body.begin(), body.end());
    return result;
  }
  std::string result = decoder.trace();
  for (const Bytes& body : decoder.completed()) result.append(body.begin(), body.end());
  return result;
}

}  // namespace

// The decoder taking each crossing as the detector finds it gives the trace and the programs of
// the crossings handed to it afterwards, wherever the reads end: in a gap, in the crossing that
// ends it, in a tape mark, in a block, in the period that completes a program or a loader, at a
// missing start pulse or in a second copy.
TEST(DecoderRide, SameAsCrossingsHandedToTheDecoder) {
  tapesynth::SynthOptions options = testing_support::quick_options();
  options.noise = 6;
  tapesynth::Recorder recorder(options);
  recorder.program(testing_support::make_program("FIRST", testing_support::pattern(300, 1)));
  // A loader, then the body it announces, without a header of its own.
  recorder.program({loader_header(), loader_body(300, 0x1200, 0x1234)});
  recorder.pulses(false, options.short_gap);
  recorder.tape_mark(BODY_MARK_PULSES);
  recorder.pulse(true);
  recorder.block(testing_support::pattern(300, 2));
  recorder.pulse(true);
  // A body whose first start pulse is short.
  testing_support::record_until_body(recorder, make_header("SYNC", 3));
  recorder.pulse(false);
  recorder.block({1, 2, 3});
  recorder.pulse(true);
  recorder.silence(0.1);
  const Bytes& raw = recorder.samples();
  const std::string expected = detect_and_decode(raw, 0);
  // The three programs were read: the relayed body among them, the short start pulse reported.
  const Bytes relayed = testing_support::pattern(300, 2);
  ASSERT_NE(expected.find(std::string(relayed.begin(), relayed.end())), std::string::npos);
  ASSERT_EQ(expected.substr(expected.size() - 3), "\x01\x02\x03");
  ASSERT_NE(expected.find("chyba synchronizace"), std::string::npos);
  for (std::size_t chunk : {1ul, 7ul, 63ul, 64ul, 65ul, 500ul, 2048ul, 4096ul, 100000ul}) {
    EXPECT_EQ(detect_and_decode(raw, chunk), expected) << "reads of " << chunk;
  }
}
