// The worn-tape reader on recordings made by tapesynth in memory: one stress axis per table
// (level, DC offset, noise, speed, drift, rate, polarity, dropouts, missing copies, tape mark
// runs, gap runs, periods at the gap-end and glitch limits), loaders, the level of odd samples,
// empty recordings, chunking, the choice among channels, and the identity with
// mzfextract on clean recordings of the corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "reader/tape_reader.h"
#include "signal/pulse_detector.h"
#include "tape/tape_decoder.h"
#include "tests/test_support.h"

#ifdef MZFSCAN_APP
#include "audio/audio_input.h"
#include "run/mzfscan_run.h"
#endif

using namespace testing_support;
using mzfscan::ChannelReader;
using mzfscan::TapeReading;

namespace {

// Short gaps keep the recordings small: the reader needs about a hundred steady pulses.
tapesynth::SynthOptions quick(int rate = 44100) {
  return quick_options(rate, 400, 300, 0.3);
}

std::vector<tapesynth::Program> two_programs() {
  return {make_program("FIRST", pattern(300, 1)), make_program("SECOND", pattern(41, 2))};
}

// Feeds `frames` interleaved frames of `channels` channels, channel `channel` (0-based), in
// chunks whose sizes cycle through `chunks` (odd sizes on purpose), and finishes the reading.
std::unique_ptr<ChannelReader> scan(const std::vector<float>& samples, int rate, int channels = 1,
                                    int channel = 0,
                                    std::vector<std::size_t> chunks = {4097, 1, 333, 8191, 7}) {
  auto scanner = std::make_unique<ChannelReader>();
  mzfscan::channel_reader_init(*scanner, rate);
  const auto stride = static_cast<std::size_t>(channels);
  const std::size_t frames = samples.size() / stride;
  std::size_t at = 0;
  for (std::size_t i = 0; at < frames; ++i) {
    const std::size_t n = std::min(chunks[i % chunks.size()], frames - at);
    mzfscan::channel_reader_feed(*scanner, samples.data() + at * stride + channel, n, stride);
    at += n;
  }
  mzfscan::channel_reader_finish(*scanner);
  return scanner;
}

std::unique_ptr<ChannelReader> scan_tape(const std::vector<tapesynth::Program>& programs,
                                         const tapesynth::SynthOptions& o) {
  const tapesynth::Recorder recorder = tapesynth::record_tape(programs, o);
  return scan(tapesynth::render_float(recorder, o), o.sample_rate, o.channels,
              o.signal_channel - 1);
}

const TapeReading& reading(const ChannelReader& s, bool falling = true) {
  return mzfscan::channel_reader_reading(
      s, falling ? mzfscan::POLARITY_FALLING : mzfscan::POLARITY_RISING);
}

Bytes header_of(const mzfscan::ScannedProgram& p) {
  return Bytes(p.header, p.header + 128);
}

// Every program read exactly, with both copies of every block verified.
void expect_clean(const TapeReading& r, const std::vector<tapesynth::Program>& programs,
                  const std::string& label) {
  ASSERT_EQ(r.programs.size(), programs.size()) << label;
  for (std::size_t i = 0; i < programs.size(); ++i) {
    EXPECT_EQ(header_of(r.programs[i]), programs[i].header) << label << " program " << i;
    EXPECT_EQ(r.programs[i].body, programs[i].body) << label << " program " << i;
    EXPECT_EQ(r.programs[i].header_verdict, mzfscan::VERDICT_OK) << label;
    EXPECT_EQ(r.programs[i].body_verdict, mzfscan::VERDICT_OK) << label;
  }
  EXPECT_EQ(r.verified_blocks, static_cast<int>(4 * programs.size())) << label;
}

// A program as Recorder::program() records it, with `body_flip` XORed into the checksum of
// both body copies.
void record_program(tapesynth::Recorder& recorder, const tapesynth::Program& p,
                    std::uint16_t body_flip) {
  recorder.pulses(false, 300);
  recorder.tape_mark(40);
  recorder.pulse(true);
  for (int copy = 0; copy < 2; ++copy) {
    if (copy == 1) recorder.pulses(false, 256);
    recorder.block(p.header);
    recorder.pulse(true);
  }
  recorder.pulses(false, 300);
  recorder.tape_mark(20);
  recorder.pulse(true);
  for (int copy = 0; copy < 2; ++copy) {
    if (copy == 1) recorder.pulses(false, 256);
    recorder.block(p.body, static_cast<std::uint16_t>(tapesynth::checksum_of(p.body) ^ body_flip));
    recorder.pulse(true);
  }
}

TEST(ScanLevel, DecodesDownToMinus40dBAt16Bits) {
  for (double db : {0.0, -6.0, -20.0, -40.0}) {
    tapesynth::SynthOptions o = quick();
    o.format = tapesynth::SampleFormat::S16;
    o.amplitude = 127.9 * std::pow(10.0, db / 20);
    const auto s = scan_tape(two_programs(), o);
    expect_clean(reading(*s), two_programs(), "level " + std::to_string(db) + " dB");
    const mzfscan::SignalLevel level = mzfscan::channel_reader_level(*s);
    EXPECT_NEAR(level.peak, std::pow(10.0, db / 20), 0.01 * std::pow(10.0, db / 20)) << db;
  }
}

TEST(ScanDcOffset, FollowsTheMidLevel) {
  for (double offset : {-60.0, -20.0, 20.0, 60.0}) {
    tapesynth::SynthOptions o = quick();
    o.amplitude = 60;
    o.dc_offset = offset;
    const auto s = scan_tape(two_programs(), o);
    expect_clean(reading(*s), two_programs(), "offset " + std::to_string(offset));
    EXPECT_NEAR(mzfscan::channel_reader_level(*s).dc, offset / 128, 0.02) << offset;
    // The largest magnitude lies on the side of the offset: below the mid level when negative.
    EXPECT_NEAR(mzfscan::channel_reader_level(*s).peak, (60 + std::fabs(offset)) / 128, 1e-6)
        << offset;
  }
}

TEST(ScanNoise, ReadsThroughNoise) {
  for (double noise : {5.0, 15.0, 30.0}) {
    tapesynth::SynthOptions o = quick();
    o.noise = noise;
    o.seed = 7;
    expect_clean(reading(*scan_tape(two_programs(), o)), two_programs(),
                 "noise " + std::to_string(noise));
  }
}

TEST(ScanSpeed, FollowsTapeSpeedAndReportsIt) {
  for (double speed : {0.9, 0.95, 1.05, 1.1}) {
    tapesynth::SynthOptions o = quick();
    o.speed = speed;
    const auto s = scan_tape(two_programs(), o);
    const std::string label = "speed " + std::to_string(speed);
    expect_clean(reading(*s), two_programs(), label);
    EXPECT_NEAR(reading(*s).speed_percent, (speed - 1) * 100, 0.5) << label;
    EXPECT_NEAR(reading(*s).short_us, 504 / speed, 5) << label;
    EXPECT_NEAR(reading(*s).long_us, 958 / speed, 8) << label;
  }
}

TEST(ScanDrift, FollowsSlowSpeedDrift) {
  // The first program's body lasts about 4 s: several cycles of drift inside one block.
  for (double drift : {5.0, 10.0}) {
    for (double period : {1.0, 3.0}) {
      tapesynth::SynthOptions o = quick();
      o.drift = drift;
      o.drift_period = period;
      expect_clean(reading(*scan_tape(two_programs(), o)), two_programs(),
                   "drift " + std::to_string(drift) + " period " + std::to_string(period));
    }
  }
}

// Flutter of 10 Hz changes the speed by up to a percent from one pulse to the next, and by a
// third within the long pulses of one tape mark: the clusters follow it from a gap's end on.
TEST(ScanFlutter, FollowsFastFlutterFromEachGapOn) {
  for (double flutter : {10.0, 20.0, 25.0}) {
    for (std::uint64_t seed : {1, 2, 3}) {
      tapesynth::SynthOptions o = quick();
      o.flutter = flutter;
      o.flutter_hz = 10;
      o.noise = 2;
      o.seed = seed;
      expect_clean(reading(*scan_tape(two_programs(), o)), two_programs(),
                   "flutter " + std::to_string(flutter) + " seed " + std::to_string(seed));
    }
  }
}

TEST(ScanRate, ReadsAtEveryRate) {
  for (int rate : {11025, 22050, 44100, 48000, 96000}) {
    const auto s = scan_tape(two_programs(), quick(rate));
    expect_clean(reading(*s), two_programs(), "rate " + std::to_string(rate));
    // Times are real: the first header's mark starts after 0.1 s of silence and the gap.
    const double mark = 0.1 + 400 * 504e-6;
    EXPECT_NEAR(reading(*s).programs[0].time_seconds, mark, 0.002) << rate;
  }
}

TEST(ScanPolarity, TheMatchingPolarityVerifiesAndWins) {
  for (bool falling : {true, false}) {
    tapesynth::SynthOptions o = quick();
    o.falling_first = falling;
    const auto s = scan_tape(two_programs(), o);
    const TapeReading& right = reading(*s, falling);
    const TapeReading& wrong = reading(*s, !falling);
    expect_clean(right, two_programs(), falling ? "falling" : "rising");
    EXPECT_EQ(wrong.verified_blocks, 0) << falling;
    EXPECT_GT(right.separation, wrong.separation + 0.05) << falling;
    EXPECT_TRUE(mzfscan::better_reading(right, wrong)) << falling;
    EXPECT_FALSE(mzfscan::better_reading(wrong, right)) << falling;
  }
}

TEST(ScanPolarity, SeparationDecidesATie) {
  TapeReading clean{}, blurred{};
  clean.verified_blocks = blurred.verified_blocks = 3;
  clean.separation = 0.99;
  blurred.separation = 0.8;
  EXPECT_TRUE(mzfscan::better_reading(clean, blurred));
  EXPECT_FALSE(mzfscan::better_reading(blurred, clean));
  EXPECT_FALSE(mzfscan::better_reading(clean, clean));  // a tie keeps the reading chosen first
  blurred.verified_blocks = 4;  // more verified blocks win whatever the separation
  EXPECT_TRUE(mzfscan::better_reading(blurred, clean));
}

// A body read before its header was known verifies at any length where it holds only zeros: once
// the header is verified, a body of another length than it gives is damaged, one of its length
// is kept, and nothing is judged while the header is not verified.
TEST(ScanVerdicts, ABodyMustHaveItsHeadersLength) {
  struct Case {
    int header_verdict;
    std::size_t body_bytes;
    int body_verdict;  // after the check
  };
  const Case cases[] = {
      {mzfscan::VERDICT_OK, 5, mzfscan::VERDICT_DAMAGED},
      {mzfscan::VERDICT_OK, 299, mzfscan::VERDICT_DAMAGED},
      {mzfscan::VERDICT_OK, 300, mzfscan::VERDICT_OK},
      {mzfscan::VERDICT_OK, 301, mzfscan::VERDICT_DAMAGED},
      {mzfscan::VERDICT_DAMAGED, 5, mzfscan::VERDICT_OK},
  };
  for (const Case& c : cases) {
    mzfscan::ScannedProgram p{};
    const Bytes header = make_header("Z", 300);
    std::copy(header.begin(), header.end(), p.header);
    p.header_verdict = c.header_verdict;
    p.body.assign(c.body_bytes, 0);
    p.body_verdict = mzfscan::VERDICT_OK;
    mzfscan::check_body_length(p);
    EXPECT_EQ(p.body_verdict, c.body_verdict) << c.body_bytes << " bytes";
  }
}

// A body whose header is not known is read until its framing breaks and taken at a length that
// verifies. Zeros verify at any length, but an empty block never does: a long pulse and two bytes'
// worth of short ones, as anywhere in a gap, read as a checksum of zero.
TEST(ScanVerdicts, ABodyOfUnknownLengthVerifiesOnlyWithData) {
  struct Case {
    const char* label;
    Bytes bytes;  // recorded after the body's tape mark, each a start pulse and eight bits
    bool verified;
  };
  const Case cases[] = {
      {"two zero bytes", {0, 0}, false},
      {"a zero byte and its checksum", {0, 0, 0}, true},
      {"a byte and its checksum", {0x81, 0, 2}, true},
  };
  for (const Case& c : cases) {
    const tapesynth::SynthOptions o = quick();
    tapesynth::Recorder recorder(o);
    recorder.pulses(false, 300);
    recorder.tape_mark(20);
    recorder.pulse(true);
    for (const std::uint8_t b : c.bytes) recorder.byte(b);
    recorder.pulses(false, 300);
    const auto s = scan(tapesynth::render_float(recorder, o), o.sample_rate);
    const TapeReading& r = reading(*s);
    ASSERT_EQ(r.programs.size(), 1U) << c.label;
    EXPECT_EQ(r.verified_blocks, c.verified ? 1 : 0) << c.label;
    EXPECT_EQ(mzfscan::verdict_verified(r.programs[0].body_verdict), c.verified) << c.label;
    if (c.verified) {
      EXPECT_EQ(r.programs[0].body, Bytes(1, c.bytes[0])) << c.label;
    }
  }
}

// Where no reading verified a block (a tape in deep noise beside a channel of noise alone), the
// channel whose pulses clearly look like the tape's is read again, whatever the separation;
// pulses alike leave it to the separation, and a verified block still wins. Between the
// polarities of one channel the separation alone decides.
TEST(ScanChannels, WhereNothingVerifiesPulsesLikeTheTapesWin) {
  const auto readings = [](double tape_share) {
    TapeReading r{};
    const auto at = [](double us) { return static_cast<int>(us / mzfscan::HISTOGRAM_BIN_US); };
    r.histogram[at(504)] = static_cast<std::uint64_t>(1000 * tape_share);
    r.histogram[at(330)] = static_cast<std::uint64_t>(1000 * (1 - tape_share));
    return r;
  };
  TapeReading tape = readings(0.6), noise = readings(0.3);
  noise.separation = 0.5;
  tape.separation = 0.1;
  EXPECT_TRUE(mzfscan::better_channel_reading(tape, noise));
  EXPECT_FALSE(mzfscan::better_channel_reading(noise, tape));
  EXPECT_TRUE(mzfscan::better_reading(noise, tape));  // polarities of one channel
  TapeReading alike = readings(0.52);                 // within a tenth: the separation decides
  alike.separation = 0.5;
  EXPECT_TRUE(mzfscan::better_channel_reading(alike, tape));
  TapeReading less = readings(0.48);  // just past a tenth: the pulse lengths decide
  less.separation = 0.5;
  EXPECT_FALSE(mzfscan::better_channel_reading(less, tape));
  EXPECT_TRUE(mzfscan::better_channel_reading(tape, less));
  noise.verified_blocks = 1;
  EXPECT_TRUE(mzfscan::better_channel_reading(noise, tape));
}

TEST(ScanChannels, ReadsTheSignalChannelOfInterleavedFrames) {
  tapesynth::SynthOptions o = quick(22050);
  o.channels = 3;
  o.signal_channel = 2;
  o.noise = 3;
  o.format = tapesynth::SampleFormat::F32;
  const tapesynth::Recorder recorder = tapesynth::record_tape(two_programs(), o);
  const std::vector<float> frames = tapesynth::render_float(recorder, o);
  expect_clean(reading(*scan(frames, o.sample_rate, 3, 1)), two_programs(), "channel 2");
  for (int silent : {0, 2}) {
    const auto s = scan(frames, o.sample_rate, 3, silent);
    EXPECT_TRUE(reading(*s).programs.empty()) << silent;
    EXPECT_EQ(reading(*s).verified_blocks + reading(*s, false).verified_blocks, 0) << silent;
  }
}

// Dropouts in chosen copies of every program, and the verdicts they must give.
struct DropoutCase {
  std::vector<tapesynth::CopyId> copies;
  int header_verdict, body_verdict, verified_blocks;
};

TEST(ScanDropouts, SecondCopiesRescueAndDamageIsNeverVerified) {
  using tapesynth::CopyId;
  const DropoutCase cases[] = {
      {{CopyId::HEADER1}, mzfscan::VERDICT_COPY, mzfscan::VERDICT_OK, 3},
      {{CopyId::BODY1}, mzfscan::VERDICT_OK, mzfscan::VERDICT_COPY, 3},
      {{CopyId::HEADER2, CopyId::BODY2}, mzfscan::VERDICT_OK, mzfscan::VERDICT_OK, 2},
      {{CopyId::HEADER1, CopyId::BODY1}, mzfscan::VERDICT_COPY, mzfscan::VERDICT_COPY, 2},
      {{CopyId::BODY1, CopyId::BODY2}, mzfscan::VERDICT_OK, mzfscan::VERDICT_DAMAGED, 2},
      {{CopyId::HEADER1, CopyId::HEADER2}, mzfscan::VERDICT_DAMAGED, mzfscan::VERDICT_OK, 2},
  };
  for (double start : {0.1, 0.5, 0.9}) {
    for (const DropoutCase& c : cases) {
      tapesynth::SynthOptions o = quick();
      for (CopyId copy : c.copies) o.dropouts.push_back({copy, start, 25});
      const std::vector<tapesynth::Program> programs = two_programs();
      const auto s = scan_tape(programs, o);
      const TapeReading& r = reading(*s);
      const std::string label =
          "case " + std::to_string(&c - cases) + " at " + std::to_string(start);
      ASSERT_EQ(r.programs.size(), programs.size()) << label;
      EXPECT_EQ(r.verified_blocks, static_cast<int>(c.verified_blocks * programs.size())) << label;
      for (std::size_t i = 0; i < programs.size(); ++i) {
        const mzfscan::ScannedProgram& p = r.programs[i];
        EXPECT_EQ(p.header_verdict, c.header_verdict) << label;
        EXPECT_EQ(p.body_verdict, c.body_verdict) << label;
        // What verified is exact; a damaged header's body is still found by its extent.
        if (c.header_verdict != mzfscan::VERDICT_DAMAGED) {
          EXPECT_EQ(header_of(p), programs[i].header) << label;
        }
        if (c.body_verdict != mzfscan::VERDICT_DAMAGED) {
          EXPECT_EQ(p.body, programs[i].body) << label;
        } else {
          EXPECT_EQ(p.body.size(), programs[i].body.size()) << label;
          EXPECT_NE(p.body, programs[i].body) << label;
        }
      }
      // Every copy is on the timeline, in order, verified only when its checksum matched.
      ASSERT_EQ(r.copies.size(), 4 * programs.size()) << label;
      int verified = 0;
      for (std::size_t k = 0; k < r.copies.size(); ++k) {
        EXPECT_EQ(r.copies[k].is_header, k % 4 < 2) << label;
        EXPECT_EQ(r.copies[k].copy, static_cast<int>(k % 2) + 1) << label;
        EXPECT_LT(r.copies[k].start_seconds, r.copies[k].end_seconds) << label;
        if (k > 0) {
          EXPECT_LE(r.copies[k - 1].end_seconds, r.copies[k].start_seconds) << label;
        }
        verified += r.copies[k].outcome == mzfscan::COPY_VERIFIED ||
                            r.copies[k].outcome == mzfscan::COPY_CONFLICT ||
                            r.copies[k].outcome == mzfscan::COPY_UNCONFIRMED
                        ? 1
                        : 0;
      }
      EXPECT_EQ(verified, r.verified_blocks) << label;
    }
  }
}

TEST(ScanDropouts, ABadChecksumInTheFirstCopyIsTakenFromTheSecond) {
  const tapesynth::Program p = make_program("BADSUM", pattern(120, 9));
  tapesynth::Recorder recorder(quick());
  recorder.silence(0.1);
  record_until_body(recorder, p.header);
  recorder.block(p.body, static_cast<std::uint16_t>(tapesynth::checksum_of(p.body) + 1));
  recorder.pulse(true);
  recorder.pulses(false, 256);
  recorder.block(p.body);
  recorder.pulse(true);
  recorder.silence(0.1);
  const auto s = scan(tapesynth::render_float(recorder, quick()), 44100);
  ASSERT_EQ(reading(*s).programs.size(), 1U);
  EXPECT_EQ(reading(*s).programs[0].body_verdict, mzfscan::VERDICT_COPY);
  EXPECT_EQ(reading(*s).programs[0].body, p.body);
}

TEST(ScanDropouts, ADamagedBlockComesFromTheMoreCompleteCopyAndOnATieFromTheFirst) {
  const tapesynth::Program p = make_program("TIE", pattern(120, 21));
  Bytes second = p.body;
  second[10] ^= 0xFF;
  // Both copies fail their checksums; the first is whole, or cut by a dropout.
  for (const bool first_cut : {false, true}) {
    tapesynth::Recorder recorder(quick());
    recorder.silence(0.1);
    record_until_body(recorder, p.header);
    if (first_cut) recorder.drop_next_block(0.5, 25);
    for (const Bytes* copy : {&p.body, static_cast<const Bytes*>(&second)}) {
      recorder.block(*copy, static_cast<std::uint16_t>(tapesynth::checksum_of(*copy) ^ 1));
      recorder.pulse(true);
      recorder.pulses(false, 256);
    }
    recorder.silence(0.1);
    const auto s = scan(tapesynth::render_float(recorder, quick()), 44100);
    ASSERT_EQ(reading(*s).programs.size(), 1U) << first_cut;
    EXPECT_EQ(reading(*s).programs[0].body_verdict, mzfscan::VERDICT_DAMAGED) << first_cut;
    EXPECT_EQ(reading(*s).programs[0].body, first_cut ? second : p.body) << first_cut;
  }
}

// One program recorded part by part, so that any part can be made unusual: the runs of its gaps
// and tape marks, the first header copy's checksum, the first body copy, the second body copy.
struct Layout {
  int leader = 300;               // short pulses before the header mark
  int header_mark[2] = {40, 40};  // long pulses, then short ones
  int body_mark[2] = {20, 20};
  int repeat_gap = 256;       // short pulses before each second copy
  bool bad_header1 = false;   // the first header copy fails its checksum
  double body1_dropout = -1;  // where a dropout cuts the first body copy (-1: nowhere)
  bool second_body = true;    // the body's second copy is recorded
  double tail = 0.1;          // seconds of silence that end the recording
};

struct LayoutCase {
  const char* what;
  Layout layout;
  int header_verdict, body_verdict;
};

constexpr int OK = mzfscan::VERDICT_OK, COPY = mzfscan::VERDICT_COPY,
              DAMAGED = mzfscan::VERDICT_DAMAGED, MISSING = mzfscan::VERDICT_MISSING,
              TRUNCATED = mzfscan::VERDICT_TRUNCATED;

void expect_layout_verdicts(const std::vector<LayoutCase>& cases) {
  const tapesynth::Program p = make_program("LAYOUT", pattern(300, 17));
  for (const LayoutCase& c : cases) {
    const Layout& l = c.layout;
    tapesynth::Recorder recorder(quick());
    recorder.silence(0.1);
    recorder.pulses(false, l.leader);
    recorder.pulses(true, l.header_mark[0]);
    recorder.pulses(false, l.header_mark[1]);
    recorder.pulse(true);
    recorder.block(p.header, static_cast<std::uint16_t>(tapesynth::checksum_of(p.header) ^
                                                        (l.bad_header1 ? 1 : 0)));
    recorder.pulse(true);
    recorder.pulses(false, l.repeat_gap);
    recorder.block(p.header);
    recorder.pulse(true);
    recorder.pulses(false, 300);
    recorder.pulses(true, l.body_mark[0]);
    recorder.pulses(false, l.body_mark[1]);
    recorder.pulse(true);
    if (l.body1_dropout >= 0) recorder.drop_next_block(l.body1_dropout, 25);
    recorder.block(p.body);
    recorder.pulse(true);
    if (l.second_body) {
      recorder.pulses(false, l.repeat_gap);
      recorder.block(p.body);
      recorder.pulse(true);
    }
    recorder.silence(l.tail);
    const auto s = scan(tapesynth::render_float(recorder, quick()), 44100);
    const TapeReading& r = reading(*s);
    ASSERT_EQ(r.programs.size(), 1U) << c.what;
    EXPECT_EQ(r.programs[0].header_verdict, c.header_verdict) << c.what;
    EXPECT_EQ(r.programs[0].body_verdict, c.body_verdict) << c.what;
    // What verified is exact.
    if (c.header_verdict <= COPY) {
      EXPECT_EQ(header_of(r.programs[0]), p.header) << c.what;
    }
    if (c.body_verdict <= COPY) {
      EXPECT_EQ(r.programs[0].body, p.body) << c.what;
    }
  }
}

TEST(ScanDropouts, AFirstCopyWithoutASecondIsDamagedNotMissing) {
  expect_layout_verdicts({
      {"first body copy only", {.second_body = false}, OK, OK},
      {"first body copy only, cut", {.body1_dropout = 0.5, .second_body = false}, OK, DAMAGED},
      // A recording that ends less than half a second after a broken first copy may have cut
      // off the second; one that goes on longer shows there was none.
      {"broken at its end, 0.3 s more",
       {.body1_dropout = 0.98, .second_body = false, .tail = 0.3},
       OK,
       TRUNCATED},
      {"broken at its end, 0.7 s more",
       {.body1_dropout = 0.98, .second_body = false, .tail = 0.7},
       OK,
       DAMAGED},
  });
}

TEST(ScanMarks, AMarkIsRecognisedUpToThreePulsesOff) {
  expect_layout_verdicts({
      {"three off", {.header_mark = {43, 37}, .body_mark = {17, 23}}, OK, OK},
      {"three off the other way", {.header_mark = {37, 43}, .body_mark = {23, 17}}, OK, OK},
      {"header longs +4", {.header_mark = {44, 40}}, MISSING, OK},
      {"header longs -4", {.header_mark = {36, 40}}, MISSING, OK},
      {"header shorts +4", {.header_mark = {40, 44}}, MISSING, OK},
      {"header shorts -4", {.header_mark = {40, 36}}, MISSING, OK},
      {"body longs +4", {.body_mark = {24, 20}}, OK, MISSING},
      {"body longs -4", {.body_mark = {16, 20}}, OK, MISSING},
      {"body shorts +4", {.body_mark = {20, 24}}, OK, MISSING},
      {"body shorts -4", {.body_mark = {20, 16}}, OK, MISSING},
  });
}

TEST(ScanGaps, ALeaderNeedsAHundredPulsesARepeatGapSixtyFour) {
  // Without a leader to learn from, the header is missed (the repeat gap after it teaches the
  // pulses, in time for the body); without a repeat gap, the second copy is.
  expect_layout_verdicts({
      {"leader of 110", {.leader = 110}, OK, OK},
      {"leader of 90", {.leader = 90}, MISSING, OK},
      {"repeat gap of 70", {.repeat_gap = 70, .bad_header1 = true}, COPY, OK},
      {"repeat gap of 58", {.repeat_gap = 58, .bad_header1 = true}, DAMAGED, OK},
  });
}

TEST(ScanGaps, AShortRunOfOnesAfterARepeatGapIsNoCopy) {
  // After a repeat gap, long pulses read as bytes of ones: fewer than eight such bytes are the
  // long half of a tape mark, forgotten; eight are a copy, damaged.
  const tapesynth::Program p = make_program("ONES", pattern(20, 6));
  for (const int bytes : {1, 7, 8}) {
    tapesynth::Recorder recorder(quick());
    recorder.silence(0.1);
    recorder.pulses(false, 300);
    recorder.tape_mark(40);
    recorder.pulse(true);
    recorder.block(p.header);
    recorder.pulse(true);
    recorder.pulses(false, 256);
    recorder.pulses(true, 9 * bytes);
    recorder.pulses(false, 10);
    recorder.silence(0.1);
    const auto s = scan(tapesynth::render_float(recorder, quick()), 44100);
    const TapeReading& r = reading(*s);
    ASSERT_EQ(r.programs.size(), 1U) << bytes;
    ASSERT_EQ(r.copies.size(), bytes < 8 ? 1U : 2U) << bytes;
    if (bytes < 8) {
      EXPECT_EQ(r.programs[0].header_verdict, OK) << bytes;
    }
    EXPECT_EQ(r.copies[0].outcome, mzfscan::COPY_VERIFIED) << bytes;
  }
}

// Periods of whole samples as a recording: each a pulse at half of full scale, low half first
// (the shorter half of an odd period), between 0.1 s of silence.
std::vector<float> render_periods(const Periods& periods, int rate) {
  std::vector<float> out(static_cast<std::size_t>(rate / 10), 0.0F);
  for (const std::int64_t period : periods.list) {
    out.insert(out.end(), static_cast<std::size_t>(period / 2), -0.5F);
    out.insert(out.end(), static_cast<std::size_t>(period - period / 2), 0.5F);
  }
  out.insert(out.end(), static_cast<std::size_t>(rate / 10), 0.0F);
  return out;
}

// An odd period in a program of whole-sample pulses, and the header verdict it must give.
struct OddPeriodCase {
  int rate, short_period, long_period;
  int odd;  // samples
  int header_verdict;
};

// Reads a program whose leader ends in `odd` (when `after_leader`) or whose header copies have
// every short pulse split into `odd` samples and the rest (a glitch, when not `after_leader`).
void expect_odd_period_verdicts(const std::vector<OddPeriodCase>& cases, bool after_leader) {
  const tapesynth::Program p = make_program("ODD", pattern(40, 8));
  for (const OddPeriodCase& c : cases) {
    Periods header, tape;
    for (Periods* q : {&header, &tape}) {
      q->short_period = c.short_period;
      q->long_period = c.long_period;
    }
    header.block(p.header);
    tape.gap(300);
    if (after_leader) tape.add(c.odd);
    tape.longs(40).gap(40).longs(1);
    for (int copy = 0; copy < 2; ++copy) {
      if (copy == 1) tape.gap(256);
      for (const std::int64_t period : header.list) {
        if (!after_leader && period == c.short_period) {
          tape.add(c.odd).add(c.short_period - c.odd);
        } else {
          tape.add(period);
        }
      }
      tape.longs(1);
    }
    tape.gap(300).longs(20).gap(20).longs(1).block(p.body).longs(1);
    tape.gap(256).block(p.body).longs(1);
    const auto s = scan(render_periods(tape, c.rate), c.rate);
    const std::string label = std::to_string(c.odd) + " of " + std::to_string(c.short_period);
    ASSERT_EQ(reading(*s).programs.size(), 1U) << label;
    EXPECT_EQ(reading(*s).programs[0].header_verdict, c.header_verdict) << label;
    EXPECT_EQ(reading(*s).programs[0].body_verdict, OK) << label;
    if (c.header_verdict == OK) {
      EXPECT_EQ(header_of(reading(*s).programs[0]), p.header) << label;
    }
  }
}

TEST(ScanPeriods, AGapEndsInAPeriodOverOnePointFourShortPulses) {
  // At 48000 Hz a short pulse of 24 samples, a long one of 46: the leader ends in 33 samples
  // (1.375 short pulses), which does not end it, or in 35 (1.458), which does.
  expect_odd_period_verdicts({{48000, 24, 46, 33, MISSING}, {48000, 24, 46, 35, OK}}, true);
}

TEST(ScanPeriods, APeriodUnderFourTenthsOfAShortPulseIsAGlitch) {
  // At 11025 Hz a crossing may follow the one before by a sample. A period of 3 samples inside
  // a short pulse of 8 (0.375 of it) is a glitch, joined to the rest; inside one of 7 (0.43 of
  // it) it is a pulse of its own, and the header copies fall apart.
  expect_odd_period_verdicts({{11025, 8, 15, 3, OK}, {11025, 7, 13, 3, DAMAGED}}, false);
}

TEST(ScanLevel, ThePeakIsTheLargestMagnitudeOnEitherSide) {
  // The largest magnitude below or above the mid level, taken one sample at a time (in the
  // few samples left over by a slice of four) or four at a time.
  std::vector<float> low_spike(4099, 0.25F), high_spike(4099, -0.25F);
  low_spike[100] = -0.75F;
  high_spike[100] = 0.75F;
  std::vector<float> low_spike_late = low_spike;
  std::swap(low_spike_late[100], low_spike_late[4097]);
  const std::vector<float> inputs[] = {
      {0.25F, -0.75F, 0.5F}, {-0.25F, 0.75F, -0.5F}, low_spike, high_spike, low_spike_late};
  for (const std::vector<float>& samples : inputs) {
    EXPECT_EQ(mzfscan::channel_reader_level(*scan(samples, 44100)).peak, 0.75F) << samples.size();
  }
}

TEST(ScanLevel, NotANumberIsTakenAsTheLowestSample) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const int channels : {1, 2}) {  // the gathering of mono and of stereo frames
    // Nothing but NaN: the level of a recording at the lowest sample.
    const auto only =
        scan(std::vector<float>(static_cast<std::size_t>(channels) * 9001, nan), 44100, channels);
    const mzfscan::SignalLevel lowest = mzfscan::channel_reader_level(*only);
    EXPECT_EQ(lowest.peak, 4.0) << channels;
    EXPECT_EQ(lowest.rms, 4.0) << channels;
    EXPECT_EQ(lowest.dc, -4.0) << channels;
    // A burst of NaN before a clean tape: the tape still reads exactly.
    tapesynth::SynthOptions o = quick();
    o.channels = channels;
    o.format = tapesynth::SampleFormat::F32;
    std::vector<float> frames =
        tapesynth::render_float(tapesynth::record_tape(two_programs(), o), o);
    std::fill_n(frames.begin(), channels * 1000, nan);
    const auto s = scan(frames, o.sample_rate, channels);
    expect_clean(reading(*s), two_programs(), "NaN, channels " + std::to_string(channels));
    const mzfscan::SignalLevel level = mzfscan::channel_reader_level(*s);
    EXPECT_EQ(level.peak, 4.0) << channels;
    EXPECT_TRUE(std::isfinite(level.rms) && std::isfinite(level.dc)) << channels;
  }
}

#ifdef MZFSCAN_APP
TEST(ScanChoice, TheBetterChannelWinsAndATieGoesToTheFirst) {
  // Two channels of one float WAV file in memory: the same tape twice, or the first with both
  // body copies cut.
  for (const bool first_cut : {false, true}) {
    tapesynth::SynthOptions o = quick();
    const std::vector<float> tape =
        tapesynth::render_float(tapesynth::record_tape(two_programs(), o), o);
    o.dropouts = {{tapesynth::CopyId::BODY1, 0.5, 25}, {tapesynth::CopyId::BODY2, 0.5, 25}};
    const std::vector<float> first =
        first_cut ? tapesynth::render_float(tapesynth::record_tape(two_programs(), o), o) : tape;
    ASSERT_EQ(first.size(), tape.size());
    o.channels = 2;
    o.format = tapesynth::SampleFormat::F32;
    Bytes wav = tapesynth::wav_header(tape.size(), o);
    for (std::size_t i = 0; i < tape.size(); ++i) {
      for (const float sample : {first[i], tape[i]}) {
        const auto bits = std::bit_cast<std::uint32_t>(sample);
        for (int k = 0; k < 4; ++k) wav.push_back(static_cast<std::uint8_t>(bits >> (8 * k)));
      }
    }
    mzfscan::AudioInput input;
    std::string error;
    ASSERT_TRUE(input.open_memory(wav.data(), wav.size(), true, &error)) << error;
    mzfscan::ScanResult result;
    ASSERT_TRUE(mzfscan::scan_audio(input, mzfscan::ScanSettings{}, &result, &error)) << error;
    EXPECT_EQ(result.candidates[result.chosen].channel, first_cut ? 1 : 0) << first_cut;
    EXPECT_EQ(result.polarity, mzfscan::POLARITY_FALLING) << first_cut;
    expect_clean(result.reading(), two_programs(), first_cut ? "first cut" : "tie");
  }
}
#endif

// mzfextract's files for a recording: each program's header record and body.
std::vector<Bytes> mzfextract_files(const Bytes& samples, bool* all_verified) {
  std::FILE* trace = std::fopen("/dev/null", "w");
  auto decoder = std::make_unique<mzfextract::TapeDecoder>();
  mzfextract::tape_decoder_init(*decoder, trace);
  mzfextract::PulseDetector detector;
  mzfextract::pulse_detector_init(detector);
  std::vector<Bytes> files;
  *all_verified = true;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    std::int64_t period = 0;
    if (!mzfextract::feed(detector, static_cast<std::uint8_t>(~samples[i]), &period)) continue;
    if (mzfextract::on_period(*decoder, period, static_cast<std::int64_t>(i + 1)) ==
        mzfextract::TapeEvent::PROGRAM_COMPLETE) {
      const mzfextract::ProgramView v = mzfextract::finished_program(*decoder);
      Bytes file(v.header, v.header + 128);
      file.insert(file.end(), v.body, v.body + v.body_length);
      files.push_back(file);
      *all_verified = *all_verified && v.header_verified && v.body_verified;
    }
  }
  std::fclose(trace);
  return files;
}

std::vector<Bytes> scanned_files(const TapeReading& r) {
  std::vector<Bytes> files;
  for (const mzfscan::ScannedProgram& p : r.programs) {
    Bytes file = header_of(p);
    file.insert(file.end(), p.body.begin(), p.body.end());
    files.push_back(file);
  }
  return files;
}

TEST(ScanLoader, RelaysLikeTheClassicConverter) {
  Bytes loader = make_header("LOADER", 90, 0xD400, 0xD400);
  Bytes loader_body = pattern(90, 3);
  const std::uint8_t relayed[13] = {0xF4, 0x01, 0x00, 0x12, 0x34, 0x12, 1, 2, 3, 4, 5, 6, 7};
  std::copy(std::begin(relayed), std::end(relayed), loader_body.begin() + 77);
  const Bytes body = pattern(500, 4);
  // A new header cancels the relay; a loader body that does not verify relays a damaged header.
  struct LoaderCase {
    bool cancelled, bad_loader_body;
  };
  for (const LoaderCase c : {LoaderCase{false, false}, {true, false}, {false, true}}) {
    tapesynth::Recorder recorder(quick());
    recorder.silence(0.1);
    record_program(recorder, {loader, loader_body}, c.bad_loader_body ? 1 : 0);
    const tapesynth::Program other = make_program("OTHER", pattern(30, 5));
    if (c.cancelled) recorder.program(other);
    recorder.pulses(false, 300);
    recorder.tape_mark(20);
    recorder.pulse(true);
    for (int copy = 0; copy < 2; ++copy) {
      recorder.block(body);
      recorder.pulse(true);
      recorder.pulses(false, 256);
    }
    recorder.silence(0.1);
    const auto s = scan(tapesynth::render_float(recorder, quick()), 44100);
    const TapeReading& r = reading(*s);
    const std::string label = std::to_string(c.cancelled) + std::to_string(c.bad_loader_body);
    if (!c.cancelled) {
      ASSERT_EQ(r.programs.size(), 1U) << label;
      Bytes expected = loader;
      std::copy(std::begin(relayed), std::end(relayed), expected.begin() + 18);
      EXPECT_EQ(header_of(r.programs[0]), expected) << label;
      EXPECT_EQ(r.programs[0].body, body) << label;
      EXPECT_EQ(r.programs[0].header_verdict,
                c.bad_loader_body ? mzfscan::VERDICT_DAMAGED : mzfscan::VERDICT_OK)
          << label;
      EXPECT_EQ(r.programs[0].body_verdict, mzfscan::VERDICT_OK) << label;
      bool verified = false;
      EXPECT_EQ(scanned_files(r), mzfextract_files(recorder.samples(), &verified)) << label;
      EXPECT_TRUE(verified || c.bad_loader_body) << label;
    } else {
      // The other program, then a body with no header of its own.
      ASSERT_EQ(r.programs.size(), 2U);
      EXPECT_EQ(header_of(r.programs[0]), other.header);
      EXPECT_EQ(r.programs[1].header_verdict, mzfscan::VERDICT_MISSING);
      EXPECT_EQ(r.programs[1].body, body);
    }
    EXPECT_EQ(r.verified_blocks, c.cancelled ? 10 : c.bad_loader_body ? 4 : 6) << label;
  }
}

TEST(ScanNothing, EmptyOrSignalFreeRecordingsGiveNoPrograms) {
  std::vector<std::vector<float>> inputs = {
      {}, std::vector<float>(44100, 0.0F), std::vector<float>(44100, 0.3F)};
  std::vector<float> noise(88200);
  const Bytes random = pattern(noise.size(), 11);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = (random[i] - 128) / 128.0F;
  inputs.push_back(noise);
  std::vector<float> tone(88200);  // a steady tone: a gap that never ends in a tape mark
  for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = (i / 11) % 2 == 0 ? 0.5F : -0.5F;
  inputs.push_back(tone);
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    const auto s = scan(inputs[k], 44100);
    for (bool falling : {true, false}) {
      EXPECT_TRUE(reading(*s, falling).programs.empty()) << k;
      EXPECT_TRUE(reading(*s, falling).copies.empty()) << k;
      EXPECT_EQ(reading(*s, falling).verified_blocks, 0) << k;
    }
  }
}

TEST(ScanHoldoff, ACrossingSoonAfterTheLastIsNotLookedFor) {
  // At 44100 Hz nothing is looked for in the 6 samples after a crossing (180 us, less the
  // sample a crossing may lie off). A square wave of 7-sample halves is measured exactly: every
  // period 14 samples, 317 us. One of 6-sample halves is not: its crossings come too soon.
  for (const int half : {7, 6}) {
    std::vector<float> square(44100);
    for (std::size_t i = 0; i < square.size(); ++i) {
      square[i] = (i / static_cast<std::size_t>(half)) % 2 == 0 ? 0.5F : -0.5F;
    }
    const auto s = scan(square, 44100);
    const TapeReading& r = reading(*s);
    std::uint64_t periods = 0;
    for (const std::uint64_t count : r.histogram) periods += count;
    const std::size_t exact_bin = static_cast<std::size_t>(2 * half * 1e6 / 44100 / 10);
    EXPECT_GT(periods, 1000u) << half;
    EXPECT_EQ(r.histogram[exact_bin] == periods, half == 7) << half;
  }
}

TEST(ScanChunks, ChunkSizesAreInvisible) {
  tapesynth::SynthOptions o = quick(48000);
  o.noise = 10;
  o.dropouts.push_back({tapesynth::CopyId::BODY1, 0.3, 10});
  const tapesynth::Recorder recorder = tapesynth::record_tape(two_programs(), o);
  const std::vector<float> samples = tapesynth::render_float(recorder, o);
  const auto whole = scan(samples, o.sample_rate, 1, 0, {samples.size()});
  for (const std::vector<std::size_t>& chunks :
       std::vector<std::vector<std::size_t>>{{1}, {3, 4096}, {4095, 4097}, {65537}}) {
    const auto s = scan(samples, o.sample_rate, 1, 0, chunks);
    for (bool falling : {true, false}) {
      const TapeReading& a = reading(*whole, falling);
      const TapeReading& b = reading(*s, falling);
      EXPECT_EQ(scanned_files(a), scanned_files(b)) << chunks[0];
      ASSERT_EQ(a.copies.size(), b.copies.size()) << chunks[0];
      for (std::size_t k = 0; k < a.copies.size(); ++k) {
        EXPECT_EQ(a.copies[k].start_seconds, b.copies[k].start_seconds) << chunks[0];
        EXPECT_EQ(a.copies[k].outcome, b.copies[k].outcome) << chunks[0];
      }
      EXPECT_TRUE(
          std::equal(std::begin(a.histogram), std::end(a.histogram), std::begin(b.histogram)))
          << chunks[0];
      EXPECT_EQ(a.separation, b.separation) << chunks[0];
    }
  }
}

TEST(ScanIdentity, SameFilesAsMzfextractOnCleanCorpusRecordings) {
  const std::string corpus = corpus_dir();
  if (corpus.empty()) GTEST_SKIP() << "shared corpus not found beside the project; skipped";
  const std::vector<std::vector<std::string>> tapes = {
      {"TestHalt.mzf", "8253-test.mzt", "TestKeyboard.mzf"},
      {"advent 2021-25 7.mzf", "TestWriteCharacters.mzf", "Drinking game v2.mzf"}};
  for (const auto& tape : tapes) {
    std::vector<tapesynth::Program> programs;
    for (const std::string& file : tape) {
      ASSERT_TRUE(tapesynth::split_mzf(read_file(corpus + "/" + file), programs)) << file;
    }
    for (int rate : {44100, 48000}) {
      const tapesynth::SynthOptions o = quick(rate);
      const tapesynth::Recorder recorder = tapesynth::record_tape(programs, o);
      bool verified = false;
      const std::vector<Bytes> expected_files = mzfextract_files(recorder.samples(), &verified);
      ASSERT_TRUE(verified) << tape[0];
      ASSERT_EQ(expected_files.size(), programs.size()) << tape[0];
      const auto s = scan(tapesynth::render_float(recorder, o), rate);
      EXPECT_EQ(scanned_files(reading(*s)), expected_files) << tape[0] << " at " << rate;
    }
  }
}

}  // namespace
