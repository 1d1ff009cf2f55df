// Round trips on real programs: every MZF file of the shared corpus recorded by tapesynth under
// changed conditions must come back byte for byte under the names its headers give, and the two
// real cassette recordings must give exactly their paired files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/test_support.h"

using namespace testing_support;

namespace {

// The corpus files, in the order they are recorded, with the name each program is saved under.
const std::vector<std::pair<std::string, std::vector<std::string>>> CORPUS = {
    {"8253-test.mzt", {"8253_TEST________"}},
    {"Baryon.mzt", {"BARYON___________", "BARYON_B_________", "BARYON_C_________"}},
    {"Drinking game v2.mzf", {"Drinking_game_v2_"}},
    {"GNU BLAT 2000.mzf", {"GNU_BLAT_2000____"}},
    {"Moonlander v4.mzf", {"Moonlander_v4____"}},
    {"ST-2.1.16.mzt", {"ST_2_____________"}},
    {"TestHalt.mzf", {"TestHalt_________"}},
    {"TestKeyboard.mzf", {"TESTKEYBOARD_BIN_"}},
    {"TestWriteCharacters.mzf", {"TESTWRITECHARACTE"}},
    {"advent 2021-25 7.mzf", {"advent_2021_25_7_"}},
};

std::string numbered(const std::string& name, int number) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "#%03d.MZF", number);
  return name + suffix;
}

class RoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    corpus_ = corpus_dir();
    if (corpus_.empty()) GTEST_SKIP() << "shared corpus not found beside the project; skipped";
  }
  std::string corpus_;
  TempDir in_, out_;
};

}  // namespace

// One test per stress axis on the whole corpus: rate, amplitude and offset, speed, noise.
TEST_F(RoundTrip, CorpusSurvivesRecordingConditions) {
  struct Condition {
    const char* what;
    int rate;
    double amplitude, offset, speed, noise;
  };
  const Condition conditions[] = {
      {"44100, quiet, offset down, 4 % fast, noisy", 44100, 50, -20, 1.04, 5},
      {"48000, loud, offset up, 3 % slow, noisy", 48000, 120, 10, 0.97, 8},
  };
  std::vector<tapesynth::Program> programs;
  std::vector<std::string> names;
  for (const auto& [file, program_names] : CORPUS) {
    ASSERT_TRUE(tapesynth::split_mzf(read_file(corpus_ + "/" + file), programs)) << file;
    names.insert(names.end(), program_names.begin(), program_names.end());
  }
  ASSERT_EQ(programs.size(), names.size());
  for (const Condition& c : conditions) {
    tapesynth::SynthOptions options;
    options.sample_rate = c.rate;
    options.amplitude = c.amplitude;
    options.dc_offset = c.offset;
    options.speed = c.speed;
    options.noise = c.noise;
    options.long_gap = 2000;
    options.short_gap = 1000;
    TempDir out;
    write_recording(in_.file("corpus.wav"), programs, options);
    RunOptions run;
    run.cwd = out.path();
    run.stdout_path = "/dev/null";
    const RunResult result = run_mzfextract({in_.file("corpus.wav")}, run);
    EXPECT_EQ(result.status, 0) << c.what;
    EXPECT_EQ(result.err, "") << c.what;
    std::vector<std::string> expected_files;
    for (std::size_t i = 0; i < programs.size(); ++i) {
      const std::string name = numbered(names[i], static_cast<int>(i + 1));
      expected_files.push_back(name);
      EXPECT_EQ(read_file(out.file(name)), mzf_of(programs[i])) << c.what << ": " << name;
    }
    std::sort(expected_files.begin(), expected_files.end());
    EXPECT_EQ(list_dir(out.path()), expected_files) << c.what;
  }
}

TEST_F(RoundTrip, RealRecordingsGiveTheirPairedFiles) {
  for (const std::string base : {"GNU BLAT 2000", "Moonlander v4"}) {
    TempDir out;
    RunOptions run;
    run.cwd = out.path();
    const RunResult result = run_mzfextract({corpus_ + "/recordings/" + base + ".wav"}, run);
    EXPECT_EQ(result.status, 0) << base;
    EXPECT_EQ(result.err, "") << base;
    std::string name = base;
    std::replace(name.begin(), name.end(), ' ', '_');
    name = numbered(name + std::string(17 - name.size(), '_'), 1);
    EXPECT_EQ(list_dir(out.path()), std::vector<std::string>{name}) << base;
    EXPECT_EQ(read_file(out.file(name)), read_file(corpus_ + "/" + base + ".mzf")) << base;
    // Each block's checksum is verified: header and body of the program.
    std::size_t verified = 0;
    for (std::size_t at = 0; (at = result.out.find("crc OK!\n", at)) != std::string::npos; ++at) {
      ++verified;
    }
    EXPECT_EQ(verified, 2u) << base;
  }
}
