// The pulse detector fed sample values: threshold edges, debounce, silence, polarity, and the
// span and chunk detectors against the per-sample reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "signal/pulse_detector.h"
#include "tests/test_support.h"

using namespace mzfextract;

namespace {

struct Found {
  std::size_t sample;  // 1-based
  std::int64_t period;
  bool operator==(const Found&) const = default;
};

void PrintTo(const Found& f, std::ostream* os) {
  *os << "{sample " << f.sample << ", period " << f.period << "}";
}

// Feeds complemented values one by one through the reference detector.
std::vector<Found> reference_crossings(const std::vector<std::uint8_t>& values,
                                       PulseDetector* state = nullptr) {
  PulseDetector d;
  pulse_detector_init(d);
  std::vector<Found> found;
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::int64_t period = 0;
    if (feed(d, values[i], &period)) found.push_back({i + 1, period});
  }
  if (state != nullptr) *state = d;
  return found;
}

// Feeds raw bytes through detect_chunk() (the path chosen here) in pieces of at most `piece`
// bytes, the first of them `first` bytes long when given.
std::vector<Found> detected_crossings(const std::vector<std::uint8_t>& raw, std::size_t piece,
                                      PulseDetector* state = nullptr, std::size_t first = 0) {
  PulseDetector d;
  pulse_detector_init(d);
  std::vector<Found> found;
  std::vector<Crossing> out(max_crossings(std::max(piece, first)));
  for (std::size_t start = 0; start < raw.size();) {
    const std::size_t size = std::min(start == 0 && first > 0 ? first : piece, raw.size() - start);
    const ChunkScan scan = detect_chunk(d, raw.data() + start, size, out.data(), out.size());
    for (std::size_t i = 0; i < scan.crossings; ++i) {
      found.push_back({start + out[i].index + 1, out[i].period});
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

TEST(PulseDetector, ThresholdIsMidScaleUntilTheFirstFound) {
  // Below 128 for 9 samples, then exactly 128: a crossing at sample 10 with period 10.
  std::vector<std::uint8_t> values(9, 127);
  values.push_back(128);
  EXPECT_EQ(reference_crossings(values), (std::vector<Found>{{10, 10}}));
  // A signal that never rises from below 128 to 128 or more gives nothing.
  EXPECT_TRUE(reference_crossings(std::vector<std::uint8_t>(500, 127)).empty());
  EXPECT_TRUE(reference_crossings(std::vector<std::uint8_t>(500, 200)).empty());
}

TEST(PulseDetector, EarlyRisesAreDebounced) {
  // A rise at sample 5 is ignored; the next one counts the period from the file's start.
  std::vector<std::uint8_t> values = {0, 0, 0, 0, 200, 0, 0, 0, 200};
  EXPECT_EQ(reference_crossings(values), (std::vector<Found>{{9, 9}}));
  // Two rises 5 samples apart after a crossing: the second is ignored, the period runs on.
  values = {0, 0, 0, 0, 0, 200, 0, 0, 0, 0, 200, 0, 0, 0, 0, 0, 200};
  EXPECT_EQ(reference_crossings(values), (std::vector<Found>{{6, 6}, {17, 11}}));
}

TEST(PulseDetector, ThresholdComesFromThePreviousCycle) {
  // Cycles between 60 and 200 set the threshold to 130: a rise to 129 does not cross it,
  // a rise to exactly 130 does.
  std::vector<std::uint8_t> values = square(10, 10, 2);  // crossings at 11 and 31
  values.insert(values.end(), 10, 60);
  values.push_back(130);  // sample 51
  values.insert(values.end(), 9, 60);
  values.push_back(129);  // sample 61
  EXPECT_EQ(reference_crossings(values), (std::vector<Found>{{11, 11}, {31, 20}, {51, 20}}));
}

TEST(PulseDetector, NewCycleStartsFromTheSamplesAroundTheFound) {
  // The first cycle (20 up to 140) sets the threshold to 80. The new cycle's minimum starts at
  // the sample before the crossing (20) and its maximum at the crossing sample (140), so the
  // second cycle, whose own samples lie between 70 and 90, keeps the threshold at 80.
  std::vector<std::uint8_t> values(9, 20);
  values.push_back(140);
  values.insert(values.end(), 9, 70);
  values.push_back(90);
  values.insert(values.end(), 9, 76);
  values.push_back(80);
  EXPECT_EQ(reference_crossings(values), (std::vector<Found>{{10, 10}, {20, 10}, {30, 10}}));
}

TEST(PulseDetector, SilenceResetsTheTrackersToMidScale) {
  // Cycles between 60 and 200 set the threshold to 130; 200 samples of silence later a rise
  // to 128 crosses again and reports the whole silence.
  std::vector<std::uint8_t> values = square(10, 10, 3);
  values.insert(values.end(), 200, 100);
  values.push_back(128);
  PulseDetector state;
  const auto found = reference_crossings(values, &state);
  EXPECT_EQ(found.back(), (Found{values.size(), 210}));
  EXPECT_EQ(state.prev_min, 128);
  EXPECT_EQ(state.prev_max, 128);
}

// The reference and the chosen detector, fed in pieces of 1, 16 and 2048 bytes, must find exactly
// `expected`.
void expect_crossings(const std::vector<std::uint8_t>& values, const std::vector<Found>& expected,
                      const char* what) {
  EXPECT_EQ(reference_crossings(values), expected) << what;
  for (std::size_t piece : {1ul, 16ul, 2048ul}) {
    EXPECT_EQ(detected_crossings(complemented(values), piece), expected)
        << what << ", piece " << piece;
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
    std::vector<Found> expected{{11, 11}, {31, 20}, {51, 20}};
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
    std::vector<Found> expected{{11, 11}, {31, 20}, {51, 20}, {71, 20}};
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

namespace {

const char* path_name(DetectorPath path) {
  switch (path) {
    case DetectorPath::REFERENCE: return "reference";
    case DetectorPath::AVX2: return "AVX2";
  }
  return "?";
}

// Feeds raw bytes through detect_chunk_along() in chunks of `size` bytes, the first of them
// `first` bytes long when given, each into an array of exactly max_crossings() entries.
std::vector<Found> chunk_crossings(DetectorPath path, const std::vector<std::uint8_t>& raw,
                                   std::size_t size, std::size_t first, PulseDetector* state) {
  PulseDetector d;
  pulse_detector_init(d);
  std::vector<Found> found;
  std::vector<Crossing> out(max_crossings(std::max(size, first)));
  for (std::size_t start = 0; start < raw.size();) {
    const std::size_t count = std::min(start == 0 && first > 0 ? first : size, raw.size() - start);
    const ChunkScan scan =
        detect_chunk_along(path, d, raw.data() + start, count, out.data(), max_crossings(count));
    if (scan.consumed != count) {
      ADD_FAILURE() << "consumed " << scan.consumed << " of " << count;
      break;
    }
    for (std::size_t i = 0; i < scan.crossings; ++i)
      found.push_back({start + out[i].index + 1, out[i].period});
    start += count;
  }
  *state = d;
  return found;
}

// Inputs for the chunk detector, a few thousand raw bytes each, so that every chunk size and
// every first-chunk length up to 2048 stays cheap.
struct ChunkInput {
  const char* name;
  std::vector<std::uint8_t> (*make)();
};

std::vector<std::uint8_t> random_bytes() {
  std::mt19937 random(3);
  std::vector<std::uint8_t> raw(4500);
  for (auto& b : raw) b = static_cast<std::uint8_t>(random());
  return raw;
}

// Slow cycles of every length from 2 to 70 whose values lie within a few steps of the threshold.
std::vector<std::uint8_t> around_threshold() {
  std::mt19937 random(5);
  std::vector<std::uint8_t> raw;
  for (int length = 2; length < 70; ++length) {
    for (int i = 0; i < length; ++i) raw.push_back(static_cast<std::uint8_t>(124 + random() % 9));
    for (int i = 0; i < length / 2; ++i)
      raw.push_back(static_cast<std::uint8_t>(127 + random() % 3));
  }
  return raw;
}

// Cycles that end just before, at and after the silence limit on a rise that crosses the learned
// threshold but not mid-scale, or mid-scale but not the learned threshold; then silences that end
// in a rise on either side of mid-scale, long enough to need several windows.
std::vector<std::uint8_t> silence_limit() {
  std::vector<std::uint8_t> values;  // complemented samples
  auto cycle = [&](int length, std::uint8_t low, std::uint8_t high) {
    values.insert(values.end(), static_cast<std::size_t>(length - 1), low);
    values.push_back(high);
  };
  for (int length = SILENCE_LIMIT - 3; length <= SILENCE_LIMIT + 3; ++length) {
    for (std::uint8_t last : {110, 140}) {
      cycle(20, 50, 150);
      cycle(20, 50, 150);  // threshold 100
      cycle(length, 50, last);
      cycle(20, 100, 200);
      cycle(20, 100, 200);  // threshold 150
      cycle(length, 100, last);
    }
  }
  cycle(300, 55, 127);
  cycle(300, 126, 128);
  cycle(250, 127, 129);
  return complemented(values);
}

// A tape of two copies of a small program, noisy, its pulses starting on the falling or the
// rising edge.
std::vector<std::uint8_t> noisy_recording(bool falling_first) {
  tapesynth::SynthOptions options;
  options.long_gap = 60;
  options.short_gap = 40;
  options.noise = 12;
  options.falling_first = falling_first;
  options.silence_before = 0.002;
  options.silence_between = 0.004;
  options.silence_after = 0.001;
  const auto program = testing_support::make_program("N", testing_support::pattern(1, 9));
  auto raw = tapesynth::record_programs({program}, options);
  raw.resize(std::min<std::size_t>(raw.size(), 6000));
  return raw;
}
std::vector<std::uint8_t> noisy_falling() {
  return noisy_recording(true);
}
std::vector<std::uint8_t> noisy_rising() {
  return noisy_recording(false);
}

// Square waves whose level, amplitude and period jump every few cycles, so that a search started
// from a guessed threshold finds other crossings than the true ones for a while.
std::vector<std::uint8_t> level_jumps() {
  std::mt19937 random(13);
  std::vector<std::uint8_t> raw;
  while (raw.size() < 4500) {
    const int centre = 40 + static_cast<int>(random() % 176);
    const int swing = 2 + static_cast<int>(random() % 40);
    const int period = 6 + static_cast<int>(random() % 75);
    for (int c = 0, cycles = 1 + static_cast<int>(random() % 4); c < cycles; ++c) {
      for (int i = 0; i < period; ++i)
        raw.push_back(static_cast<std::uint8_t>(i < period / 2 ? centre + swing : centre - swing));
    }
  }
  return raw;
}

// A rise every other sample: the debounce alone picks which rises count, in one of three phases
// that a search started elsewhere may never agree with.
std::vector<std::uint8_t> every_other_sample() {
  std::vector<std::uint8_t> raw(4500);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = i % 2 == 0 ? 255 : 0;
  return raw;
}

// Cycles followed one after another whose threshold moves by a step or two from one cycle to the
// next, with a sample at the edge lying just below, at or just above the new threshold, so that a
// search with the previous cycle's threshold finds the crossing one sample early, at the same
// sample or one late; cycles of 5 to 7 samples (the debounce) and of 61 to 65 (the end of a
// followed window) among them.
std::vector<std::uint8_t> moving_threshold() {
  std::mt19937 random(17);
  std::vector<std::uint8_t> values;  // complemented samples
  int low = 40;
  int high = 200;
  while (values.size() < 4500) {
    const int threshold = (low + high + 1) / 2;
    const int lengths[] = {5, 6, 7, 20, 33, 61, 62, 63, 64, 65};
    const int length = lengths[random() % 10];
    const int edge = threshold - 1 + static_cast<int>(random() % 3);  // below, at or above
    const int half = length / 2;
    for (int i = 0; i < length; ++i) {
      int v = i < half ? low : high;
      if (i == half) v = edge;  // the rise may come here or on the next sample
      values.push_back(static_cast<std::uint8_t>(v));
    }
    low = 40 + static_cast<int>(random() % 3);
    high = 200 + static_cast<int>(random() % 3);
  }
  return complemented(values);
}

const ChunkInput CHUNK_INPUTS[] = {
    {"moving_threshold", moving_threshold}, {"random_bytes", random_bytes},
    {"around_threshold", around_threshold}, {"silence_limit", silence_limit},
    {"noisy_falling", noisy_falling},       {"noisy_rising", noisy_rising},
    {"level_jumps", level_jumps},           {"every_other_sample", every_other_sample},
};

class ChunkDetector : public ::testing::TestWithParam<std::tuple<DetectorPath, ChunkInput>> {};

std::string chunk_test_name(
    const ::testing::TestParamInfo<std::tuple<DetectorPath, ChunkInput>>& info) {
  return std::string(path_name(std::get<0>(info.param))) + "_" + std::get<1>(info.param).name;
}

}  // namespace

// Every chunk size from 1 to 2048, and every first-chunk length from 1 to 2048 with full chunks
// after it: the same crossings at the same samples and the same final state as the reference.
TEST_P(ChunkDetector, MatchesReferenceForEveryChunking) {
  const DetectorPath path = std::get<0>(GetParam());
  if (!detector_path_available(path)) GTEST_SKIP() << path_name(path) << " not available here";
  const std::vector<std::uint8_t> raw = std::get<1>(GetParam()).make();
  PulseDetector reference_state;
  const auto expected = reference_crossings(complemented(raw), &reference_state);
  ASSERT_GT(expected.size(), 20u);
  for (std::size_t size = 1; size <= 2048; ++size) {
    PulseDetector state;
    ASSERT_EQ(chunk_crossings(path, raw, size, 0, &state), expected) << "chunk size " << size;
    ASSERT_TRUE(same_state(state, reference_state)) << "chunk size " << size;
  }
  for (std::size_t first = 1; first <= 2048; ++first) {
    PulseDetector state;
    ASSERT_EQ(chunk_crossings(path, raw, 2048, first, &state), expected) << "first " << first;
    ASSERT_TRUE(same_state(state, reference_state)) << "first " << first;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, ChunkDetector,
                         ::testing::Combine(::testing::Values(DetectorPath::REFERENCE,
                                                              DetectorPath::AVX2),
                                            ::testing::ValuesIn(CHUNK_INPUTS)),
                         chunk_test_name);

// The stream detector as the driver uses it: each chunk of `size` bytes (the first `first` bytes
// long) appended to the bytes left over from the one before, the rest through detect_chunk() at
// the end.
std::vector<Found> stream_crossings(DetectorPath path, const std::vector<std::uint8_t>& raw,
                                    std::size_t size, std::size_t first, PulseDetector* state) {
  PulseDetector d;
  pulse_detector_init(d);
  std::vector<Found> found;
  std::vector<std::uint8_t> buffer(STREAM_LOOKAHEAD + std::max(size, first));
  std::vector<Crossing> out(max_crossings(buffer.size()));
  std::size_t carried = 0;
  std::size_t before = 0;  // samples before the buffer
  auto take = [&](const ChunkScan& scan) {
    for (std::size_t i = 0; i < scan.crossings; ++i)
      found.push_back({before + out[i].index + 1, out[i].period});
    before += scan.consumed;
  };
  for (std::size_t start = 0; start < raw.size();) {
    const std::size_t count = std::min(start == 0 && first > 0 ? first : size, raw.size() - start);
    std::copy_n(raw.begin() + static_cast<std::ptrdiff_t>(start), count,
                buffer.begin() + static_cast<std::ptrdiff_t>(carried));
    const std::size_t available = carried + count;
    const ChunkScan scan =
        detect_stream_along(path, d, buffer.data(), available, out.data(), out.size());
    if (available - scan.consumed >= STREAM_LOOKAHEAD) {
      ADD_FAILURE() << "left " << available - scan.consumed << " of " << available;
      break;
    }
    take(scan);
    carried = available - scan.consumed;
    std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(scan.consumed),
              buffer.begin() + static_cast<std::ptrdiff_t>(available), buffer.begin());
    start += count;
  }
  const ChunkScan last =
      detect_chunk_along(path, d, buffer.data(), carried, out.data(), out.size());
  EXPECT_EQ(last.consumed, carried);
  take(last);
  *state = d;
  return found;
}

// The same for the stream detector, each chunk after the bytes left over from the one before.
TEST_P(ChunkDetector, StreamMatchesReferenceForEveryChunking) {
  const DetectorPath path = std::get<0>(GetParam());
  if (!detector_path_available(path)) GTEST_SKIP() << path_name(path) << " not available here";
  const std::vector<std::uint8_t> raw = std::get<1>(GetParam()).make();
  PulseDetector reference_state;
  const auto expected = reference_crossings(complemented(raw), &reference_state);
  for (std::size_t size = 1; size <= 2048; ++size) {
    PulseDetector state;
    ASSERT_EQ(stream_crossings(path, raw, size, 0, &state), expected) << "chunk size " << size;
    ASSERT_TRUE(same_state(state, reference_state)) << "chunk size " << size;
  }
  for (std::size_t first = 1; first <= 2048; ++first) {
    PulseDetector state;
    ASSERT_EQ(stream_crossings(path, raw, 2048, first, &state), expected) << "first " << first;
    ASSERT_TRUE(same_state(state, reference_state)) << "first " << first;
  }
}

// A crossing every DEBOUNCE_LIMIT + 1 samples, the first at the chunk's first sample, fills
// max_crossings(): with that many entries the whole chunk is taken, with one fewer only the
// 6 * capacity bytes whose crossings fit.
TEST(ChunkDetectorCapacity, DensestSignalFillsExactlyTheCapacity) {
  std::vector<std::uint8_t> values;
  for (int i = 0; i < 2100; ++i) values.push_back(i % 6 == 5 ? 255 : 0);
  const std::vector<std::uint8_t> raw = complemented(values);
  for (DetectorPath path : {DetectorPath::REFERENCE, DetectorPath::AVX2}) {
    if (!detector_path_available(path)) continue;
    for (std::size_t count : {1ul, 5ul, 6ul, 7ul, 12ul, 13ul, 64ul, 65ul, 300ul, 2047ul, 2048ul}) {
      for (std::size_t capacity : {max_crossings(count), max_crossings(count) - 1}) {
        PulseDetector d;
        pulse_detector_init(d);
        std::vector<Crossing> out(5);
        // The first five samples put the next crossing on the chunk's first sample.
        ASSERT_EQ(detect_chunk_along(path, d, raw.data(), 5, out.data(), out.size()).crossings, 0u);
        out.assign(capacity, Crossing{});
        const ChunkScan scan =
            detect_chunk_along(path, d, raw.data() + 5, count, out.data(), capacity);
        const std::size_t expected_bytes = capacity == max_crossings(count) ? count : 6 * capacity;
        EXPECT_EQ(scan.consumed, expected_bytes) << path_name(path) << ", count " << count;
        EXPECT_EQ(scan.crossings, capacity) << path_name(path) << ", count " << count;
        for (std::size_t i = 0; i < scan.crossings && i < out.size(); ++i) {
          EXPECT_EQ(out[i].index, 6 * i) << path_name(path) << ", count " << count;
          EXPECT_EQ(out[i].period, 6) << path_name(path) << ", count " << count;
        }
        // Samples since the last crossing: five before the chunk when none was taken.
        const std::size_t since = capacity == 0 ? 5 : expected_bytes - 1 - 6 * (capacity - 1);
        EXPECT_EQ(d.elapsed, static_cast<std::int64_t>(since))
            << path_name(path) << ", count " << count;
      }
    }
  }
}
