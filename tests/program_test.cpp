// The program run end to end on recordings made by tapesynth: command line, statuses, errors,
// the exact trace, damaged signals, block sizes, chunk boundaries, loaders and output failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "app/driver.h"
#include "converter/converter.h"
#include "signal/pulse_detector.h"
#include "tape/tape_decoder.h"
#include "tests/test_support.h"

using namespace testing_support;

namespace {

constexpr char USAGE_TAIL[] = " <8bit-mono-*.wav-filename>\n       - convert wav to *.MZF files\n";

Bytes wav_of(const std::vector<tapesynth::Program>& programs,
             const tapesynth::SynthOptions& options) {
  const Bytes samples = tapesynth::record_programs(programs, options);
  Bytes wav = tapesynth::wav_header(samples.size(), options.sample_rate);
  wav.insert(wav.end(), samples.begin(), samples.end());
  return wav;
}

// The trace with the LONG lines of tape marks reduced to their counts and every other LONG line
// (stray long runs after a block) left out; the thresholds of the kept lines go to `t0s`.
std::string marks_and_blocks(const std::string& trace, std::vector<double>* t0s) {
  std::istringstream lines(trace);
  std::string line, kept;
  while (std::getline(lines, line)) {
    int count = 0;
    double t0 = 0;
    if (std::sscanf(line.c_str(), "LONG:%d;t0=%lf;", &count, &t0) == 2) {
      if (count != 20 && count != 40) continue;
      t0s->push_back(t0);
      line = "LONG:" + std::to_string(count);
    }
    kept += line + "\n";
  }
  return kept;
}

std::string expected_program_trace(const tapesynth::Program& p) {
  return "LONG:40\nSHORT40:40\n" + block_trace(with_checksum(p.header), false) +
         "LONG:20\nSHORT20:20\n" + block_trace(with_checksum(p.body), true);
}

// The decoder run in this process over the same bytes, one sample at a time with the reference
// detector. Collects the trace and the sample numbers at which bodies were completed.
struct ReferenceRun {
  std::string trace;
  std::vector<std::int64_t> bodies_at;
};

ReferenceRun reference_run(const Bytes& file) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* trace = open_memstream(&text, &size);
  auto decoder = std::make_unique<mzfextract::TapeDecoder>();
  mzfextract::tape_decoder_init(*decoder, trace);
  mzfextract::PulseDetector detector;
  mzfextract::pulse_detector_init(detector);
  ReferenceRun run;
  for (std::size_t i = 0; i < file.size(); ++i) {
    std::int64_t period = 0;
    if (!mzfextract::feed(detector, static_cast<std::uint8_t>(~file[i]), &period)) continue;
    const auto sample = static_cast<std::int64_t>(i + 1);
    if (mzfextract::on_period(*decoder, period, sample) ==
        mzfextract::TapeEvent::PROGRAM_COMPLETE) {
      run.bodies_at.push_back(sample);
    }
  }
  std::fclose(trace);
  run.trace.assign(text, size);
  std::free(text);
  return run;
}

// A program whose body byte 10 starts with a short pulse. `*crossing` receives the index of the
// sample at which the detector reports that pulse: the first sample of the pulse after it.
Bytes record_with_missing_start_pulse(std::size_t* crossing) {
  const tapesynth::Program program = make_program("SYNC", pattern(20, 7));
  tapesynth::Recorder recorder(quick_options());
  record_until_body(recorder, program.header);
  for (std::size_t i = 0; i < 10; ++i) recorder.byte(program.body[i]);
  recorder.pulse(false);
  *crossing = recorder.samples().size();
  for (int bit = 7; bit >= 0; --bit) recorder.pulse((program.body[10] >> bit & 1) != 0);
  for (std::size_t i = 11; i < program.body.size(); ++i) recorder.byte(program.body[i]);
  recorder.pulses(true, 30);  // long pulses complete the body whatever its framing
  return recorder.samples();
}

std::string sync_message(std::size_t sample_number) {
  char message[64];
  std::snprintf(message, sizeof message, "\nchyba synchronizace %.3fs !!!\n",
                static_cast<double>(sample_number) / 48000.0);
  return message;
}

// A conversion in this process of the recording at `path` into a fresh directory: what it
// printed to the trace and as errors, what it returned, and the files it wrote.
struct InProcess {
  std::string trace, errors;
  int status = -1;
  std::vector<std::string> files;
};

// Closes a memory stream and gives what it holds.
std::string text_of(std::FILE* stream, char** text, const std::size_t* size) {
  std::fclose(stream);
  std::string result(*text, *size);
  std::free(*text);
  return result;
}

InProcess convert_in_process(const std::string& path) {
  InProcess result;
  TempDir dir;
  char* trace_text = nullptr;
  char* error_text = nullptr;
  std::size_t trace_size = 0, error_size = 0;
  std::FILE* trace = open_memstream(&trace_text, &trace_size);
  std::FILE* errors = open_memstream(&error_text, &error_size);
  const int fd = ::open(path.c_str(), O_RDONLY);
  const int directory = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  result.status = mzfextract::convert_recording(fd, directory, trace, errors);
  ::close(fd);
  ::close(directory);
  result.trace = text_of(trace, &trace_text, &trace_size);
  result.errors = text_of(errors, &error_text, &error_size);
  result.files = list_dir(dir.path());
  return result;
}

class Program : public ::testing::Test {
 protected:
  RunResult run(const std::string& recording, RunOptions options = {}) {
    if (options.cwd.empty()) options.cwd = out_.path();
    return run_mzfextract({recording}, options);
  }
  std::string output(const std::string& name) const { return out_.file(name); }
  std::vector<std::string> outputs() const { return list_dir(out_.path()); }

  TempDir in_;   // recordings
  TempDir out_;  // the program's working directory
};

}  // namespace

TEST_F(Program, UsageWithoutArguments) {
  const RunResult result = run_mzfextract({}, {});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string("\nUsage: ") + MZFEXTRACT_PATH + USAGE_TAIL);
  EXPECT_EQ(result.err, "");
  RunOptions nameless;
  nameless.no_program_name = true;
  const RunResult unnamed = run_mzfextract({}, nameless);
  EXPECT_EQ(unnamed.status, 0);
  EXPECT_EQ(unnamed.out, std::string("\nUsage: mzfextract") + USAGE_TAIL);
}

TEST_F(Program, InputErrors) {
  const RunResult missing = run(in_.file("absent.wav"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "Nelze otevrit soubor: No such file or directory\n");

  const RunResult directory = run(in_.path());
  EXPECT_EQ(directory.status, 1);
  EXPECT_EQ(directory.out, "");
  EXPECT_EQ(directory.err, "Chyba cteni souboru: Is a directory\n");

  write_file(in_.file("empty.wav"), {});
  const RunResult empty = run(in_.file("empty.wav"));
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out + empty.err, "");
  EXPECT_TRUE(outputs().empty());
}

TEST_F(Program, ExactTraceAndFileAtCommonRates) {
  const tapesynth::Program program = make_program("EXACT 1", pattern(700, 21));
  for (int rate : {44100, 48000}) {
    const std::string wav = in_.file(std::to_string(rate) + ".wav");
    write_recording(wav, {program}, quick_options(rate));
    const RunResult result = run(wav);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    std::vector<double> t0s;
    EXPECT_EQ(marks_and_blocks(result.out, &t0s), expected_program_trace(program)) << rate;
    // The threshold is one and a half short pulses of 504 microseconds.
    for (double t0 : t0s) EXPECT_NEAR(t0, 1.5 * 504e-6 * rate, 0.2) << rate;
    EXPECT_EQ(read_file(output("EXACT_1__________#001.MZF")), mzf_of(program)) << rate;
  }
}

TEST_F(Program, RisingFirstPolarityDoesNotDecode) {
  // Pulses that start on their rising edge merge halves of different pulses: the long pulse
  // after the gap never stands out, so nothing is found. Inverting the recording cures it.
  tapesynth::SynthOptions options = quick_options();
  options.falling_first = false;
  write_recording(in_.file("rising.wav"), {make_program("R", pattern(50, 2))}, options);
  const RunResult result = run(in_.file("rising.wav"));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(outputs().empty());
}

TEST_F(Program, NoisyRecordingDecodesExactly) {
  const tapesynth::Program program = make_program("NOISY", pattern(2000, 5));
  tapesynth::SynthOptions options = quick_options(44100);
  options.noise = 8;
  options.amplitude = 60;
  options.seed = 99;
  write_recording(in_.file("noisy.wav"), {program}, options);
  const RunResult result = run(in_.file("noisy.wav"));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(output("NOISY____________#001.MZF")), mzf_of(program));
}

TEST_F(Program, WrongChecksumIsShownAndTheBodyStillWritten) {
  const tapesynth::Program program = make_program("CRC", pattern(100, 6));
  tapesynth::Recorder recorder(quick_options());
  record_until_body(recorder, program.header);
  recorder.block(program.body,
                 static_cast<std::uint16_t>(tapesynth::checksum_of(program.body) + 1));
  recorder.pulse(true);
  ASSERT_TRUE(tapesynth::write_wav(in_.file("crc.wav"), recorder.samples(), 48000));
  const RunResult result = run(in_.file("crc.wav"));
  EXPECT_EQ(result.status, 0);
  Bytes stored = program.body;
  const std::uint16_t wrong = static_cast<std::uint16_t>(tapesynth::checksum_of(program.body) + 1);
  stored.push_back(static_cast<std::uint8_t>(wrong >> 8));
  stored.push_back(static_cast<std::uint8_t>(wrong & 0xFF));
  std::vector<double> t0s;
  EXPECT_EQ(marks_and_blocks(result.out, &t0s),
            "LONG:40\nSHORT40:40\n" + block_trace(with_checksum(program.header), false) +
                "LONG:20\nSHORT20:20\n" + block_trace(stored, true, false));
  EXPECT_EQ(read_file(output("CRC______________#001.MZF")), mzf_of(program));
}

TEST_F(Program, MissingStartPulseIsReportedWithItsTime) {
  // Silence in front puts the crossing of the short start pulse at a chosen sample number; the
  // two sides of a rounding edge of the time show that sample numbers are neither early nor late.
  std::size_t crossing = 0;
  const Bytes samples = record_with_missing_start_pulse(&crossing);
  const struct {
    std::size_t sample_number;
    const char* message;
  } cases[] = {{96023, "\nchyba synchronizace 2.000s !!!\n"},
               {96024, "\nchyba synchronizace 2.001s !!!\n"}};
  for (const auto& c : cases) {
    const std::size_t unpadded = 44 + crossing + 1;
    ASSERT_LT(unpadded, c.sample_number);
    Bytes padded(c.sample_number - unpadded, 128);
    padded.insert(padded.end(), samples.begin(), samples.end());
    ASSERT_TRUE(tapesynth::write_wav(in_.file("sync.wav"), padded, 48000));
    const RunResult result = run(in_.file("sync.wav"));
    EXPECT_NE(result.out.find(c.message), std::string::npos) << c.sample_number;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(outputs(), std::vector<std::string>{"SYNC_____________#001.MZF"});  // all the same
  }
}

TEST(Converter, TimesStayRightBeyondTwoGigabytes) {
  // A conversion whose first sample follows 2^31 + 1000 others, of a recording whose body lacks
  // a start pulse: the sample number of the message lies beyond the range of 32 bits.
  std::size_t crossing = 0;
  const Bytes samples = record_with_missing_start_pulse(&crossing);
  const std::int64_t offset = (std::int64_t{1} << 31) + 1000;
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* trace = open_memstream(&text, &size);
  const auto converter = std::make_unique<mzfextract::Converter>();
  mzfextract::converter_init(*converter, trace, offset);
  int programs = 0;
  const mzfextract::ProgramSink count{[](void* n, const mzfextract::ProgramView&) {
                                        ++*static_cast<int*>(n);
                                        return 0;
                                      },
                                      &programs};
  EXPECT_EQ(mzfextract::converter_feed(*converter, samples.data(), samples.size(), count), 0);
  EXPECT_EQ(mzfextract::converter_finish(*converter, count), 0);
  const std::string printed = text_of(trace, &text, &size);
  const std::string message = sync_message(static_cast<std::size_t>(offset) + crossing + 1);
  EXPECT_NE(printed.find(message), std::string::npos) << message;
  EXPECT_EQ(programs, 1);
}

TEST_F(Program, TinyAndForeignInputsGiveNothing) {
  write_file(in_.file("one-byte"), {0x80});
  std::string text;
  for (int i = 0; i < 500; ++i) text += "This is not a recording, only a text file.\n";
  write_file(in_.file("text.txt"), Bytes(text.begin(), text.end()));
  for (const std::string& input :
       {in_.file("one-byte"), in_.file("text.txt"), std::string("/dev/null")}) {
    const RunResult result = run(input);
    EXPECT_EQ(result.status, 0) << input;
    EXPECT_EQ(result.out + result.err, "") << input;
  }
  EXPECT_TRUE(outputs().empty());
}

TEST_F(Program, SmallestAndLargestBodies) {
  const tapesynth::Program empty = make_program("EMPTY", {});
  const tapesynth::Program largest = make_program("LARGEST", pattern(65535, 8));
  write_recording(in_.file("sizes.wav"), {empty, largest}, quick_options(44100));
  const RunResult result = run(in_.file("sizes.wav"));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(output("EMPTY____________#001.MZF")), mzf_of(empty));
  EXPECT_EQ(read_file(output("LARGEST__________#002.MZF")), mzf_of(largest));
}

TEST_F(Program, ReadsInChunksAsIfSampleBySample) {
  // The body is completed by the crossing at the first sample of the pulse after its last bit:
  // a recording cut right after that sample gives the file, one cut a sample earlier does not.
  const Bytes wav = wav_of({make_program("CUT", pattern(64, 9))}, quick_options(44100));
  const ReferenceRun whole = reference_run(wav);
  ASSERT_EQ(whole.bodies_at.size(), 1u);
  const std::int64_t end = whole.bodies_at[0];
  ASSERT_NE(end % 2048, 0);
  for (std::int64_t length : {end, end - 1}) {
    const Bytes cut(wav.begin(), wav.begin() + length);
    write_file(in_.file("cut.wav"), cut);
    std::filesystem::remove(output("CUT______________#001.MZF"));
    const RunResult result = run(in_.file("cut.wav"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, reference_run(cut).trace) << length;
    EXPECT_EQ(file_exists(output("CUT______________#001.MZF")), length == end) << length;
    EXPECT_EQ(result.out.rfind("crc OK!\n") == result.out.size() - 8, length == end) << length;
  }
}

TEST_F(Program, LoaderGivesOnlyTheProgramItLoads) {
  const Bytes program_body = pattern(400, 10);
  Bytes loader_body = pattern(90, 11);
  const Bytes relayed = {0x90, 0x01, 0x00, 0x30, 0x00, 0x30, 1, 2, 3, 4, 5, 6, 7};  // 400 @ 0x3000
  std::copy(relayed.begin(), relayed.end(), loader_body.begin() + 77);
  const tapesynth::Program loader{make_header("LOADER", 90, 0xD400, 0xD400), loader_body};
  // On tape the loaded program has no header of its own: a 20/20 mark and its body follow.
  tapesynth::Recorder recorder(quick_options());
  recorder.program(loader);
  recorder.pulses(false, 300);
  recorder.tape_mark(20);
  recorder.pulse(true);
  recorder.block(program_body);
  recorder.pulse(true);
  ASSERT_TRUE(tapesynth::write_wav(in_.file("loader.wav"), recorder.samples(), 48000));
  const RunResult result = run(in_.file("loader.wav"));
  EXPECT_EQ(result.status, 0);
  ASSERT_EQ(outputs(), (std::vector<std::string>{"LOADER___________#001.MZF"}));
  Bytes expected = loader.header;
  std::copy(relayed.begin(), relayed.end(), expected.begin() + 18);
  expected.insert(expected.end(), program_body.begin(), program_body.end());
  EXPECT_EQ(read_file(output("LOADER___________#001.MZF")), expected);
}

TEST_F(Program, BodyBeforeAnyHeaderIsSavedWithAnEmptyHeader) {
  // A 20/20 mark at the very start: nothing announced a length, so the body is empty and the
  // file holds the 128 zero bytes of the header area under an all-underscore name.
  tapesynth::Recorder recorder(quick_options());
  recorder.pulses(false, 300);
  recorder.tape_mark(20);
  recorder.pulse(true);
  recorder.block({});
  recorder.pulse(true);
  ASSERT_TRUE(tapesynth::write_wav(in_.file("headless.wav"), recorder.samples(), 48000));
  const RunResult result = run(in_.file("headless.wav"));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(output("_________________#001.MZF")), Bytes(128, 0));
}

TEST_F(Program, SecondRunOverwritesTheFirst) {
  const tapesynth::Program program = make_program("AGAIN", pattern(30, 12));
  write_recording(in_.file("again.wav"), {program, program}, quick_options());
  EXPECT_EQ(run(in_.file("again.wav")).status, 0);
  write_file(output("AGAIN____________#002.MZF"), Bytes(9999, 0));
  EXPECT_EQ(run(in_.file("again.wav")).status, 0);
  EXPECT_EQ(outputs(),
            (std::vector<std::string>{"AGAIN____________#001.MZF", "AGAIN____________#002.MZF"}));
  EXPECT_EQ(read_file(output("AGAIN____________#002.MZF")), mzf_of(program));
}

TEST_F(Program, OutputThatCannotBeCreatedIsReported) {
  const tapesynth::Program first = make_program("CLASH", pattern(30, 13));
  const tapesynth::Program second = make_program("AFTER", pattern(30, 14));
  write_recording(in_.file("clash.wav"), {first, second}, quick_options());
  const RunResult clean = run(in_.file("clash.wav"));
  std::filesystem::remove_all(out_.path() + "/CLASH____________#001.MZF");
  ASSERT_EQ(::mkdir(output("CLASH____________#001.MZF").c_str(), 0755), 0);
  const RunResult result = run(in_.file("clash.wav"));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Nelze vytvorit soubor CLASH____________#001.MZF: Is a directory\n");
  EXPECT_EQ(result.out, clean.out);  // the trace is unchanged
  EXPECT_EQ(read_file(output("AFTER____________#002.MZF")), mzf_of(second));
}

TEST_F(Program, FailedWriteLeavesNoFileBehind) {
  const tapesynth::Program big = make_program("BIG", pattern(3000, 15));
  const tapesynth::Program small = make_program("SMALL", pattern(100, 16));
  write_recording(in_.file("limit.wav"), {big, small}, quick_options());
  RunOptions limited;
  limited.file_size_limit = 1024;
  limited.stdout_path = "/dev/null";
  const RunResult result = run(in_.file("limit.wav"), limited);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Nelze zapsat soubor BIG______________#001.MZF: File too large\n");
  EXPECT_EQ(outputs(), (std::vector<std::string>{"SMALL____________#002.MZF"}));
  EXPECT_EQ(read_file(output("SMALL____________#002.MZF")), mzf_of(small));
}

TEST_F(Program, TraceThatCannotBeWrittenIsAnError) {
  const tapesynth::Program program = make_program("FULL", pattern(50, 17));
  write_recording(in_.file("full.wav"), {program}, quick_options());
  RunOptions full;
  full.stdout_path = "/dev/full";
  const RunResult result = run(in_.file("full.wav"), full);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Nelze zapsat vystup: No space left on device\n");
  EXPECT_EQ(read_file(output("FULL_____________#001.MZF")), mzf_of(program));
}

TEST_F(Program, InputIsNeverOverwrittenByItsOwnOutput) {
  write_recording(out_.file("SELF_____________#001.MZF"), {make_program("SELF", pattern(40, 18))},
                  quick_options());
  const Bytes before = read_file(out_.file("SELF_____________#001.MZF"));
  const RunResult result = run("SELF_____________#001.MZF");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Nelze vytvorit soubor SELF_____________#001.MZF: Device or resource busy\n");
  EXPECT_EQ(read_file(out_.file("SELF_____________#001.MZF")), before);
}

TEST_F(Program, TwoConversionsInOneProcessMatchTwoProcesses) {
  // The first recording ends with a loader whose program never comes: nothing of it, nor the
  // file numbers, may reach the second conversion.
  Bytes loader_body = pattern(90, 12);
  const Bytes relayed = {0x10, 0x00, 0x00, 0x30, 0x00, 0x30, 1, 2, 3, 4, 5, 6, 7};
  std::copy(relayed.begin(), relayed.end(), loader_body.begin() + 77);
  const tapesynth::Program loader{make_header("LOADER", 90, 0xD400, 0xD400), loader_body};
  const Bytes first = wav_of({make_program("FIRST", pattern(50, 13)), loader}, quick_options());
  const Bytes second = wav_of({make_program("SECOND", pattern(70, 14))}, quick_options());
  write_file(in_.file("first.wav"), first);
  write_file(in_.file("second.wav"), second);

  struct Outcome {
    std::string trace;
    int status;
    std::vector<std::string> files;
    bool operator==(const Outcome&) const = default;
  };
  std::vector<Outcome> separate, together;
  for (const char* name : {"first.wav", "second.wav"}) {
    TempDir dir;
    RunOptions options;
    options.cwd = dir.path();
    const RunResult result = run(in_.file(name), options);
    separate.push_back({result.out, result.status, list_dir(dir.path())});
  }
  for (const char* name : {"first.wav", "second.wav"}) {
    const InProcess result = convert_in_process(in_.file(name));
    together.push_back({result.trace, result.status, result.files});
  }
  EXPECT_EQ(separate[1].files, std::vector<std::string>{"SECOND___________#001.MZF"});
  EXPECT_TRUE(together == separate);
}

TEST_F(Program, CutsAroundChunksAndBodiesGiveTheReference) {
  // Cuts on both sides of a read and of the end of a body: the conversion in this process gives
  // the reference trace and the programs completed before the cut.
  const tapesynth::Program first = make_program("FIRST", pattern(900, 21));
  const tapesynth::Program second = make_program("SECOND", pattern(3000, 22));
  const Bytes wav = wav_of({first, second, first}, quick_options(44100));
  const ReferenceRun reference = reference_run(wav);
  ASSERT_EQ(reference.bodies_at.size(), 3u);
  const auto body_end = static_cast<std::size_t>(reference.bodies_at[1]);
  constexpr std::size_t CHUNK = mzfextract::CONVERTER_CHUNK;
  for (const std::size_t length : {std::size_t{0}, std::size_t{1}, CHUNK - 1, CHUNK, CHUNK + 1,
                                   body_end - 1, body_end, wav.size()}) {
    const Bytes cut(wav.begin(), wav.begin() + static_cast<std::ptrdiff_t>(length));
    write_file(in_.file("cut.wav"), cut);
    const auto completed = std::count_if(reference.bodies_at.begin(), reference.bodies_at.end(),
                                         [&](std::int64_t at) { return at <= std::ssize(cut); });
    const InProcess result = convert_in_process(in_.file("cut.wav"));
    EXPECT_EQ(result.status, 0) << length;
    EXPECT_EQ(result.trace, reference_run(cut).trace) << length;
    EXPECT_EQ(result.errors, "") << length;
    EXPECT_EQ(std::ssize(result.files), completed) << length;
  }
}
