// The synthesizer's output: WAV headers byte by byte for each format, sample values at full
// resolution, polarity, channels and dropouts, through the library and the command line.
#include <gtest/gtest.h>

#include <cstdlib>
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
  // The 8-bit mono header is the one the classic tests have always used.
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

}  // namespace
