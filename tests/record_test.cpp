// mzfscan's record of a run: every recording given (read or not), every block and copy, the
// saved files' hashes, names shown safely; input from files, standard input and pipes in every
// format; the diagnosis of hum and of channels that cancel; progress only where asked; and a
// picture whose labels never overlap.
#include <gtest/gtest.h>
#include <nettle/sha2.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "report/report.h"
#include "run/mzfscan_run.h"
#include "tests/test_support.h"

using namespace testing_support;
using json = nlohmann::json;

namespace {

struct Outcome {
  int status;
  std::string out, errors;
};

std::string text_of(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  std::fclose(file);
  return text;
}

Outcome run(const mzfscan::RunOptions& options) {
  std::FILE* out = std::tmpfile();
  std::FILE* errors = std::tmpfile();
  const int status = mzfscan::run_scan(options, out, errors);
  return Outcome{status, text_of(out), text_of(errors)};
}

tapesynth::SynthOptions tape(int rate = 22050) {
  tapesynth::SynthOptions o = quick_options(rate);
  o.format = tapesynth::SampleFormat::S16;
  return o;
}

// Writes a 16-bit recording of `programs`.
void write_tape(const std::string& path, const std::vector<tapesynth::Program>& programs,
                const tapesynth::SynthOptions& options) {
  ASSERT_TRUE(tapesynth::write_wav(path, tapesynth::record_tape(programs, options), options));
}

std::string hex_of(const Bytes& bytes) {
  std::string hex;
  for (const std::uint8_t b : bytes) {
    hex += "0123456789abcdef"[b >> 4];
    hex += "0123456789abcdef"[b & 15];
  }
  return hex;
}

std::string sha256_hex(const Bytes& bytes) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, bytes.size(), bytes.data());
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof digest, digest);
  return hex_of(Bytes(digest, digest + sizeof digest));
}

// Rewrites the WAV file `from` as `to` in `format` (libsndfile's major and minor format); false
// when this libsndfile cannot write it.
bool convert(const std::string& from, const std::string& to, int format) {
  SF_INFO in_info{};
  SNDFILE* in = sf_open(from.c_str(), SFM_READ, &in_info);
  SF_INFO out_info{};
  out_info.samplerate = in_info.samplerate;
  out_info.channels = in_info.channels;
  out_info.format = format;
  if (in == nullptr || sf_format_check(&out_info) == 0) {
    if (in != nullptr) sf_close(in);
    return false;
  }
  SNDFILE* out = sf_open(to.c_str(), SFM_WRITE, &out_info);
  std::vector<float> frames(4096 * static_cast<std::size_t>(in_info.channels));
  sf_count_t n = 0;
  while (out != nullptr && (n = sf_readf_float(in, frames.data(), 4096)) > 0) {
    sf_writef_float(out, frames.data(), n);
  }
  sf_close(in);
  return out != nullptr && sf_close(out) == 0;
}

// Every way in and every compressed format read the same: a file, "-" from a redirected file,
// "-" and /dev/stdin from a pipe. A pipe holding no program still gets its second reading.
TEST(Record, EveryFormatAndEveryWayInReadTheSame) {
  TempDir dir;
  const tapesynth::Program program = make_program("PIPED", pattern(300, 4));
  write_tape(dir.file("tape.wav"), {program}, tape(44100));
  write_tape(dir.file("none.wav"), {}, tape());
  struct Format {
    const char* extension;
    int format;
    const char* name;
  };
  const Format formats[] = {
      {"wav", 0, "WAV 16-bit"},
      {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "FLAC 16-bit"},
      {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis"},
      {"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "MPEG layer III (MP3)"},
  };
  const char* ways[] = {"%s %s", "%s - < %s", "cat %s | %s -", "cat %s | %s /dev/stdin"};
  for (const Format& f : formats) {
    const std::string file = dir.file(std::string("tape.") + f.extension);
    if (f.format != 0 && !convert(dir.file("tape.wav"), file, f.format)) {
      std::printf("skipped: this libsndfile cannot write %s\n", f.extension);
      continue;
    }
    for (const char* way : ways) {
      const std::string out = dir.file("out");
      const std::string scan = std::string(MZFSCAN_PATH) + " --json -o " + out;
      char command[1024];
      const bool cat = std::string(way).rfind("cat", 0) == 0;
      std::snprintf(command, sizeof command, way, cat ? file.c_str() : scan.c_str(),
                    cat ? scan.c_str() : file.c_str());
      const std::string label = std::string(command);
      std::FILE* pipe = ::popen((std::string(command) + " 2>/dev/null").c_str(), "r");
      ASSERT_NE(pipe, nullptr);
      std::string report;
      char buffer[4096];
      std::size_t n = 0;
      while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) report.append(buffer, n);
      EXPECT_EQ(::pclose(pipe), 0) << label;
      const json r = json::parse(report, nullptr, false);
      ASSERT_FALSE(r.is_discarded()) << label;
      EXPECT_EQ(r["recordings"][0]["format"], f.name) << label;
      EXPECT_EQ(r["summary"]["verified"], 1) << label;
      EXPECT_EQ(read_file(out + "/PIPED____________#001.MZF"), mzf_of(program)) << label;
      std::remove((out + "/PIPED____________#001.MZF").c_str());
    }
  }
  // A header that declares no end, as a stream writes it: read to the end, and said so.
  Bytes endless = read_file(dir.file("tape.wav"));
  for (const std::size_t at : {std::size_t{4}, std::size_t{40}}) {
    std::fill_n(endless.begin() + static_cast<std::ptrdiff_t>(at), 4, 0xFF);
  }
  write_file(dir.file("endless.wav"), endless);
  mzfscan::RunOptions stream;
  stream.recordings = {dir.file("endless.wav")};
  stream.output_directory = dir.file("stream");
  const Outcome streamed = run(stream);
  EXPECT_EQ(streamed.status, 0) << streamed.errors;
  EXPECT_NE(streamed.errors.find("declares no end"), std::string::npos) << streamed.errors;
  EXPECT_EQ(read_file(dir.file("stream/PIPED____________#001.MZF")), mzf_of(program));
  // Nothing found: the second reader reads the pipe's copy again.
  const std::string command =
      "cat " + dir.file("none.wav") + " | " + MZFSCAN_PATH + " -o " + dir.file("out") + " - 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  std::string errors;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) errors.append(buffer, n);
  EXPECT_EQ(WEXITSTATUS(::pclose(pipe)), mzfscan::STATUS_NOT_SAVED) << errors;
  EXPECT_NE(errors.find("no program found"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("second reading"), std::string::npos) << errors;
}

// One run over a damaged, a conflicting, an unreadable, a cut-off and a clean recording under a
// name that is not UTF-8 and holds control characters: each has its place in the record, in
// order, with every block, copy and file hash; the table and messages show the name escaped.
TEST(Record, TheJsonRecordsEveryRecordingBlockAndCopy) {
  TempDir dir;
  const tapesynth::Program program = make_program("RECORD", pattern(400, 5));
  tapesynth::SynthOptions damaged = tape();
  // Both body copies silenced at the same place: no reading can know those bytes.
  damaged.damages = {{tapesynth::CopyId::BODY1, 0.3, 30, 0},
                     {tapesynth::CopyId::BODY2, 0.3, 30, 0}};
  write_tape(dir.file("damaged.wav"), {program}, damaged);
  // Two copies that pass their checksums and differ at byte 5.
  const tapesynth::Recorder recorder = record_conflicting_copies(program, tape());
  ASSERT_TRUE(tapesynth::write_wav(dir.file("conflict.wav"), recorder, tape()));
  write_file(dir.file("text.wav"), {'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o'});
  // Cut inside the body's first copy: the recording ends in the block.
  tapesynth::SynthOptions clean = tape();
  clean.silence_after = 0;
  write_tape(dir.file("whole.wav"), {program}, clean);
  const Bytes whole = read_file(dir.file("whole.wav"));
  mzfscan::RunOptions first;
  first.recordings = {dir.file("whole.wav")};
  first.output_directory = dir.file("first");
  first.json = true;
  const json body1 =
      json::parse(run(first).out)["recordings"][0]["programs"][0]["blocks"]["body"]["copies"][0];
  const double middle = (body1["start"].get<double>() + body1["end"].get<double>()) / 2;
  const auto cut = static_cast<std::ptrdiff_t>(44 + 2 * static_cast<long>(middle * 22050));
  write_file(dir.file("cut.wav"), Bytes(whole.begin(), whole.begin() + cut));
  const std::string odd = dir.file("caf\xe9\n\x1b[2Jtape.wav");
  write_file(odd, whole);

  mzfscan::RunOptions options;
  options.recordings = {dir.file("damaged.wav"), dir.file("conflict.wav"), dir.file("text.wav"),
                        dir.file("cut.wav"), odd};
  options.output_directory = dir.file("out");
  options.json = true;
  const Outcome json_run = run(options);
  EXPECT_EQ(json_run.status, mzfscan::STATUS_FAILED) << json_run.errors;
  const json report = json::parse(json_run.out);
  const json& recordings = report["recordings"];
  ASSERT_EQ(recordings.size(), 5U);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(recordings[i]["path"], options.recordings[i]);
    EXPECT_TRUE(recordings[i]["path_bytes"].is_null());
  }
  const auto body_of = [&](std::size_t i) -> const json& {
    return recordings[i]["programs"][0]["blocks"]["body"];
  };
  // Damaged: both copies broken where their dropouts lie, neither saved.
  const json& damaged_program = recordings[0]["programs"][0];
  EXPECT_EQ(damaged_program["name"], "RECORD");
  EXPECT_EQ(damaged_program["error"], "not verified");
  EXPECT_TRUE(damaged_program["saved"].is_null() && damaged_program["sha256"].is_null());
  EXPECT_EQ(body_of(0)["verdict"], "damaged");
  for (const json& copy : body_of(0)["copies"]) {
    EXPECT_EQ(copy["verdict"], "broken") << copy;
    EXPECT_EQ(copy["first_failing_byte"], copy["bytes"]) << copy;
    EXPECT_LT(copy["bytes"].get<int>(), 402) << copy;
    EXPECT_LT(copy["start"].get<double>(), copy["end"].get<double>()) << copy;
  }
  EXPECT_EQ(recordings[0]["programs"][0]["blocks"]["header"]["copies"][1]["verdict"], "verified");
  // Conflict: both checksums hold; each copy fails at byte 5 against the other.
  EXPECT_EQ(body_of(1)["verdict"], "conflict");
  for (const json& copy : body_of(1)["copies"]) {
    EXPECT_EQ(copy["verdict"], "conflict") << copy;
    EXPECT_EQ(copy["first_failing_byte"], 5) << copy;
  }
  // Unreadable: its message, and nothing read.
  EXPECT_NE(recordings[2]["error"].get<std::string>().find("not a recording"), std::string::npos);
  EXPECT_TRUE(recordings[2]["format"].is_null() && recordings[2]["duration"].is_null());
  EXPECT_TRUE(recordings[2]["programs"].empty());
  // Cut off: said so, and the body truncated, not merely damaged.
  EXPECT_NE(recordings[3]["error"].get<std::string>().find("truncated"), std::string::npos);
  EXPECT_EQ(recordings[3]["programs"][0]["body"], "truncated");
  EXPECT_EQ(body_of(3)["copies"][0]["verdict"], "truncated");
  // The clean one under the odd name: readable path, its bytes in hex, the file's hash.
  EXPECT_EQ(recordings[4]["path"], dir.file("caf?\n\x1b[2Jtape.wav"));
  const std::string hex = hex_of(Bytes(odd.begin(), odd.end()));
  EXPECT_EQ(recordings[4]["path_bytes"], hex);
  const json& saved = recordings[4]["programs"][0];
  EXPECT_EQ(saved["saved"], "new");
  EXPECT_TRUE(saved["error"].is_null());
  EXPECT_EQ(saved["sha256"], sha256_hex(mzf_of(program)));
  EXPECT_EQ(sha256_hex(read_file(dir.file("out/") + saved["file"].get<std::string>())),
            saved["sha256"]);
  EXPECT_EQ(recordings[4]["format"], "WAV 16-bit");
  EXPECT_GT(recordings[4]["duration"].get<double>(), 1);
  EXPECT_LT(recordings[4]["peak_dbfs"].get<double>(), 0);
  EXPECT_LT(recordings[4]["rms_dbfs"].get<double>(), recordings[4]["peak_dbfs"].get<double>());
  EXPECT_EQ(report["summary"]["unreadable"], 1);

  // Again into the same folder: already there, under the number the first run gave it; into a
  // folder where another file has its name: a clash.
  const std::string first_file = saved["file"];
  options.recordings = {odd};
  for (const bool clash : {false, true}) {
    if (clash) {
      options.output_directory = dir.file("other");
      ::mkdir(dir.file("other").c_str(), 0755);
      write_file(dir.file("other/RECORD___________#001.MZF"), {1, 2, 3});
    }
    const json again = json::parse(run(options).out)["recordings"][0]["programs"][0];
    EXPECT_EQ(again["saved"], clash ? json(nullptr) : json("already")) << clash;
    EXPECT_EQ(again["error"], clash ? json("clash") : json(nullptr)) << clash;
    EXPECT_EQ(again["file"], clash ? json(nullptr) : json(first_file)) << clash;
    EXPECT_EQ(again["sha256"], clash ? json(nullptr) : saved["sha256"]) << clash;
  }

  // The table and the messages of the same run: the odd name escaped, no raw control character.
  options.json = false;
  options.output_directory = dir.file("table");
  options.recordings = {odd, odd + ".missing"};
  const Outcome table = run(options);
  const std::string escaped = "\\n\\x1b[2Jtape.wav";
  EXPECT_NE(table.out.find(escaped), std::string::npos) << table.out;
  EXPECT_NE(table.errors.find(escaped + ".missing: No such file"), std::string::npos)
      << table.errors;
  for (const std::string* text : {&table.out, &table.errors}) {
    EXPECT_EQ(text->find('\x1b'), std::string::npos);
  }
  EXPECT_EQ(std::count(table.errors.begin(), table.errors.end(), '\n'), 1) << table.errors;
}

// The diagnosis names strong hum and channels that cancel when mixed; a clean tape has none.
TEST(Record, TheDiagnosisNamesHumAndCancellingChannels) {
  struct Case {
    const char* label;
    double hum;
    bool inverted;  // the second channel is the first upside down
    const char* channel;
    const char* named;  // what the diagnosis says; "" for none
  };
  const Case cases[] = {
      {"clean", 0, false, "auto", ""},
      {"weak hum", 0.1, false, "auto", ""},
      {"hum as strong as the pulses", 3, false, "auto", "strong hum"},
      {"channels alike, mixed", 0, false, "mix", ""},
      {"one channel inverted, mixed", 0, true, "mix", "the channels cancel when mixed"},
      {"one channel inverted, read alone", 0, true, "auto", ""},
  };
  const tapesynth::Program program = make_program("HUM", pattern(200, 6));
  for (const Case& c : cases) {
    TempDir dir;
    tapesynth::SynthOptions o = tape();
    o.hum_level = c.hum;
    const std::vector<float> samples =
        tapesynth::render_float(tapesynth::record_tape({program}, o), o);
    // Stereo, the second channel the first or its inverse.
    SF_INFO info{};
    info.samplerate = o.sample_rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const std::string path = dir.file("tape.wav");
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> frames;
    for (const float x : samples) {
      frames.push_back(x);
      frames.push_back(c.inverted ? -x : x);
    }
    sf_writef_float(file, frames.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    mzfscan::RunOptions options;
    options.recordings = {path};
    options.output_directory = dir.file("out");
    options.json = true;
    options.channel =
        std::string(c.channel) == "mix" ? mzfscan::CHANNEL_MIX : mzfscan::CHANNEL_AUTO;
    const Outcome r = run(options);
    const json diagnosis = json::parse(r.out)["recordings"][0]["diagnosis"];
    if (*c.named == '\0') {
      EXPECT_TRUE(diagnosis.is_null()) << c.label << ": " << diagnosis;
      continue;
    }
    ASSERT_TRUE(diagnosis.is_string()) << c.label;
    EXPECT_NE(diagnosis.get<std::string>().find(c.named), std::string::npos) << c.label;
    EXPECT_NE(r.errors.find(c.named), std::string::npos) << c.label << r.errors;
  }
}

// Progress goes to standard error only when asked (a terminal), and its line is cleared.
TEST(Record, ProgressOnlyWhereAsked) {
  TempDir dir;
  write_tape(dir.file("tape.wav"), {make_program("SLOW", pattern(100, 7))}, tape());
  for (const bool asked : {false, true}) {
    mzfscan::RunOptions options;
    options.recordings = {dir.file("tape.wav")};
    options.output_directory = dir.file(asked ? "a" : "b");
    options.progress = asked;
    options.progress_after_seconds = 0;
    const Outcome r = run(options);
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.errors.find("reading 0:0"),
              asked ? r.errors.find("reading 0:0") : std::string::npos);
    EXPECT_EQ(r.errors.find('\r') != std::string::npos, asked) << r.errors;
    if (asked) {
      EXPECT_EQ(r.errors.substr(r.errors.size() - 4), "\r\x1b[K") << r.errors;
    }
  }
}

// Labels of programs close together never overlap, however many; a failed header copy of a
// fraction of a pixel is drawn as wide as the narrowest body; the legend names every colour.
TEST(Record, ThePictureLabelsNeverOverlapAndEveryCopyShows) {
  mzfscan::RecordingReport recording;
  recording.path = "tape.wav";
  recording.opened = true;
  recording.seconds = 3600;
  for (int i = 0; i < 12; ++i) {
    mzfscan::ProgramReport p;
    p.time_seconds = 100 + i * 3.0;
    const Bytes header = make_header("PROGRAM " + std::to_string(i), 10);
    std::copy(header.begin(), header.end(), p.header);
    p.header_verdict = i % 2 == 0 ? mzfscan::VERDICT_OK : mzfscan::VERDICT_DAMAGED;
    p.body_verdict = i % 3 == 0 ? mzfscan::VERDICT_TRUNCATED : mzfscan::VERDICT_OK;
    recording.programs.push_back(p);
    recording.plot.copies.push_back(mzfscan::BlockCopy{
        true, 1, p.time_seconds, p.time_seconds + 0.8, mzfscan::COPY_BROKEN, 40, 40, {}});
  }
  const std::string svg = mzfscan::plot_svg({recording});
  struct Box {
    double from, to;
    int y;
  };
  // The SVG's elements, one a line: a label's x, y and text; a copy's width.
  const auto attribute = [](const std::string& line, const char* name) {
    const std::string key = std::string(" ") + name + "=\"";
    const std::size_t at = line.find(key);
    return at == std::string::npos ? -1.0 : std::stod(line.substr(at + key.size()));
  };
  std::vector<Box> labels;
  std::vector<double> copy_widths;
  std::istringstream lines(svg);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("font-family=\"monospace\">") != std::string::npos) {
      const std::size_t text = line.find('>') + 1;
      const std::size_t length = line.find("</text>") - text;
      const double x = attribute(line, "x");
      // The widest a monospace character of this size is drawn.
      labels.push_back(
          {x, x + 6.7 * static_cast<double>(length), static_cast<int>(attribute(line, "y"))});
    } else if (line.rfind("<rect ", 0) == 0 && line.find(" height=\"12\"") != std::string::npos) {
      copy_widths.push_back(attribute(line, "width"));
    }
  }
  ASSERT_EQ(labels.size(), 12U);
  for (std::size_t a = 0; a < labels.size(); ++a) {
    EXPECT_LE(labels[a].to, 960) << a;
    for (std::size_t b = a + 1; b < labels.size(); ++b) {
      EXPECT_FALSE(labels[a].y == labels[b].y && labels[a].from < labels[b].to &&
                   labels[b].from < labels[a].to)
          << a << " and " << b;
    }
  }
  EXPECT_EQ(copy_widths.size(), 12U + 6U);  // the copies, then the legend's six colours
  for (const double width : copy_widths) EXPECT_GE(width, 5.0);
  for (const char* key : {"verified", "conflict", "checksum failed", "broken", "truncated",
                          "where a copy broke", "joined: the bytes this copy gave"}) {
    EXPECT_NE(svg.find(key), std::string::npos) << key;
  }
  EXPECT_NE(svg.find("header damaged"), std::string::npos);
  EXPECT_NE(svg.find("body truncated"), std::string::npos);
}

}  // namespace

// --same-tape in the JSON: one program for the tape, with both recordings as its sources and, for
// a body joined across them, the bytes each copy of each gave; each recording keeps its own
// record, its programs unsaved.
TEST(Record, SameTapeListsEachProgramOnceWithItsSources) {
  TempDir dir;
  const tapesynth::Program program = make_program("TWICE", pattern(500, 3));
  std::vector<std::string> paths;
  for (const double at : {0.3, 0.7}) {
    tapesynth::SynthOptions o = tape();
    o.seed = paths.size() + 5;
    o.dropouts = {{tapesynth::CopyId::BODY1, at, 30}, {tapesynth::CopyId::BODY2, at, 30}};
    paths.push_back(dir.file("capture" + std::to_string(paths.size()) + ".wav"));
    write_tape(paths.back(), {program}, o);
  }
  mzfscan::RunOptions options;
  options.recordings = paths;
  options.output_directory = dir.file("out");
  options.json = true;
  options.same_tape = true;
  const Outcome outcome = run(options);
  EXPECT_EQ(outcome.status, 0) << outcome.errors;
  const json report = json::parse(outcome.out);
  for (const json& recording : report["recordings"]) {
    EXPECT_EQ(recording["programs"][0]["body"], "damaged");
    EXPECT_TRUE(recording["programs"][0]["file"].is_null());
  }
  const json& programs = report["same_tape"]["programs"];
  ASSERT_EQ(programs.size(), 1U);
  EXPECT_EQ(programs[0]["body"], "joined");
  EXPECT_EQ(programs[0]["file"], "TWICE____________#001.MZF");
  ASSERT_EQ(programs[0]["sources"].size(), 2U);
  for (std::size_t i = 0; i < 2; ++i) {
    const json& source = programs[0]["sources"][i];
    EXPECT_EQ(source["recording"], i + 1);
    EXPECT_EQ(source["path"], paths[i]);
    ASSERT_EQ(source["body_copies"].size(), 2U);
    EXPECT_FALSE(source["body_copies"][0]["gave"].empty()) << source;
  }
  EXPECT_EQ(read_file(dir.file("out/TWICE____________#001.MZF")), mzf_of(program));
  EXPECT_EQ(report["summary"]["verified"], 1);
}
