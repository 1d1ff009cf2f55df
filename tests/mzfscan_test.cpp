// mzfscan run end to end as a child process on recordings made with tapesynth and written in
// many formats with libsndfile: formats and rates, polarity, level and signal faults, damaged
// copies, loaders, several recordings, bad input, and identity with mzfextract.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

using namespace testing_support;
using nlohmann::json;

namespace {

struct ScanRun {
  int status = -1;
  std::string out, err;
};

std::string text_of(const std::string& path) {
  const Bytes bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

// Runs `program` with `args` in the directory `cwd` and waits for it; standard output goes to
// `stdout_path` when one is given.
ScanRun run_program(const std::string& program, const std::vector<std::string>& args,
                    const std::string& cwd, const std::string& stdout_path = "") {
  TempDir capture;
  const std::string out = stdout_path.empty() ? capture.file("out") : stdout_path;
  const std::string err = capture.file("err");
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (::chdir(cwd.c_str()) != 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0) ::_exit(126);
    std::vector<std::string> copies = args;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ScanRun run;
  int wait_status = 0;
  if (child < 0 || ::waitpid(child, &wait_status, 0) != child) return run;
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  if (stdout_path.empty()) run.out = text_of(out);
  run.err = text_of(err);
  return run;
}

ScanRun mzfscan(const std::vector<std::string>& args, const std::string& cwd) {
  return run_program(MZFSCAN_PATH, args, cwd);
}

// Short gaps keep recordings small.
tapesynth::SynthOptions quick(int rate = 48000) {
  return quick_options(rate, 600, 400, 0.2);
}

// How a recording is written: container and encoding, channels, where the signal is, its gain.
struct Layout {
  int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  int channels = 1;
  int signal_channel = 0;  // 0-based; the others get quiet noise
  double gain = 1.0;
  double dc = 0;
};

// Writes tapesynth's 8-bit samples as float full scale into any format libsndfile writes.
void write_audio(const std::string& path, const Bytes& samples, int rate, const Layout& layout) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = layout.channels;
  info.format = layout.format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  std::mt19937 random(5);
  std::normal_distribution<float> hiss(0.0F, 0.002F);
  std::vector<float> frames(samples.size() * layout.channels);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    for (int c = 0; c < layout.channels; ++c) {
      frames[i * layout.channels + c] =
          c == layout.signal_channel
              ? static_cast<float>((samples[i] - 128.0) / 128.0 * layout.gain + layout.dc)
              : hiss(random);
    }
  }
  EXPECT_EQ(sf_writef_float(file, frames.data(), static_cast<sf_count_t>(samples.size())),
            static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

const std::vector<tapesynth::Program>& two_programs() {
  static const std::vector<tapesynth::Program> programs = {
      make_program("HELLO", pattern(300, 1)), make_program("S\x92\x9F 2", pattern(1200, 2))};
  return programs;
}

// The ordinary names of the two programs as the first of a run.
const std::vector<std::string> TWO_NAMES = {"HELLO____________#001.MZF",
                                            "Sec_2____________#002.MZF"};

class Scan : public ::testing::Test {
 protected:
  std::string in(const std::string& name) const { return in_.file(name); }
  std::string out(const std::string& name) const { return out_.file(name); }
  std::vector<std::string> saved() const { return list_dir(out_.path()); }
  ScanRun scan(std::vector<std::string> args) { return mzfscan(args, out_.path()); }
  // Checks that the files of `programs` were saved under `names`, byte for byte.
  void expect_saved(const std::vector<tapesynth::Program>& programs,
                    const std::vector<std::string>& names, const std::string& what) {
    ASSERT_EQ(saved(), names) << what;
    for (std::size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(read_file(out(names[i])), mzf_of(programs[i])) << what << " " << names[i];
    }
  }
  TempDir in_, out_;
};

// The text with every run of spaces made one.
std::string squeezed(const std::string& text) {
  std::string words;
  for (const char c : text) {
    if (c != ' ' || words.empty() || words.back() != ' ') words += c;
  }
  return words;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

json parsed(const ScanRun& run) {
  json report = json::parse(run.out, nullptr, false);
  EXPECT_FALSE(report.is_discarded()) << run.out;
  return report;
}

}  // namespace

TEST_F(Scan, FormatsChannelsAndRates) {
  struct Case {
    const char* name;
    int rate;
    Layout layout;
    const char* extension;
  };
  const Case cases[] = {
      {"wav u8", 22050, {SF_FORMAT_WAV | SF_FORMAT_PCM_U8}, "wav"},
      {"wav s16 stereo, signal left", 44100, {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 0}, "wav"},
      {"wav s16 stereo, signal right", 44100, {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1}, "wav"},
      {"wav s24 extensible 4 ch", 48000, {SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 4, 2}, "wav"},
      {"wav s32", 48000, {SF_FORMAT_WAV | SF_FORMAT_PCM_32}, "wav"},
      {"wav float", 96000, {SF_FORMAT_WAV | SF_FORMAT_FLOAT}, "wav"},
      {"rf64 s16", 44100, {SF_FORMAT_RF64 | SF_FORMAT_PCM_16}, "wav"},
      {"aiff s16", 44100, {SF_FORMAT_AIFF | SF_FORMAT_PCM_16}, "aiff"},
      {"flac s16 stereo", 44100, {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 1}, "flac"},
      {"ogg vorbis", 44100, {SF_FORMAT_OGG | SF_FORMAT_VORBIS}, "ogg"},
      {"11025 Hz", 11025, {SF_FORMAT_WAV | SF_FORMAT_PCM_16}, "wav"},
      {"192000 Hz resampled", 192000, {SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 1}, "wav"},
      {"wav s16 64 ch, the most read", 11025, {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 64, 63}, "wav"},
  };
  for (const Case& c : cases) {
    const std::string path = in("tape." + std::string(c.extension));
    write_audio(path, tapesynth::record_programs(two_programs(), quick(c.rate)), c.rate, c.layout);
    const ScanRun run = scan({"--json", "--force", path});
    EXPECT_EQ(run.status, 0) << c.name << "\n" << run.err;
    expect_saved(two_programs(), TWO_NAMES, c.name);
    const json report = parsed(run);
    ASSERT_EQ(report["recordings"].size(), 1U) << c.name;
    const json& recording = report["recordings"][0];
    EXPECT_EQ(recording["sample_rate"], c.rate) << c.name;
    EXPECT_EQ(recording["channels"], c.layout.channels) << c.name;
    EXPECT_EQ(recording["channel_used"], c.layout.signal_channel + 1) << c.name;
    EXPECT_EQ(recording["polarity"], "falling") << c.name;
    EXPECT_EQ(
        report["summary"],
        json({{"found", 2}, {"verified", 2}, {"from_copy", 0}, {"damaged", 0}, {"unreadable", 0}}))
        << c.name;
  }
}

TEST_F(Scan, ReportFieldsInTableAndJson) {
  // Over a minute of silence first, and a start address apart from the load address.
  std::vector<tapesynth::Program> programs = two_programs();
  programs[1].header = make_header("S\x92\x9F 2", 1200, 0x1200, 0x2345);
  tapesynth::SynthOptions options = quick(44100);
  options.silence_before = 75;
  write_audio(in("t.wav"), tapesynth::record_programs(programs, options), 44100, {});
  const ScanRun run = scan({"--json", in("t.wav")});
  ASSERT_EQ(run.status, 0) << run.err;
  const json report = parsed(run);
  const json& recording = report["recordings"][0];
  EXPECT_EQ(recording["path"], in("t.wav"));
  EXPECT_NEAR(recording["speed_percent"].get<double>(), 0, 1.0);
  ASSERT_EQ(recording["programs"].size(), 2U);
  const json& second = recording["programs"][1];
  EXPECT_EQ(second["name"], "Sec 2");
  EXPECT_EQ(second["type"], 1);
  EXPECT_EQ(second["size"], 1200);
  EXPECT_EQ(second["load"], 0x1200);
  EXPECT_EQ(second["start"], 0x2345);
  EXPECT_EQ(second["header"], "ok");
  EXPECT_EQ(second["body"], "ok");
  EXPECT_EQ(second["file"], TWO_NAMES[1]);
  // In seconds: the first program starts after the silence, in the gap before its header.
  const double first_time = recording["programs"][0]["time"].get<double>();
  EXPECT_GE(first_time, 75);
  EXPECT_LT(first_time, 76);
  EXPECT_GT(second["time"].get<double>(), first_time);
  const std::vector<std::string> keys = {
      "path",      "path_bytes", "error",        "format",   "sample_rate",
      "channels",  "duration",   "channel_used", "polarity", "speed_percent",
      "peak_dbfs", "rms_dbfs",   "diagnosis",    "programs"};
  std::vector<std::string> seen;
  const auto ordered = nlohmann::ordered_json::parse(run.out);
  for (const auto& item : ordered["recordings"][0].items()) seen.push_back(item.key());
  EXPECT_EQ(seen, keys);

  // The table of the same run: the recording line, then a line per program.
  const ScanRun table = scan({"--force", in("t.wav")});
  EXPECT_EQ(table.status, 0);
  EXPECT_NE(table.out.find("WAV 16-bit, 44100 Hz, 1 channel"), std::string::npos) << table.out;
  // The same time in minutes, seconds and milliseconds.
  char shown[16];
  std::snprintf(shown, sizeof shown, " 1:15.%03ld ", std::lround(first_time * 1000) % 1000);
  EXPECT_NE(table.out.find(shown), std::string::npos) << shown << "\n" << table.out;
  EXPECT_NE(squeezed(table.out).find("\"Sec 2\" 01 OBJ 1200 1200 2345 ok ok " + TWO_NAMES[1]),
            std::string::npos)
      << table.out;
  EXPECT_NE(
      table.out.find("2 programs found, 2 saved verified (0 from the second copy), 0 damaged"),
      std::string::npos);
}

namespace {

// Runs mzfextract on `recording` in a fresh directory; returns that directory's files.
std::vector<std::pair<std::string, Bytes>> mzfextract_files(const std::string& recording) {
  TempDir directory;
  const ScanRun run = run_program(MZFEXTRACT_PATH, {recording}, directory.path());
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<std::pair<std::string, Bytes>> files;
  for (const std::string& name : list_dir(directory.path())) {
    files.emplace_back(name, read_file(directory.file(name)));
  }
  return files;
}

std::vector<std::pair<std::string, Bytes>> files_in(const std::string& directory) {
  std::vector<std::pair<std::string, Bytes>> files;
  for (const std::string& name : list_dir(directory)) {
    if (name.size() > 4 && name.substr(name.size() - 4) == ".MZF") {
      files.emplace_back(name, read_file(directory + "/" + name));
    }
  }
  return files;
}

}  // namespace

TEST_F(Scan, PolarityIsFoundAndThePreparedRecordingDecodesInMzfextract) {
  struct Case {
    const char* name;
    bool falling;
    int rate;
    Layout layout;
    int prepared_rate;
  };
  const Case cases[] = {
      {"falling u8 48000", true, 48000, {SF_FORMAT_WAV | SF_FORMAT_PCM_U8}, 48000},
      {"rising u8 48000", false, 48000, {SF_FORMAT_WAV | SF_FORMAT_PCM_U8}, 48000},
      {"rising s16 stereo right 44100",
       false,
       44100,
       {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1},
       44100},
      {"falling s16 -30 dB 22050",
       true,
       22050,
       {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 0, 0.03},
       22050},
      {"rising float 192000", false, 192000, {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 0}, 44100},
      {"falling s24 176400", true, 176400, {SF_FORMAT_WAV | SF_FORMAT_PCM_24}, 44100},
      {"falling s16 offset +0.3",
       true,
       44100,
       {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 0, 0.5, 0.3},
       44100},
  };
  for (const Case& c : cases) {
    tapesynth::SynthOptions options = quick(c.rate);
    options.falling_first = c.falling;
    write_audio(in("tape.wav"), tapesynth::record_programs(two_programs(), options), c.rate,
                c.layout);
    const ScanRun run = scan({"--json", "--force", "--wav", in("prepared.wav"), in("tape.wav")});
    EXPECT_EQ(run.status, 0) << c.name << "\n" << run.err;
    expect_saved(two_programs(), TWO_NAMES, c.name);
    EXPECT_EQ(parsed(run)["recordings"][0]["polarity"], c.falling ? "falling" : "rising") << c.name;
    SF_INFO info{};
    SNDFILE* prepared = sf_open(in("prepared.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(prepared, nullptr) << c.name;
    Bytes bytes(static_cast<std::size_t>(info.frames));
    sf_read_raw(prepared, bytes.data(), info.frames);
    sf_close(prepared);
    // Centred on the mid level whatever the offset, and unless resampled (which may overshoot)
    // never clipped: the peak lands on 1 or 255 at most.
    const double mean =
        std::accumulate(bytes.begin(), bytes.end(), 0.0) / static_cast<double>(bytes.size());
    EXPECT_NEAR(mean, 128, 1) << c.name;
    if (c.rate == c.prepared_rate) {
      EXPECT_GE(*std::min_element(bytes.begin(), bytes.end()), 1) << c.name;
    }
    EXPECT_EQ(info.samplerate, c.prepared_rate) << c.name;
    EXPECT_EQ(info.channels, 1) << c.name;
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_U8) << c.name;
    EXPECT_EQ(mzfextract_files(in("prepared.wav")), files_in(out_.path())) << c.name;
  }
}

TEST_F(Scan, SignalLevelOffsetNoiseAndSpeed) {
  struct Case {
    const char* name;
    double gain, dc, noise, speed, drift;
  };
  const Case cases[] = {
      {"-20 dB", 0.1, 0, 0, 1, 0},
      {"-40 dB", 0.01, 0, 0, 1, 0},
      {"DC offset +0.4", 0.5, 0.4, 0, 1, 0},
      {"DC offset -0.4", 0.5, -0.4, 0, 1, 0},
      {"noise", 1, 0, 14, 1, 0},
      {"10 % slow", 1, 0, 0, 0.9, 0},
      {"10 % fast", 1, 0, 0, 1.1, 0},
      {"drift 3 %", 1, 0, 0, 1, 3},
  };
  for (const Case& c : cases) {
    tapesynth::SynthOptions options = quick(44100);
    options.noise = c.noise;
    options.speed = c.speed;
    options.drift = c.drift;
    options.drift_period = 2;
    Layout layout;
    layout.gain = c.gain;
    layout.dc = c.dc;
    write_audio(in("tape.wav"), tapesynth::record_programs(two_programs(), options), 44100, layout);
    const ScanRun run = scan({"--json", "--force", in("tape.wav")});
    EXPECT_EQ(run.status, 0) << c.name << "\n" << run.err;
    expect_saved(two_programs(), TWO_NAMES, c.name);
    if (c.speed != 1) {
      EXPECT_NEAR(parsed(run)["recordings"][0]["speed_percent"].get<double>(), (c.speed - 1) * 100,
                  2.0)
          << c.name;
    }
  }
}

TEST_F(Scan, DamagedCopies) {
  struct Case {
    const char* name;
    std::vector<tapesynth::CopyId> dropouts;
    bool keep_damaged;
    int status;
    const char* header;
    const char* body;
    std::vector<std::string> files;
  };
  const std::string ordinary = "DAMAGE___________#001.MZF";
  const std::string damaged = "DAMAGE___________#001.DAMAGED.MZF";
  using enum tapesynth::CopyId;
  const Case cases[] = {
      {"header copy 1", {HEADER1}, false, 0, "copy", "ok", {ordinary}},
      {"body copy 1", {BODY1}, false, 0, "ok", "copy", {ordinary}},
      {"body copy 2 only", {BODY2}, false, 0, "ok", "ok", {ordinary}},
      {"header and body copy 1", {HEADER1, BODY1}, false, 0, "copy", "copy", {ordinary}},
      {"both body copies", {BODY1, BODY2}, false, 3, "ok", "damaged", {}},
      {"both body copies, kept", {BODY1, BODY2}, true, 3, "ok", "damaged", {damaged}},
      {"both header copies", {HEADER1, HEADER2}, false, 3, "damaged", "ok", {}},
  };
  const tapesynth::Program program = make_program("DAMAGE", pattern(500, 9));
  // A clean program follows; it takes the next number even when the damaged one is not saved.
  const Bytes follower = tapesynth::record_programs({two_programs()[0]}, quick(44100));
  const std::string follower_name = "HELLO____________#002.MZF";
  for (const Case& c : cases) {
    tapesynth::SynthOptions options = quick(44100);
    for (const tapesynth::CopyId copy : c.dropouts) options.dropouts.push_back({copy, 0.5, 30});
    Bytes samples = tapesynth::record_programs({program}, options);
    samples.insert(samples.end(), follower.begin(), follower.end());
    write_audio(in("tape.wav"), samples, 44100, {});
    TempDir directory;
    std::vector<std::string> args = {"--json", "-o", directory.path(), in("tape.wav")};
    if (c.keep_damaged) args.insert(args.begin(), "--keep-damaged");
    const ScanRun run = scan(args);
    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err;
    const json report = parsed(run);
    const json& found = report["recordings"][0]["programs"];
    ASSERT_EQ(found.size(), 2U) << c.name;
    EXPECT_EQ(found[0]["header"], c.header) << c.name;
    EXPECT_EQ(found[0]["body"], c.body) << c.name;
    std::vector<std::string> files = c.files;
    files.push_back(follower_name);
    EXPECT_EQ(list_dir(directory.path()), files) << c.name;
    if (c.files.empty()) {
      EXPECT_TRUE(found[0]["file"].is_null()) << c.name;
    } else {
      EXPECT_EQ(found[0]["file"], c.files[0]) << c.name;
    }
    if (c.status == 0) {
      EXPECT_EQ(read_file(directory.file(ordinary)), mzf_of(program)) << c.name;
      EXPECT_EQ(report["summary"]["from_copy"],
                std::string(c.header) == "copy" || std::string(c.body) == "copy" ? 1 : 0)
          << c.name;
    } else {
      EXPECT_EQ(report["summary"]["damaged"], 1) << c.name;
      EXPECT_EQ(report["summary"]["verified"], 1) << c.name;
    }
    // The table gives the same verdicts; the picture draws each copy a dropout broke in purple
    // and each verified one, borne out by the other, in green (and each colour's key in the
    // legend once).
    TempDir again;
    const ScanRun table = scan({"-o", again.path(), "--plot", again.file("p.svg"), in("tape.wav")});
    EXPECT_NE(squeezed(table.out).find(std::string(" 500 1200 1200 ") + c.header + " " + c.body),
              std::string::npos)
        << table.out;
    const std::string svg = text_of(again.file("p.svg"));
    EXPECT_EQ(occurrences(svg, "height=\"12\" fill=\"#8e44ad\""), c.dropouts.size() + 1) << c.name;
    EXPECT_EQ(occurrences(svg, "height=\"12\" fill=\"#2e9e44\""), 9 - c.dropouts.size()) << c.name;
  }
}

TEST_F(Scan, LoaderRelaysItsProgram) {
  const Bytes program_body = pattern(400, 10);
  Bytes loader_body = pattern(90, 11);
  const Bytes relayed = {0x90, 0x01, 0x00, 0x30, 0x00, 0x30, 1, 2, 3, 4, 5, 6, 7};  // 400 @ 0x3000
  std::copy(relayed.begin(), relayed.end(), loader_body.begin() + 77);
  const tapesynth::Program loader{make_header("LOADER", 90, 0xD400, 0xD400), loader_body};
  tapesynth::Recorder recorder(quick());
  recorder.program(loader);
  recorder.pulses(false, 400);
  recorder.tape_mark(20);
  recorder.pulse(true);
  recorder.block(program_body);
  recorder.pulse(true);
  recorder.pulses(false, 256);
  recorder.block(program_body);
  recorder.pulse(true);
  recorder.silence(0.1);
  ASSERT_TRUE(tapesynth::write_wav(in("loader.wav"), recorder.samples(), 48000));
  const ScanRun run = scan({in("loader.wav")});
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(saved(), (std::vector<std::string>{"LOADER___________#001.MZF"}));
  Bytes expected = loader.header;
  for (std::size_t i = 0; i < relayed.size(); ++i) expected.at(18 + i) = relayed[i];
  expected.insert(expected.end(), program_body.begin(), program_body.end());
  EXPECT_EQ(read_file(out("LOADER___________#001.MZF")), expected);
  EXPECT_EQ(mzfextract_files(in("loader.wav")), files_in(out_.path()));
}

TEST_F(Scan, SeveralRecordingsNumberOnAndNeverOverwrite) {
  write_audio(in("a.wav"), tapesynth::record_programs(two_programs(), quick(44100)), 44100, {});
  write_audio(in("b.flac"), tapesynth::record_programs(two_programs(), quick(48000)), 48000,
              {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 1});
  const ScanRun run = scan({"--json", in("a.wav"), in("b.flac")});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> four = {"HELLO____________#001.MZF", "HELLO____________#003.MZF",
                                         "Sec_2____________#002.MZF", "Sec_2____________#004.MZF"};
  EXPECT_EQ(saved(), four);
  EXPECT_EQ(read_file(out(four[3])), mzf_of(two_programs()[1]));
  EXPECT_EQ(parsed(run)["summary"]["verified"], 4);

  // Again, in the other order: every program is there already (under its number or another),
  // nothing is written, status 0.
  const ScanRun reordered = scan({"--json", in("b.flac"), in("a.wav")});
  EXPECT_EQ(reordered.status, 0) << reordered.err;
  EXPECT_EQ(saved(), four);
  EXPECT_EQ(parsed(reordered)["recordings"][0]["programs"][0]["saved"], "already");
  EXPECT_EQ(parsed(reordered)["summary"]["verified"], 4);
  // A different file under a name is a clash, named, status 1, and is not overwritten.
  write_file(out(four[2]), {1, 2, 3});
  write_file(out(four[3]), {1, 2, 3});
  const ScanRun again = scan({in("a.wav"), in("b.flac")});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find(four[2] + ": exists"), std::string::npos) << again.err;
  EXPECT_NE(again.err.find(four[3] + ": exists"), std::string::npos) << again.err;
  EXPECT_EQ(again.err.find(four[0]), std::string::npos) << again.err;
  EXPECT_EQ(read_file(out(four[2])), (Bytes{1, 2, 3}));
  EXPECT_NE(again.out.find("4 programs found, 2 saved verified"), std::string::npos) << again.out;
  // With --force they are replaced.
  const ScanRun forced = scan({"--force", in("a.wav"), in("b.flac")});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(read_file(out(four[2])), mzf_of(two_programs()[1]));
}

TEST_F(Scan, NothingOnTheRecordingIsDiagnosed) {
  // Tones at half full scale (0 Hz: silence). Up to 96000 Hz a recording is read at its own rate,
  // above it at 48000 Hz, where the tone is gone.
  struct Case {
    const char* name;
    int rate;
    double hz;
    const char* level;  // nullptr: not checked
    const char* says;
  };
  const char* const half = "peak -6.0 dBFS, RMS -9.0 dBFS";
  const char* const unlike = "they do not look like this tape format";
  const Case cases[] = {
      {"silence", 44100, 0, "peak -inf dBFS, RMS -inf dBFS", "silent"},
      {"1 kHz tone", 44100, 1000, half, unlike},
      {"2 kHz tone: short pulses only", 44100, 2000, half, unlike},
      {"40 kHz tone at 96000 Hz", 96000, 40000, half, unlike},
      {"40 kHz tone at 96001 Hz", 96001, 40000, nullptr, "no pulses seen"},
  };
  for (const Case& c : cases) {
    std::vector<float> samples(static_cast<std::size_t>(c.rate) * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      samples[i] =
          static_cast<float>(0.5 * std::sin(static_cast<double>(i) * 2 * M_PI * c.hz / c.rate));
    }
    SF_INFO info{0, c.rate, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* file = sf_open(in("empty.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    const ScanRun run = scan({in("empty.wav")});
    EXPECT_EQ(run.status, 3) << c.name;
    EXPECT_NE(run.err.find(in("empty.wav") + ": no program found"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.name << "\n" << run.err;
    if (c.level != nullptr) {
      EXPECT_NE(run.err.find(c.level), std::string::npos) << c.name << "\n" << run.err;
    }
    EXPECT_NE(run.err.find("try:"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("0 programs found"), std::string::npos) << run.out;
    EXPECT_TRUE(saved().empty()) << c.name;
  }
}

TEST_F(Scan, BadInputIsNamedAndTheOthersAreStillSaved) {
  const Bytes samples = tapesynth::record_programs(two_programs(), quick(44100));
  write_audio(in("good.wav"), samples, 44100, {});
  const Bytes whole = read_file(in("good.wav"));
  // Cut after the first program: it is still saved, and the cut is reported.
  write_file(in("truncated.wav"), Bytes(whole.begin(), whole.begin() + whole.size() * 6 / 10));
  write_file(in("notes.txt"), Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
  write_file(in("locked.wav"), whole);
  ::chmod(in("locked.wav").c_str(), 0);
  const bool can_lock = ::access(in("locked.wav").c_str(), R_OK) != 0;  // not so for root
  write_audio(in("65.wav"), Bytes(4410, 128), 44100, {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 65});
  struct Case {
    std::string path;
    const char* says;
    std::vector<std::string> files;  // after the good recording's two
  };
  std::vector<Case> cases = {
      {in("truncated.wav"), "truncated", {"HELLO____________#003.MZF"}},
      {in("notes.txt"), "not a recording", {}},
      {in_.path(), "Is a directory", {}},
      {in("absent.wav"), "No such file or directory", {}},
      {in("65.wav"), "65 channels; at most 64 are read", {}},
  };
  if (can_lock) cases.push_back({in("locked.wav"), "Permission denied", {}});
  for (const Case& c : cases) {
    TempDir directory;
    const ScanRun run = scan({"-o", directory.path(), in("good.wav"), c.path});
    EXPECT_EQ(run.status, 1) << c.path;
    EXPECT_NE(run.err.find("mzfscan: " + c.path + ": "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    std::vector<std::string> expected = TWO_NAMES;
    expected.insert(expected.end(), c.files.begin(), c.files.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_dir(directory.path()), expected) << c.path;
  }
  if (!can_lock) GTEST_LOG_(INFO) << "running as root: the unreadable-file case is skipped";
}

TEST_F(Scan, UnwritableOutput) {
  write_audio(in("good.wav"), tapesynth::record_programs(two_programs(), quick(44100)), 44100, {});
  // An output "directory" that is a file.
  write_file(in("plain"), {});
  const ScanRun file = scan({"-o", in("plain"), in("good.wav")});
  EXPECT_EQ(file.status, 1);
  EXPECT_NE(file.err.find(in("plain") + ": cannot use as the output directory"), std::string::npos)
      << file.err;
  // A directory where no file can be created: one without write permission, or for root, who
  // writes there anyway, /proc.
  TempDir locked;
  ::chmod(locked.path().c_str(), 0555);
  const bool root = ::access(locked.path().c_str(), W_OK) == 0;
  const std::string unwritable = root ? "/proc" : locked.path();
  const ScanRun run = scan({"-o", unwritable, in("good.wav")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(unwritable + "/" + TWO_NAMES[0] + ": cannot create: "), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find(unwritable + "/" + TWO_NAMES[1] + ": cannot create: "), std::string::npos)
      << run.err;
  ::chmod(locked.path().c_str(), 0755);
  // A plot or a prepared recording that cannot be written, and one onto the recording itself.
  const Bytes recording = read_file(in("good.wav"));
  const std::vector<std::pair<std::vector<std::string>, std::string>> failures = {
      {{"--plot", in("no/such/dir.svg")}, in("no/such/dir.svg") + ": cannot write"},
      {{"--wav", in("no/such/dir.wav")}, in("no/such/dir.wav") + ": cannot write"},
      {{"--force", "--wav", in("good.wav")}, in("good.wav") + ": is a recording or a file"},
  };
  for (const auto& [options, says] : failures) {
    std::vector<std::string> args = options;
    args.push_back(in("good.wav"));
    const ScanRun run = scan(args);
    EXPECT_EQ(run.status, 1) << says;
    EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
  }
  EXPECT_EQ(read_file(in("good.wav")), recording);
  EXPECT_EQ(saved(), TWO_NAMES);
  // Standard output on a full disk.
  const ScanRun full = run_program(MZFSCAN_PATH, {in("good.wav")}, out_.path(), "/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("mzfscan: standard output: cannot write"), std::string::npos) << full.err;
}

TEST_F(Scan, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--channel", "0", "x.wav"},
      {"--channel", "left", "x.wav"},
      {"--polarity", "up", "x.wav"},
      {"--wav", "o.wav", "a.wav", "b.wav"},
      {"--bogus", "x.wav"},
  };
  for (const auto& args : cases) {
    const ScanRun run = scan(args);
    EXPECT_EQ(run.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_FALSE(run.err.empty());
    EXPECT_TRUE(run.out.empty());
  }
  const ScanRun help = scan({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--keep-damaged"), std::string::npos);
  const ScanRun version = scan({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "mzfscan 1.0\n");
  // A channel the recording does not have is an error about that recording.
  write_audio(in("mono.wav"), tapesynth::record_programs(two_programs(), quick()), 48000, {});
  const ScanRun missing = scan({"--channel", "2", in("mono.wav")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find(in("mono.wav") + ": has 1 channel; channel 2 does not exist"),
            std::string::npos);
}

TEST_F(Scan, ChannelAndPolarityChoices) {
  tapesynth::SynthOptions options = quick(44100);
  options.falling_first = false;
  write_audio(in("tape.wav"), tapesynth::record_programs(two_programs(), options), 44100,
              {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1});
  struct Case {
    std::vector<std::string> args;
    int status;
    json channel_used;
    const char* polarity;
  };
  const Case cases[] = {
      {{"--channel", "2"}, 0, 2, "rising"},
      {{"--channel", "mix"}, 0, "mix", "rising"},
      {{"--polarity", "rising"}, 0, 2, "rising"},
      {{"--polarity", "falling"}, 3, 2, "falling"},  // as asked, though the pulses rise first
      {{"--channel", "1"}, 3, 1, "falling"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--json", "--force", in("tape.wav")});
    const ScanRun run = scan(args);
    EXPECT_EQ(run.status, c.status) << c.args[1] << "\n" << run.err;
    const json report = parsed(run);
    EXPECT_EQ(report["recordings"][0]["channel_used"], c.channel_used) << c.args[1];
    EXPECT_EQ(report["recordings"][0]["polarity"], c.polarity) << c.args[1];
  }
}

TEST_F(Scan, SameFilesAsMzfextractOnCleanRecordings) {
  const std::vector<tapesynth::Program> programs = {
      make_program("A", pattern(1, 3)), make_program("Lower case", pattern(2000, 4)),
      make_program("12345678901234567", pattern(256, 5))};
  for (const int rate : {22050, 44100, 48000}) {
    tapesynth::SynthOptions options = quick(rate);
    options.noise = 3;
    ASSERT_TRUE(
        tapesynth::write_wav(in("clean.wav"), tapesynth::record_programs(programs, options), rate));
    TempDir directory;
    const ScanRun run = scan({"-o", directory.path(), in("clean.wav")});
    EXPECT_EQ(run.status, 0) << rate << "\n" << run.err;
    const auto expected = mzfextract_files(in("clean.wav"));
    EXPECT_EQ(expected.size(), programs.size()) << rate;
    EXPECT_EQ(files_in(directory.path()), expected) << rate;
  }
}

TEST_F(Scan, CorpusRecordingsInEveryFormat) {
  const std::string corpus = corpus_dir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus is not there";
  struct Format {
    const char* name;
    Layout layout;
    const char* extension;
  };
  const Format formats[] = {
      {"16-bit stereo, signal right", {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1}, "wav"},
      {"float", {SF_FORMAT_WAV | SF_FORMAT_FLOAT}, "wav"},
      {"FLAC 24-bit", {SF_FORMAT_FLAC | SF_FORMAT_PCM_24}, "flac"},
  };
  for (const char* title : {"GNU BLAT 2000", "Moonlander v4"}) {
    const std::string recording = corpus + "/recordings/" + title + ".wav";
    Bytes program = read_file(corpus + "/" + title + ".mzf");
    std::string name = title;
    std::replace(name.begin(), name.end(), ' ', '_');
    name += std::string(17 - name.size(), '_') + "#001.MZF";
    // The original, then the same samples in other formats.
    TempDir original_out;
    const ScanRun original = scan({"-o", original_out.path(), recording});
    EXPECT_EQ(original.status, 0) << title << "\n" << original.err;
    EXPECT_EQ(read_file(original_out.file(name)), program) << title;
    EXPECT_EQ(mzfextract_files(recording), files_in(original_out.path())) << title;
    const Bytes file = read_file(recording);
    const Bytes samples(file.begin() + 44, file.end());
    for (const Format& format : formats) {
      const std::string path = in(std::string("copy.") + format.extension);
      write_audio(path, samples, 22050, format.layout);
      TempDir directory;
      const ScanRun run = scan({"-o", directory.path(), path});
      EXPECT_EQ(run.status, 0) << title << " " << format.name << "\n" << run.err;
      EXPECT_EQ(read_file(directory.file(name)), program) << title << " " << format.name;
    }
  }
}
