// The synthesizer's output: WAV headers byte by byte for each format, sample values at full
// resolution, polarity, channels, dropouts and the other impairments, through the library and
// the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

#include "tests/test_support.h"

using namespace testing_support;

namespace {

Bytes text(const char* s) {
  return Bytes(s, s + 4);
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(TapesynthWav, HeadersOfEveryLayout) {
  struct Case {
    tapesynth::SampleFormat format;
    int channels, rate;
    Bytes expected;
  };
  const Case cases[] = {
      {tapesynth::SampleFormat::U8, 1, 8000,
       concat({text("RIFF"),
               {46, 0, 0, 0},
               text("WAVE"),
               text("fmt "),
               {16, 0, 0, 0, 1, 0, 1, 0},
               {0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0},
               text("data"),
               {10, 0, 0, 0}})},
      {tapesynth::SampleFormat::S16, 2, 44100,
       concat({text("RIFF"),
               {76, 0, 0, 0},
               text("WAVE"),
               text("fmt "),
               {16, 0, 0, 0, 1, 0, 2, 0},
               {0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0, 4, 0, 16, 0},
               text("data"),
               {40, 0, 0, 0}})},
      {tapesynth::SampleFormat::S24, 1, 96000,
       concat({text("RIFF"),
               {66, 0, 0, 0},
               text("WAVE"),
               text("fmt "),
               {16, 0, 0, 0, 1, 0, 1, 0},
               {0x00, 0x77, 0x01, 0, 0x00, 0x65, 0x04, 0, 3, 0, 24, 0},
               text("data"),
               {30, 0, 0, 0}})},
      {tapesynth::SampleFormat::F32, 1, 48000,
       concat({text("RIFF"),
               {90, 0, 0, 0},
               text("WAVE"),
               text("fmt "),
               {18, 0, 0, 0, 3, 0, 1, 0},
               {0x80, 0xBB, 0, 0, 0x00, 0xEE, 0x02, 0, 4, 0, 32, 0, 0, 0},
               text("fact"),
               {4, 0, 0, 0, 10, 0, 0, 0},
               text("data"),
               {40, 0, 0, 0}})},
  };
  for (const Case& c : cases) {
    tapesynth::SynthOptions o;
    o.format = c.format;
    o.channels = c.channels;
    o.sample_rate = c.rate;
    EXPECT_EQ(tapesynth::wav_header(10, o), c.expected) << tapesynth::sample_bytes(c.format);
  }
  // The 8-bit mono header is the one mzfextract's tests have always used.
  EXPECT_EQ(tapesynth::wav_header(10, 8000), cases[0].expected);
}

// The first sample of a pulse of amplitude 64 (half of full scale), in every format.
TEST(TapesynthWav, SamplesKeepFullResolutionAndPolarity) {
  struct Case {
    tapesynth::SampleFormat format;
    Bytes falling, rising;
  };
  const Case cases[] = {
      {tapesynth::SampleFormat::U8, {64}, {192}},
      {tapesynth::SampleFormat::S16, {0x00, 0xC0}, {0x00, 0x40}},
      {tapesynth::SampleFormat::S24, {0x00, 0x00, 0xC0}, {0x00, 0x00, 0x40}},
      {tapesynth::SampleFormat::F32, {0, 0, 0, 0xBF}, {0, 0, 0, 0x3F}},
  };
  for (const Case& c : cases) {
    for (bool falling : {true, false}) {
      tapesynth::SynthOptions o;
      o.format = c.format;
      o.amplitude = 64;
      o.falling_first = falling;
      tapesynth::Recorder recorder(o);
      recorder.pulse(false);
      const Bytes data = tapesynth::render_data(recorder, o);
      const std::size_t bytes = static_cast<std::size_t>(tapesynth::sample_bytes(c.format));
      ASSERT_EQ(data.size(), recorder.levels().size() * bytes);
      EXPECT_EQ(Bytes(data.begin(), data.begin() + static_cast<long>(bytes)),
                falling ? c.falling : c.rising);
      // An amplitude of a 16-bit step 40 dB down survives only at full resolution.
      o.amplitude = 128 * 0.01;
      tapesynth::Recorder quiet(o);
      quiet.pulse(false);
      const float first = tapesynth::render_float(quiet, o)[0];
      if (c.format == tapesynth::SampleFormat::U8) {
        EXPECT_EQ(first, falling ? -1 / 128.0F : 1 / 128.0F);
      } else {
        EXPECT_NEAR(first, falling ? -0.01F : 0.01F, 1e-4F) << tapesynth::sample_bytes(c.format);
      }
    }
  }
}

TEST(TapesynthWav, DefaultOutputIsTheClassicEightBitRecording) {
  tapesynth::SynthOptions o;
  o.long_gap = 200;
  o.short_gap = 150;
  o.noise = 4;
  const std::vector<tapesynth::Program> programs = {make_program("X", pattern(20, 1))};
  const tapesynth::Recorder recorder = tapesynth::record_tape(programs, o);
  EXPECT_EQ(tapesynth::render_data(recorder, o), tapesynth::record_programs(programs, o));
}

TEST(TapesynthChannels, SignalInItsChannelNoiseOfTheirOwnInTheOthers) {
  tapesynth::SynthOptions o;
  o.channels = 3;
  o.signal_channel = 3;
  o.noise = 2;
  o.format = tapesynth::SampleFormat::S16;
  tapesynth::Recorder recorder(o);
  recorder.pulses(true, 10);
  const std::vector<float> frames = tapesynth::render_float(recorder, o);
  ASSERT_EQ(frames.size(), 3 * recorder.levels().size());
  double signal = 0, silent[2] = {0, 0}, cross = 0;
  for (std::size_t f = 0; f < recorder.levels().size(); ++f) {
    signal += std::abs(frames[3 * f + 2]);
    silent[0] += std::abs(frames[3 * f]);
    silent[1] += std::abs(frames[3 * f + 1]);
    cross += frames[3 * f] * frames[3 * f + 1];
  }
  const auto n = static_cast<double>(recorder.levels().size());
  EXPECT_NEAR(signal / n, 100 / 128.0, 0.02);
  for (double s : silent) {
    EXPECT_GT(s / n, 0.5 / 128);  // noise of about 2 levels
    EXPECT_LT(s / n, 3.0 / 128);
  }
  EXPECT_LT(std::abs(cross / n), 1.0 / 128 / 128);  // independent noise in the two
}

// A dropout is a run of the mid level of the given length inside the given copy.
TEST(TapesynthDropout, SilencesTheChosenCopyOfEveryProgram) {
  for (tapesynth::CopyId copy : {tapesynth::CopyId::HEADER1, tapesynth::CopyId::BODY2}) {
    tapesynth::SynthOptions o;
    o.long_gap = 200;
    o.short_gap = 150;
    o.dropouts.push_back({copy, 0.5, 20});
    const tapesynth::Program program = make_program("A", pattern(200, 1));
    const std::vector<tapesynth::Program> programs = {program, program};
    const Bytes samples = tapesynth::record_programs(programs, o);
    std::vector<std::size_t> runs;  // starts of runs of the mid level between 15 and 25 ms
    std::size_t run = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (samples[i] == 128) {
        ++run;
        continue;
      }
      if (run >= 720 && run <= 1200) runs.push_back(i - run);
      run = 0;
    }
    ASSERT_EQ(runs.size(), 2U);
    // Both lie as far into their program: the same copy of each.
    const Bytes one = tapesynth::record_programs({programs[0]}, o);
    const double offset = 0.5 * 48000;  // silence between programs
    EXPECT_NEAR(static_cast<double>(runs[1] - runs[0]),
                static_cast<double>(one.size()) - 0.2 * 48000 + offset, 2);
  }
}

// Pulse starts (falling edges) in a recording of falling polarity, in samples.
std::vector<std::size_t> pulse_starts(const std::vector<double>& levels) {
  std::vector<std::size_t> starts;
  bool high = true;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    if (high && levels[i] < 128) starts.push_back(i);
    if (levels[i] != 128) high = levels[i] > 128;
  }
  return starts;
}

// The kinds of the pulses (long = true), read from their periods; the last one ends where the
// silence after it begins.
std::vector<bool> pulse_kinds(const std::vector<double>& levels, int rate) {
  std::vector<std::size_t> starts = pulse_starts(levels);
  std::size_t end = levels.size();
  while (end > 0 && levels[end - 1] == 128) --end;
  starts.push_back(end);
  std::vector<bool> kinds;
  for (std::size_t i = 1; i < starts.size(); ++i) {
    kinds.push_back(static_cast<double>(starts[i] - starts[i - 1]) * 1e6 / rate > 730);
  }
  return kinds;
}

// A program's pulses as the tape format lays them out, and where each copy's block lies.
struct Layout {
  std::vector<bool> kinds;
  std::size_t first[4], end[4];  // each copy's first pulse and the one past its last, by CopyId

  // Microseconds at nominal speed from the first pulse to pulse `index`.
  double us_before(std::size_t index) const {
    double us = 0;
    for (std::size_t i = 0; i < index; ++i) us += kinds[i] ? 958 : 504;
    return us;
  }
  // Where fraction `start` of a copy lies, in microseconds from the first pulse.
  double place(tapesynth::CopyId copy, double start) const {
    const auto c = static_cast<std::size_t>(copy);
    return us_before(first[c]) + start * (us_before(end[c]) - us_before(first[c]));
  }
};

Layout program_layout(const tapesynth::Program& p, const tapesynth::SynthOptions& o) {
  Layout layout{};
  auto add = [&](bool is_long, int count) {
    layout.kinds.insert(layout.kinds.end(), count, is_long);
  };
  auto block = [&](tapesynth::CopyId copy, const Bytes& bytes) {
    layout.first[static_cast<int>(copy)] = layout.kinds.size();
    for (std::uint8_t b : with_checksum(bytes)) {
      add(true, 1);
      for (int bit = 7; bit >= 0; --bit) add((b >> bit & 1) != 0, 1);
    }
    layout.end[static_cast<int>(copy)] = layout.kinds.size();
    add(true, 1);
  };
  add(false, o.long_gap), add(true, 40), add(false, 40), add(true, 1);
  block(tapesynth::CopyId::HEADER1, p.header);
  add(false, 256);
  block(tapesynth::CopyId::HEADER2, p.header);
  add(false, o.short_gap), add(true, 20), add(false, 20), add(true, 1);
  block(tapesynth::CopyId::BODY1, p.body);
  add(false, 256);
  block(tapesynth::CopyId::BODY2, p.body);
  return layout;
}

// Hum on silence: a sine of the asked frequency and level; level 0 changes no sample.
TEST(TapesynthImpairments, HumIsASineOfItsFrequencyAndLevel) {
  struct Case {
    double hz, level;
    int crossings;  // sign changes of the deviation in 0.1 s
  };
  for (const Case c : {Case{50, 0, 0}, Case{50, 0.5, 9}, Case{100, 1.0, 19}}) {
    tapesynth::SynthOptions o = quick_options();
    o.amplitude = 64;
    o.hum_hz = c.hz;
    o.hum_level = c.level;
    tapesynth::Recorder recorder(o);
    recorder.silence(0.1);
    double peak = 0;
    int crossings = 0, sign = 0;
    for (double level : recorder.levels()) {
      peak = std::max(peak, std::abs(level - 128));
      const int now = level > 129 ? 1 : level < 127 ? -1 : sign;
      crossings += sign != 0 && now != sign;
      sign = now;
    }
    EXPECT_NEAR(peak, c.level * 64, 0.01) << c.hz << " Hz " << c.level;
    EXPECT_EQ(crossings, c.crossings) << c.hz << " Hz " << c.level;
  }
  tapesynth::SynthOptions o = quick_options();
  const std::vector<tapesynth::Program> programs = {make_program("H", pattern(20, 1))};
  const Bytes plain = tapesynth::record_programs(programs, o);
  o.hum_level = 0;
  EXPECT_EQ(tapesynth::record_programs(programs, o), plain);
}

// A train of short pulses (1984 Hz, low for 240 us and high for 264) through each filter keeps
// the RMS that the filter's analogue response gives its mean and harmonics, within a tenth. The
// rate makes every pulse a whole number of samples, so that no rounding of its edges adds tones.
TEST(TapesynthImpairments, LowPassFiltersAttenuateAsTheirOrderAndCutoff) {
  struct Case {
    double lowpass1, lowpass2;
  };
  for (const Case c : {Case{0, 0}, Case{20000, 0}, Case{500, 0}, Case{0, 20000}, Case{0, 500}}) {
    tapesynth::SynthOptions o = quick_options(250000);
    o.lowpass1 = c.lowpass1;
    o.lowpass2 = c.lowpass2;
    tapesynth::Recorder recorder(o);
    recorder.pulses(false, 400);
    double sum = 0;
    const std::size_t from = recorder.levels().size() / 2;  // past the filters' settling
    for (std::size_t i = from; i < recorder.levels().size(); ++i) {
      sum += std::pow((recorder.levels()[i] - 128) / 100, 2);
    }
    const double rms = std::sqrt(sum / static_cast<double>(recorder.levels().size() - from));
    const double duty = 240.0 / 504;
    double expected = std::pow(1 - 2 * duty, 2);
    for (int k = 1; k < 100; ++k) {
      const double f = k * 1e6 / 504;
      double gain = 1;
      if (c.lowpass1 > 0) gain /= std::sqrt(1 + std::pow(f / c.lowpass1, 2));
      if (c.lowpass2 > 0) gain /= std::sqrt(1 + std::pow(f / c.lowpass2, 4));
      expected +=
          std::pow(4 / std::numbers::pi / k * std::sin(std::numbers::pi * k * duty) * gain, 2) / 2;
    }
    EXPECT_NEAR(rms, std::sqrt(expected), std::sqrt(expected) / 10)
        << c.lowpass1 << " " << c.lowpass2;
  }
}

// Flutter varies every pulse's period within +-P percent at its own rate, and combines with the
// drift: their speed factors multiply.
TEST(TapesynthImpairments, FlutterVariesThePeriodAtItsRateBesideTheDrift) {
  struct Case {
    double flutter, hz, drift;
    int cycles;  // in one second, when without drift
  };
  for (const Case c :
       {Case{0, 10, 0, 0}, Case{5, 10, 0, 10}, Case{5, 40, 0, 40}, Case{5, 10, 5, -1}}) {
    tapesynth::SynthOptions o = quick_options(1000000);
    o.flutter = c.flutter;
    o.flutter_hz = c.hz;
    o.drift = c.drift;
    o.drift_period = 1;
    tapesynth::Recorder recorder(o);
    recorder.pulses(false, 2000);  // a little over one second
    const std::vector<std::size_t> starts = pulse_starts(recorder.levels());
    double low = 1e9, high = 0;
    int cycles = 0;
    bool slow = false;
    for (std::size_t i = 1; i < starts.size(); ++i) {
      const auto period = static_cast<double>(starts[i] - starts[i - 1]);
      low = std::min(low, period);
      high = std::max(high, period);
      if (!slow && period > 504 * (1 + c.flutter / 200)) ++cycles;
      if (period > 504 * (1 + c.flutter / 200)) slow = true;
      if (period < 504 * (1 - c.flutter / 200)) slow = false;
    }
    const double fast = (1 + c.flutter / 100) * (1 + c.drift / 100);
    const double slowest = (1 - c.flutter / 100) * (1 - c.drift / 100);
    EXPECT_NEAR(low, 504 / fast, 2) << c.flutter << " " << c.hz << " " << c.drift;
    EXPECT_NEAR(high, 504 / slowest, 2) << c.flutter << " " << c.hz << " " << c.drift;
    if (c.cycles >= 0) {
      EXPECT_EQ(cycles, c.cycles) << c.flutter << " " << c.hz;
    }
  }
}

// Mutes and dips scale exactly the samples of their span, which starts at its fraction of the
// copy, in that copy of every program and nowhere else.
TEST(TapesynthImpairments, MutesAndDipsScaleTheirSpanOfTheChosenCopy) {
  struct Case {
    tapesynth::CopyId copy;
    double start, ms, gain;
  };
  const Case cases[] = {{tapesynth::CopyId::BODY1, 0.5, 0.4, 0},
                        {tapesynth::CopyId::HEADER2, 0, 3, 0.3},
                        {tapesynth::CopyId::BODY2, 0.9, 10, 0.5}};
  const tapesynth::Program program = make_program("D", pattern(60, 2));
  const std::vector<tapesynth::Program> programs = {program, program};
  for (const Case& c : cases) {
    tapesynth::SynthOptions o = quick_options(48000, 200, 150, 0.5);
    const std::vector<double> clean = tapesynth::record_tape(programs, o).levels();
    o.damages.push_back({c.copy, c.start, c.ms, c.gain});
    const std::vector<double> damaged = tapesynth::record_tape(programs, o).levels();
    ASSERT_EQ(damaged.size(), clean.size());
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < clean.size(); ++i) {
      if (damaged[i] == clean[i]) continue;
      changed.push_back(i);
      EXPECT_NEAR(damaged[i] - 128, c.gain * (clean[i] - 128), 1e-9) << i;
    }
    const Layout layout = program_layout(program, o);
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // first and last sample changed
    for (std::size_t i : changed) {
      if (runs.empty() || i != runs.back().second + 1) runs.emplace_back(i, i);
      runs.back().second = i;
    }
    ASSERT_EQ(runs.size(), 2U);
    for (int p = 0; p < 2; ++p) {
      const double at_us = 1e6 * o.silence_before +
                           p * (layout.us_before(layout.kinds.size()) + 1e6 * o.silence_between) +
                           layout.place(c.copy, c.start);
      EXPECT_NEAR(static_cast<double>(runs[p].first), at_us * 0.048, 1);
      EXPECT_NEAR(static_cast<double>(runs[p].second - runs[p].first + 1), c.ms * 48, 1);
    }
  }
}

// A slip leaves out exactly one pulse: the one at its place in the chosen copy.
TEST(TapesynthImpairments, SlipLeavesOutThePulseAtItsPlace) {
  struct Case {
    tapesynth::CopyId copy;
    double start;
  };
  const tapesynth::Program program = make_program("S", pattern(40, 3));
  for (const Case c : {Case{tapesynth::CopyId::HEADER1, 0}, Case{tapesynth::CopyId::HEADER1, 0.5},
                       Case{tapesynth::CopyId::BODY1, 0.37}, Case{tapesynth::CopyId::BODY2, 1}}) {
    tapesynth::SynthOptions o = quick_options(48000, 200, 150, 0.5);
    const Layout layout = program_layout(program, o);
    ASSERT_EQ(pulse_kinds(tapesynth::record_tape({program}, o).levels(), 48000), layout.kinds);
    o.slips.push_back({c.copy, c.start});
    const std::vector<bool> slipped =
        pulse_kinds(tapesynth::record_tape({program}, o).levels(), 48000);
    ASSERT_EQ(slipped.size() + 1, layout.kinds.size());
    const std::size_t r = static_cast<std::size_t>(
        std::mismatch(slipped.begin(), slipped.end(), layout.kinds.begin()).first -
        slipped.begin());
    std::vector<bool> expected = layout.kinds;
    expected.erase(expected.begin() + static_cast<long>(r));
    EXPECT_EQ(slipped, expected);
    // The place lies in the run of equal pulses that lost one, which ends at the first mismatch.
    const std::size_t first = layout.first[static_cast<int>(c.copy)];
    std::size_t begin = r;
    while (begin > first && layout.kinds[begin - 1] == layout.kinds[r]) --begin;
    EXPECT_LE(layout.us_before(begin), layout.place(c.copy, c.start)) << c.start;
    EXPECT_GE(layout.us_before(r + 1), layout.place(c.copy, c.start)) << c.start;
    EXPECT_LT(r, layout.end[static_cast<int>(c.copy)]) << c.start;
  }
}

TEST(TapesynthCommandLine, WritesTheAskedFormatAndPolarity) {
  TempDir dir;
  write_file(dir.file("p.mzf"), mzf_of(make_program("CLI", pattern(5, 1))));
  const std::string command = std::string("\"") + TAPESYNTH_PATH +
                              "\" --polarity rising --format s16 --channels 2 "
                              "--signal-channel 2 --long-gap 10 --short-gap 10 -r 22050 \"" +
                              dir.file("out.wav") + "\" \"" + dir.file("p.mzf") + "\"";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const Bytes wav = read_file(dir.file("out.wav"));
  ASSERT_GT(wav.size(), 44U);
  EXPECT_EQ(Bytes(wav.begin() + 20, wav.begin() + 36),
            (Bytes{1, 0, 2, 0, 0x22, 0x56, 0, 0, 0x88, 0x58, 0x01, 0, 4, 0, 16, 0}));
  // After the silence the first pulse rises, in the second channel only.
  std::size_t at = 44;
  while (at + 4 <= wav.size() && wav[at + 2] == 0 && wav[at + 3] == 0) at += 4;
  ASSERT_LT(at + 4, wav.size());
  const auto second = static_cast<std::int16_t>(wav[at + 2] | wav[at + 3] << 8);
  EXPECT_GT(second, 20000);
  EXPECT_EQ(wav[at], 0);
  EXPECT_EQ(wav[at + 1], 0);
  const std::string bad = std::string("\"") + TAPESYNTH_PATH + "\" --format s12 \"" +
                          dir.file("x.wav") + "\" \"" + dir.file("p.mzf") + "\" 2>/dev/null";
  EXPECT_EQ(WEXITSTATUS(std::system(bad.c_str())), 2);
}

// The values of the impairment options on both sides of their limits.
TEST(TapesynthCommandLine, ImpairmentValuesWithinTheirLimits) {
  TempDir dir;
  write_file(dir.file("p.mzf"), mzf_of(make_program("CLI", pattern(5, 1))));
  struct Case {
    const char* options;
    int status;
  };
  const Case cases[] = {
      {"--hum 50:0.5", 0},         {"--hum 50", 2},
      {"--lowpass2 11024", 0},     {"--lowpass2 11025", 2},
      {"--lowpass1 11024", 0},     {"--lowpass1 11025", 2},
      {"--flutter 50:10", 0},      {"--flutter 50.5", 2},
      {"--dip body1:0.5:20:1", 0}, {"--dip body1:0.5:20:1.1", 2},
      {"--mute header2:1:0.3", 0}, {"--mute header2:1:0.3:1", 2},
      {"--slip body2:1", 0},       {"--slip body3", 2},
  };
  for (const Case& c : cases) {
    const std::string command = std::string("\"") + TAPESYNTH_PATH + "\" -r 22050 " + c.options +
                                " --long-gap 10 --short-gap 10 \"" + dir.file("x.wav") + "\" \"" +
                                dir.file("p.mzf") + "\" 2>/dev/null";
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), c.status) << c.options;
  }
}

}  // namespace
