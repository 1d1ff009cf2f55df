// Throughput benchmark. Records one hour of tape at 48000 samples per second from the corpus
// programs (or synthetic ones), then times the whole mzfextract process against a process that
// only reads the file in 2048-byte chunks, as dd does, and against dd itself: alternating runs,
// several rounds, medians and their ratios per round and over all runs; also the converter's peak
// memory and each detector path alone on samples in memory.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "signal/pulse_detector.h"
#include "tools/tapesynth.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int RATE = 48000;
constexpr double SECONDS = 3600;
constexpr int ROUNDS = 3;
constexpr std::size_t CHUNK = 2048;
constexpr int RUNS = 5;  // alternating pairs per round

std::vector<tapesynth::Program> bench_programs() {
  std::vector<tapesynth::Program> programs;
  if (fs::is_directory(CORPUS_DIR)) {
    for (const auto& entry : fs::directory_iterator(CORPUS_DIR)) {
      if (!entry.is_regular_file()) continue;
      const auto ext = entry.path().extension();
      if (ext != ".mzf" && ext != ".mzt") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in), {}};
      tapesynth::split_mzf(data, programs);
    }
  }
  if (programs.empty()) {
    std::printf("corpus not found: recording synthetic programs\n");
    for (int i = 0; i < 4; ++i) {
      tapesynth::Program p{std::vector<std::uint8_t>(128, 0), std::vector<std::uint8_t>(8000)};
      p.header[0] = 1;
      p.header[1] = static_cast<std::uint8_t>('A' + i);
      p.header[2] = 0x0D;
      p.header[18] = 8000 & 0xFF;
      p.header[19] = 8000 >> 8;
      for (std::size_t j = 0; j < p.body.size(); ++j)
        p.body[j] = static_cast<std::uint8_t>(j * 7 + i);
      programs.push_back(p);
    }
  }
  return programs;
}

// One hour of tape: the programs again and again.
std::vector<std::uint8_t> record_hour(const std::vector<tapesynth::Program>& programs) {
  tapesynth::SynthOptions options;
  options.sample_rate = RATE;
  options.noise = 3;
  tapesynth::Recorder recorder(options);
  const auto target = static_cast<std::size_t>(SECONDS * RATE);
  for (std::size_t i = 0; recorder.samples().size() < target; ++i) {
    recorder.program(programs[i % programs.size()]);
    recorder.silence(0.5);
  }
  std::vector<std::uint8_t> samples = recorder.samples();
  samples.resize(target);
  return samples;
}

struct Timing {
  double seconds;      // by the clock
  double cpu_seconds;  // user and system time of the process
  long peak_kib;
};

// Runs a program with standard output to /dev/null in `cwd`; returns wall time and peak RSS.
// With `dd` set, runs `dd if=INPUT of=/dev/null bs=2048` instead.
Timing run_process(const char* path, const std::string& input, const std::string& cwd,
                   bool dd = false) {
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (dd) {
      const std::string in = "if=" + input;
      ::execlp("dd", "dd", in.c_str(), "of=/dev/null", "bs=2048", static_cast<char*>(nullptr));
    } else {
      ::execl(path, path, input.c_str(), static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", dd ? "dd" : path);
    std::exit(1);
  }
  const auto cpu = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  return {seconds, cpu(usage.ru_utime) + cpu(usage.ru_stime), usage.ru_maxrss};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Samples per nanosecond of a detector over the samples in memory, best of a few passes.
template <typename Detect>
double detector_rate(const std::vector<std::uint8_t>& samples, Detect detect, long* periods) {
  double best = 1e30;
  for (int pass = 0; pass < 3; ++pass) {
    mzfextract::PulseDetector d;
    mzfextract::pulse_detector_init(d);
    const auto start = Clock::now();
    *periods = detect(d, samples);
    best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - start).count());
  }
  return static_cast<double>(samples.size()) / best;
}

}  // namespace

int main() {
  const fs::path dir =
      fs::temp_directory_path() / ("mzfextract-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir / "out");
  const std::string wav = (dir / "hour.wav").string();
  std::printf("recording %.0f s at %d samples/s ...\n", SECONDS, RATE);
  {
    // Released before the processes run, so that they do not inherit it.
    const std::vector<std::uint8_t> samples = record_hour(bench_programs());
    tapesynth::write_wav(wav, samples, RATE);
  }
  const double megabytes = static_cast<double>(fs::file_size(wav)) / 1e6;
  std::printf("recording: %.1f MB\n", megabytes);

  std::vector<double> converter, baseline, dd, ratios, dd_ratios;
  // CPU time as well, and the fastest runs: both tell less of other work on the machine.
  std::vector<double> converter_cpu, baseline_cpu, dd_cpu;
  long peak_kib = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    std::vector<double> round_converter, round_baseline, round_dd;
    for (int run = 0; run < RUNS; ++run) {
      const Timing b = run_process(READ_BASELINE_PATH, wav, dir.string());
      round_baseline.push_back(b.seconds);
      baseline_cpu.push_back(b.cpu_seconds);
      const Timing t = run_process(MZFEXTRACT_PATH, wav, (dir / "out").string());
      round_converter.push_back(t.seconds);
      converter_cpu.push_back(t.cpu_seconds);
      peak_kib = std::max(peak_kib, t.peak_kib);
      const Timing d = run_process(nullptr, wav, dir.string(), true);
      round_dd.push_back(d.seconds);
      dd_cpu.push_back(d.cpu_seconds);
    }
    const double c = median(round_converter), b = median(round_baseline), d = median(round_dd);
    ratios.push_back(c / b);
    dd_ratios.push_back(c / d);
    std::printf(
        "round %d: baseline median %.3f s, dd median %.3f s, mzfextract median %.3f s, "
        "ratio %.2f (to dd %.2f)\n",
        round + 1, b, d, c, c / b, c / d);
    converter.insert(converter.end(), round_converter.begin(), round_converter.end());
    baseline.insert(baseline.end(), round_baseline.begin(), round_baseline.end());
    dd.insert(dd.end(), round_dd.begin(), round_dd.end());
  }
  const double c = median(converter), b = median(baseline), d = median(dd);
  std::printf("read-only baseline (2048-byte reads): median %.3f s, %.0f MB/s\n", b, megabytes / b);
  std::printf("dd if=FILE of=/dev/null bs=2048:      median %.3f s, %.0f MB/s\n", d, megabytes / d);
  std::printf("mzfextract:                           median %.3f s, %.0f MB/s\n", c, megabytes / c);
  std::printf("ratio mzfextract / baseline: %.2f over all %d runs each (rounds %.2f to %.2f)\n",
              c / b, ROUNDS * RUNS, *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()));
  std::printf("ratio mzfextract / dd:       %.2f over all %d runs each (rounds %.2f to %.2f)\n",
              c / d, ROUNDS * RUNS, *std::min_element(dd_ratios.begin(), dd_ratios.end()),
              *std::max_element(dd_ratios.begin(), dd_ratios.end()));
  const auto fastest = [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
  };
  std::printf(
      "fastest runs: baseline %.3f s, dd %.3f s, mzfextract %.3f s: ratio %.2f (to dd %.2f)\n",
      fastest(baseline), fastest(dd), fastest(converter), fastest(converter) / fastest(baseline),
      fastest(converter) / fastest(dd));
  const double bc = median(baseline_cpu), dc = median(dd_cpu), cc = median(converter_cpu);
  std::printf(
      "CPU time medians: baseline %.3f s, dd %.3f s, mzfextract %.3f s: ratio %.2f (to dd %.2f)\n",
      bc, dc, cc, cc / bc, cc / dc);
  std::printf("mzfextract peak resident memory: %.2f MiB\n", static_cast<double>(peak_kib) / 1024);
  std::printf("MZF files written: %zu\n",
              static_cast<std::size_t>(std::distance(fs::directory_iterator(dir / "out"), {})));

  std::ifstream in(wav, std::ios::binary);
  const std::vector<std::uint8_t> samples{std::istreambuf_iterator<char>(in), {}};
  const mzfextract::DetectorPath paths[] = {mzfextract::DetectorPath::AVX2,
                                            mzfextract::DetectorPath::REFERENCE};
  const char* const names[] = {"AVX2 chunks", "per-sample reference"};
  long expected_periods = -1;
  bool agree = true;
  for (std::size_t p = 0; p < std::size(paths); ++p) {
    if (!mzfextract::detector_path_available(paths[p])) {
      std::printf("detector in memory, %s: not available here\n", names[p]);
      continue;
    }
    long periods = 0;
    const double rate = detector_rate(
        samples,
        [&](mzfextract::PulseDetector& d, const std::vector<std::uint8_t>& s) {
          mzfextract::Crossing out[mzfextract::max_crossings(CHUNK)];
          long n = 0;
          for (std::size_t i = 0; i < s.size(); i += CHUNK) {
            const std::size_t count = std::min(CHUNK, s.size() - i);
            n += static_cast<long>(mzfextract::detect_chunk_along(paths[p], d, s.data() + i, count,
                                                                  out, std::size(out))
                                       .crossings);
          }
          return n;
        },
        &periods);
    std::printf("detector in memory, %s: %.2f samples/ns (%ld periods)\n", names[p], rate, periods);
    if (expected_periods >= 0 && periods != expected_periods) agree = false;
    expected_periods = periods;
  }
  fs::remove_all(dir);
  if (!agree) std::printf("the detector paths disagree\n");
  return agree ? 0 : 1;
}
