// mzfscan throughput. Writes one hour of 16-bit stereo 44100 Hz WAV with the tape in the second
// channel (a tapesynth recording of a few programs, repeated), then times, alternately and several
// times each, `mzfscan` with automatic channel and polarity and `sox FILE -n` reading the same
// file; reports medians, their ratio and mzfscan's peak memory.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/tapesynth.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int RATE = 44100;
constexpr int SECONDS = 3600;
constexpr int RUNS = 3;

tapesynth::Program program(char letter, std::size_t size) {
  tapesynth::Program p{std::vector<std::uint8_t>(128, 0), std::vector<std::uint8_t>(size)};
  p.header[0] = 1;
  p.header[1] = static_cast<std::uint8_t>(letter);
  p.header[2] = 0x0D;
  p.header[18] = static_cast<std::uint8_t>(size & 0xFF);
  p.header[19] = static_cast<std::uint8_t>(size >> 8);
  for (std::size_t j = 0; j < size; ++j) p.body[j] = static_cast<std::uint8_t>(j * 7 + letter);
  return p;
}

// The tape of the hour: 16-bit stereo, the tape in the second channel, a little noise.
tapesynth::SynthOptions hour_options() {
  tapesynth::SynthOptions options;
  options.sample_rate = RATE;
  options.format = tapesynth::SampleFormat::S16;
  options.channels = 2;
  options.signal_channel = 2;
  options.noise = 3;
  return options;
}

// One hour: a recording of about a minute, its data written again and again under one header.
bool write_hour(const std::string& path, const tapesynth::SynthOptions& options) {
  const tapesynth::Recorder recorder =
      tapesynth::record_tape({program('A', 4000), program('B', 2000)}, options);
  const std::vector<std::uint8_t> data = tapesynth::render_data(recorder, options);
  const std::size_t frame_bytes = 4;
  const std::size_t frames_per_copy = data.size() / frame_bytes;
  const std::size_t copies = SECONDS * static_cast<std::size_t>(RATE) / frames_per_copy + 1;
  const std::vector<std::uint8_t> header = tapesynth::wav_header(copies * frames_per_copy, options);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(header.data()),
            static_cast<std::streamsize>(header.size()));
  for (std::size_t i = 0; i < copies; ++i) {
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
  }
  return static_cast<bool>(out);
}

struct Timing {
  double seconds;
  long peak_kib;
  int status;
};

// Runs the command with standard output and error discarded; its time and peak memory.
Timing time_run(const std::vector<std::string>& args) {
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> argv;
    std::vector<std::string> copies = args;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return {seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  const fs::path directory =
      fs::temp_directory_path() / ("mzfscan-bench-" + std::to_string(::getpid()));
  fs::create_directories(directory / "out");
  const std::string wav = (directory / "hour.wav").string();
  std::printf("writing one hour of 16-bit stereo %d Hz WAV, tape in channel 2...\n", RATE);
  if (!write_hour(wav, hour_options())) {
    std::fprintf(stderr, "cannot write %s\n", wav.c_str());
    return 1;
  }
  const double megabytes = static_cast<double>(fs::file_size(wav)) / 1e6;
  std::vector<double> scan_times, sox_times;
  long peak_kib = 0;
  for (int run = 0; run < RUNS; ++run) {
    const Timing sox = time_run({"sox", wav, "-n"});
    const Timing scan =
        time_run({MZFSCAN_PATH, "--force", "-o", (directory / "out").string(), wav});
    if (sox.status != 0 || scan.status != 0) {
      std::fprintf(stderr, "a run failed: sox %d, mzfscan %d\n", sox.status, scan.status);
      fs::remove_all(directory);
      return 1;
    }
    sox_times.push_back(sox.seconds);
    scan_times.push_back(scan.seconds);
    peak_kib = std::max(peak_kib, scan.peak_kib);
    std::printf("run %d: sox %.2f s, mzfscan %.2f s\n", run + 1, sox.seconds, scan.seconds);
  }
  const double sox_median = median(sox_times), scan_median = median(scan_times);
  std::printf("sox FILE -n: median %.2f s, %.0f MB/s\n", sox_median, megabytes / sox_median);
  std::printf("mzfscan:     median %.2f s, %.0f MB/s\n", scan_median, megabytes / scan_median);
  std::printf("ratio mzfscan / sox: %.2f\n", scan_median / sox_median);
  std::printf("mzfscan peak resident memory: %.2f MiB\n", static_cast<double>(peak_kib) / 1024);

  // Hours on which the second reader runs for every program, each timed alternately with sox
  // RUNS times: both body copies cut by a dropout (nothing to rescue: the worst case of work for
  // nothing), a tape low-passed at 1200 Hz (the first reader finds the blocks, the second reads
  // them), and a tape in noise past what one copy alone survives (the soft reader finds and joins
  // them).
  struct Damage {
    const char* label;
    void (*apply)(tapesynth::SynthOptions&);
  };
  const Damage damages[] = {
      {"both body copies cut",
       [](tapesynth::SynthOptions& o) {
         o.dropouts.push_back({tapesynth::CopyId::BODY1, 0.5, 25});
         o.dropouts.push_back({tapesynth::CopyId::BODY2, 0.5, 25});
       }},
      {"low-passed at 1200 Hz", [](tapesynth::SynthOptions& o) { o.lowpass2 = 1200; }},
      {"noise of sigma 1.0 of the pulse amplitude",
       [](tapesynth::SynthOptions& o) { o.noise = o.amplitude; }},
  };
  for (const Damage& damage : damages) {
    tapesynth::SynthOptions options = hour_options();
    damage.apply(options);
    if (!write_hour(wav, options)) {
      std::fprintf(stderr, "cannot write %s\n", wav.c_str());
      fs::remove_all(directory);
      return 1;
    }
    std::vector<double> sox_runs, scan_runs;
    long peak = 0;
    int status = 0;
    for (int run = 0; run < RUNS; ++run) {
      sox_runs.push_back(time_run({"sox", wav, "-n"}).seconds);
      const Timing scan =
          time_run({MZFSCAN_PATH, "--force", "-o", (directory / "out").string(), wav});
      scan_runs.push_back(scan.seconds);
      peak = std::max(peak, scan.peak_kib);
      status = scan.status;
    }
    std::printf(
        "%s: sox median %.2f s, mzfscan median %.2f s (status %d), ratio %.1f, peak %.2f MiB\n",
        damage.label, median(sox_runs), median(scan_runs), status,
        median(scan_runs) / median(sox_runs), static_cast<double>(peak) / 1024);
  }
  fs::remove_all(directory);
  return 0;
}
