// The pulse detector fed sample values: threshold edges, debounce, silence, polarity, and the
// fast span detector against the per-sample reference.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "signal/pulse_detector.h"
#include "tests/test_support.h"

using namespace mzfextract;

namespace {

struct Crossing {
  std::size_t sample;  // 1-based
  std::int64_t period;
  bool operator==(const Crossing&) const = default;
};

// Feeds complemented values one by one through the reference detector.
std::vector<Crossing> reference_crossings(const std::vector<std::uint8_t>& values,
                                          PulseDetector* state = nullptr) {
  PulseDetector d;
  pulse_detector_init(d);
  std::vector<Crossing> found;
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::int64_t period = 0;
    if (feed(d, values[i], &period)) found.push_back({i + 1, period});
  }
  if (state != nullptr) *state = d;
  return found;
}

// Feeds raw bytes through feed_span() in pieces of at most `piece` bytes, the first of them
// `first` bytes long when given.
std::vector<Crossing> span_crossings(const std::vector<std::uint8_t>& raw, std::size_t piece,
                                     PulseDetector* state = nullptr, std::size_t first = 0) {
  PulseDetector d;
  pulse_detector_init(d);
  std::vector<Crossing> found;
  for (std::size_t start = 0; start < raw.size();) {
    const std::size_t size = std::min(start == 0 && first > 0 ? first : piece, raw.size() - start);
    std::size_t done = 0;
    while (done < size) {
      std::int64_t period = 0;
      done += feed_span(d, raw.data() + start + done, size - done, &period);
      if (period != 0) found.push_back({start + done, period});
    }
    start += size;
  }
  if (state != nullptr) *state = d;
  return found;
}

bool same_state(const PulseDetector& a, const PulseDetector& b) {
  return a.previous == b.previous && a.elapsed == b.elapsed && a.cur_min == b.cur_min &&
         a.cur_max == b.cur_max && a.prev_min == b.prev_min && a.prev_max == b.prev_max;
}

std::vector<std::uint8_t> complemented(std::vector<std::uint8_t> values) {
  for (auto& v : values) v = static_cast<std::uint8_t>(~v);
  return values;
}

// A square wave of complemented values: `low` samples at 60, then `high` samples at 200.
std::vector<std::uint8_t> square(int low, int high, int cycles) {
  std::vector<std::uint8_t> values;
  for (int c = 0; c < cycles; ++c) {
    values.insert(values.end(), static_cast<std::size_t>(low), 60);
    values.insert(values.end(), static_cast<std::size_t>(high), 200);
  }
  return values;
}

}  // namespace

TEST(PulseDetector, ThresholdIsMidScaleUntilTheFirstCrossing) {
  // Below 128 for 9 samples, then exactly 128: a crossing at sample 10 with period 10.
  std::vector<std::uint8_t> values(9, 127);
  values.push_back(128);
  EXPECT_EQ(reference_crossings(values), (std::vector<Crossing>{{10, 10}}));
  // A signal that never rises from below 128 to 128 or more gives nothing.
  EXPECT_TRUE(reference_crossings(std::vector<std::uint8_t>(500, 127)).empty());
  EXPECT_TRUE(reference_crossings(std::vector<std::uint8_t>(500, 200)).empty());
}

TEST(PulseDetector, EarlyRisesAreDebounced) {
  // A rise at sample 5 is ignored; the next one counts the period from the file's start.
  std::vector<std::uint8_t> values = {0, 0, 0, 0, 200, 0, 0, 0, 200};
  EXPECT_EQ(reference_crossings(values), (std::vector<Crossing>{{9, 9}}));
  // Two rises 5 samples apart after a crossing: the second is ignored, the period runs on.
  values = {0, 0, 0, 0, 0, 200, 0, 0, 0, 0, 200, 0, 0, 0, 0, 0, 200};
  EXPECT_EQ(reference_crossings(values), (std::vector<Crossing>{{6, 6}, {17, 11}}));
}

TEST(PulseDetector, ThresholdComesFromThePreviousCycle) {
  // Cycles between 60 and 200 set the threshold to 130: a rise to 129 does not cross it,
  // a rise to exactly 130 does.
  std::vector<std::uint8_t> values = square(10, 10, 2);  // crossings at 11 and 31
  values.insert(values.end(), 10, 60);
  values.push_back(130);  // sample 51
  values.insert(values.end(), 9, 60);
  values.push_back(129);  // sample 61
  EXPECT_EQ(reference_crossings(values), (std::vector<Crossing>{{11, 11}, {31, 20}, {51, 20}}));
}

TEST(PulseDetector, NewCycleStartsFromTheSamplesAroundTheCrossing) {
  // The first cycle (20 up to 140) sets the threshold to 80. The new cycle's minimum starts at
  // the sample before the crossing (20) and its maximum at the crossing sample (140), so the
  // second cycle, whose own samples lie between 70 and 90, keeps the threshold at 80.
  std::vector<std::uint8_t> values(9, 20);
  values.push_back(140);
  values.insert(values.end(), 9, 70);
  values.push_back(90);
  values.insert(values.end(), 9, 76);
  values.push_back(80);
  EXPECT_EQ(reference_crossings(values), (std::vector<Crossing>{{10, 10}, {20, 10}, {30, 10}}));
}

TEST(PulseDetector, SilenceResetsTheTrackersToMidScale) {
  // Cycles between 60 and 200 set the threshold to 130; 200 samples of silence later a rise
  // to 128 crosses again and reports the whole silence.
  std::vector<std::uint8_t> values = square(10, 10, 3);
  values.insert(values.end(), 200, 100);
  values.push_back(128);
  PulseDetector state;
  const auto found = reference_crossings(values, &state);
  EXPECT_EQ(found.back(), (Crossing{values.size(), 210}));
  EXPECT_EQ(state.prev_min, 128);
  EXPECT_EQ(state.prev_max, 128);
}

// Both detectors, each fed in pieces of 1, 16 and 2048 bytes, must find exactly `expected`.
void expect_crossings(const std::vector<std::uint8_t>& values,
                      const std::vector<Crossing>& expected, const char* what) {
  EXPECT_EQ(reference_crossings(values), expected) << what;
  for (std::size_t piece : {1ul, 16ul, 2048ul}) {
    EXPECT_EQ(span_crossings(complemented(values), piece), expected) << what << ", piece " << piece;
  }
}

TEST(PulseDetector, ThresholdRoundsAnOddMeanUp) {
  // Cycles between 60 and 201 give the threshold (60 + 201 + 1) / 2 = 131: a rise to 130 does
  // not cross it, a rise to 131 does.
  for (const std::uint8_t rise : {130, 131}) {
    std::vector<std::uint8_t> values;
    for (int c = 0; c < 3; ++c) {
      values.insert(values.end(), 10, 60);
      values.insert(values.end(), 10, 201);
    }
    values.insert(values.end(), 10, 60);
    values.push_back(rise);  // sample 71
    std::vector<Crossing> expected{{11, 11}, {31, 20}, {51, 20}};
    if (rise == 131) expected.push_back({71, 20});
    expect_crossings(values, expected, rise == 131 ? "rise to 131" : "rise to 130");
  }
}

TEST(PulseDetector, SilenceLimitIsTheHundredAndTenthSample) {
  // After a crossing under a threshold of 130, a rise to 129 crosses only once the trackers
  // have fallen back to mid-scale: at the 110th sample after the crossing, not the 109th.
  for (const int rise_at : {109, 110}) {
    std::vector<std::uint8_t> values = square(10, 10, 3);  // crossings at 11, 31 and 51
    values.insert(values.end(), 10, 60);
    values.push_back(200);  // crossing at 71
    values.insert(values.end(), static_cast<std::size_t>(rise_at - 1), 100);
    values.push_back(129);
    std::vector<Crossing> expected{{11, 11}, {31, 20}, {51, 20}, {71, 20}};
    if (rise_at == 110) expected.push_back({values.size(), 110});
    expect_crossings(values, expected, rise_at == 110 ? "110th sample" : "109th sample");
  }
}

TEST(PulseDetector, PolarityDecidesHowPulsesBecomePeriods) {
  // Recorded short pulses (10 samples low, 12 high) and long ones (20 low, 22 high) that start on
  // their falling edge give one period per pulse. Inverted, every period joins the second half
  // of one pulse to the first half of the next, so the first after the change measures 32.
  std::vector<std::uint8_t> recorded;
  auto add_pulse = [&](int first, int second) {
    recorded.insert(recorded.end(), static_cast<std::size_t>(first), 50);
    recorded.insert(recorded.end(), static_cast<std::size_t>(second), 205);
  };
  for (int i = 0; i < 5; ++i) add_pulse(10, 12);
  for (int i = 0; i < 5; ++i) add_pulse(20, 22);
  std::vector<std::int64_t> falling_first;
  for (const auto& c : reference_crossings(complemented(recorded)))
    falling_first.push_back(c.period);
  // The first pulse of the file rises at its first sample, too early to count.
  EXPECT_EQ(falling_first, (std::vector<std::int64_t>{23, 22, 22, 22, 22, 42, 42, 42, 42}));
  std::vector<std::int64_t> rising_first;
  for (const auto& c : reference_crossings(recorded)) rising_first.push_back(c.period);
  EXPECT_EQ(rising_first, (std::vector<std::int64_t>{11, 22, 22, 22, 22, 32, 42, 42, 42, 42}));
}

// The fast detector must report the same crossings at the same samples and leave the same
// state, however the input is split.
class SpanDetector : public ::testing::Test {
 protected:
  static void expect_same(const std::vector<std::uint8_t>& raw, const char* what) {
    PulseDetector reference_state;
    const auto expected = reference_crossings(complemented(raw), &reference_state);
    for (std::size_t piece :
         {1ul, 2ul, 7ul, 15ul, 16ul, 17ul, 31ul, 64ul, 2048ul, raw.size() + 1}) {
      PulseDetector span_state;
      EXPECT_EQ(span_crossings(raw, piece, &span_state), expected) << what << ", piece " << piece;
      EXPECT_TRUE(same_state(span_state, reference_state)) << what << ", piece " << piece;
    }
    // Every position of a chunk boundary relative to the signal: a first piece of 1 to 64 bytes.
    for (std::size_t first = 1; first <= 64; ++first) {
      EXPECT_EQ(span_crossings(raw, 2048, nullptr, first), expected) << what << ", first " << first;
    }
  }
};

TEST_F(SpanDetector, MatchesReferenceOnRandomBytes) {
  std::mt19937 random(7);
  std::vector<std::uint8_t> raw(50000);
  for (auto& b : raw) b = static_cast<std::uint8_t>(random());
  expect_same(raw, "random bytes");
}

TEST_F(SpanDetector, MatchesReferenceAroundTheThreshold) {
  // Values within a few steps of the threshold, in slowly varying cycles of every length up to
  // beyond the silence limit.
  std::mt19937 random(11);
  std::vector<std::uint8_t> raw;
  for (int length = 2; length < 140; ++length) {
    for (int i = 0; i < length; ++i) raw.push_back(static_cast<std::uint8_t>(125 + random() % 7));
    for (int i = 0; i < length; ++i)
      raw.push_back(static_cast<std::uint8_t>(i < length / 2 ? 10 : 245));
  }
  expect_same(raw, "near the threshold");
}

TEST_F(SpanDetector, MatchesReferenceOnRecordingsAndSilences) {
  tapesynth::SynthOptions options;
  options.long_gap = 300;
  options.short_gap = 200;
  options.noise = 6;
  options.silence_before = 0.01;
  options.silence_between = 0.02;
  const auto program = testing_support::make_program("SPAN", testing_support::pattern(40, 3));
  for (bool falling : {true, false}) {
    options.falling_first = falling;
    expect_same(tapesynth::record_programs({program, program}, options), "recording");
  }
  std::vector<std::uint8_t> silences(3000, 128);
  silences.insert(silences.end(), 50, 0);
  silences.insert(silences.end(), 300, 255);
  silences.insert(silences.end(), 3, 0);
  expect_same(silences, "silences");
}
