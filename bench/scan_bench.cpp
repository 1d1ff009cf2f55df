// Measurements of the worn-tape reader, not tests: its speed per sample on a recording held in
// memory (both polarities, as the scanner always reads them), and how much noise it tolerates
// against mzfextract on the same 8-bit tape (and itself at 16 bits).
// Usage: scan_bench speed | scan_bench noise FILE.mzf
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "reader/tape_reader.h"
#include "tools/tapesynth.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool scanner_recovers(const std::vector<tapesynth::Program>& programs,
                      const tapesynth::SynthOptions& o) {
  const tapesynth::Recorder recorder = tapesynth::record_tape(programs, o);
  const std::vector<float> samples = tapesynth::render_float(recorder, o);
  auto s = std::make_unique<mzfscan::ChannelReader>();
  mzfscan::channel_reader_init(*s, o.sample_rate);
  mzfscan::channel_reader_feed(*s, samples.data(), samples.size(), 1);
  mzfscan::channel_reader_finish(*s);
  const mzfscan::TapeReading& r = mzfscan::channel_reader_reading(*s, mzfscan::POLARITY_FALLING);
  if (r.programs.size() != programs.size()) return false;
  for (std::size_t i = 0; i < programs.size(); ++i) {
    const auto& p = r.programs[i];
    const bool good =
        [](int v) {
          return v == mzfscan::VERDICT_OK || v == mzfscan::VERDICT_COPY;
        }(p.header_verdict) &&
        (p.body_verdict == mzfscan::VERDICT_OK || p.body_verdict == mzfscan::VERDICT_COPY);
    if (!good || p.body != programs[i].body ||
        !std::equal(p.header, p.header + 128, programs[i].header.begin())) {
      return false;
    }
  }
  return true;
}

// mzfextract, run as a program on the WAV file in a scratch directory.
bool mzfextract_recovers(const std::vector<tapesynth::Program>& programs,
                         const tapesynth::SynthOptions& o, const std::string& mzfextract) {
  char dir[] = "/tmp/scanbenchXXXXXX";
  if (mkdtemp(dir) == nullptr) return false;
  const std::string wav = std::string(dir) + "/tape.wav";
  tapesynth::write_wav(wav, tapesynth::record_programs(programs, o), o.sample_rate);
  const std::string command =
      "cd " + std::string(dir) + " && " + mzfextract + " tape.wav > /dev/null 2>&1";
  const int status = std::system(command.c_str());
  bool same = status == 0;
  // mzfextract names its files after the program; compare the single file it wrote.
  const std::string list = std::string(dir) + "/list";
  std::system(("ls " + std::string(dir) + " | grep -iv 'tape.wav' > " + list).c_str());
  std::ifstream names(list);
  std::string name;
  std::size_t found = 0;
  while (std::getline(names, name)) {
    if (name == "list") continue;
    const Bytes file = read_file((std::string(dir) + "/" + name).c_str());
    Bytes expected = programs[0].header;
    expected.insert(expected.end(), programs[0].body.begin(), programs[0].body.end());
    same = same && file == expected;
    ++found;
  }
  std::system(("rm -rf " + std::string(dir)).c_str());
  return same && found == 1;
}

int noise(const char* path, const std::string& mzfextract) {
  std::vector<tapesynth::Program> programs;
  if (!tapesynth::split_mzf(read_file(path), programs) || programs.size() != 1) {
    std::fprintf(stderr, "scan_bench: %s is not a single MZF program\n", path);
    return 1;
  }
  tapesynth::SynthOptions o;
  o.sample_rate = 44100;
  o.amplitude = 100;
  o.long_gap = 2000;
  o.short_gap = 1000;
  std::printf("noise  mzfextract(u8)  reader(u8)  reader(s16)   [3 seeds each: passes]\n");
  for (double n = 5; n <= 80; n += 5) {
    int extract = 0, scan8 = 0, scan16 = 0;
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
      o.noise = n;
      o.seed = seed;
      o.format = tapesynth::SampleFormat::U8;
      extract += mzfextract_recovers(programs, o, mzfextract) ? 1 : 0;
      scan8 += scanner_recovers(programs, o) ? 1 : 0;
      o.format = tapesynth::SampleFormat::S16;
      scan16 += scanner_recovers(programs, o) ? 1 : 0;
    }
    std::printf("%5.0f  %14d  %10d  %11d\n", n, extract, scan8, scan16);
    std::fflush(stdout);
    if (extract == 0 && scan8 == 0 && scan16 == 0) break;
  }
  return 0;
}

int speed() {
  // About 100 s of tape: programs with gaps, as on a real recording, at 44100 Hz, 16-bit.
  tapesynth::SynthOptions o;
  o.sample_rate = 44100;
  o.format = tapesynth::SampleFormat::S16;
  o.noise = 2;
  o.long_gap = 4000;
  o.short_gap = 2000;
  std::vector<tapesynth::Program> programs;
  for (int i = 0; i < 3; ++i) {
    tapesynth::Program p;
    p.header.assign(128, 0);
    p.header[0] = 1;
    p.header[18] = 0x00;
    p.header[19] = 0x10;  // 4096 bytes
    for (int k = 0; k < 4096; ++k) p.body.push_back(static_cast<std::uint8_t>(k * 37 + i));
    programs.push_back(p);
  }
  const tapesynth::Recorder recorder = tapesynth::record_tape(programs, o);
  const std::vector<float> samples = tapesynth::render_float(recorder, o);
  auto s = std::make_unique<mzfscan::ChannelReader>();
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    mzfscan::channel_reader_init(*s, o.sample_rate);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < samples.size(); at += 8192) {
      mzfscan::channel_reader_feed(*s, samples.data() + at,
                                   std::min<std::size_t>(8192, samples.size() - at), 1);
    }
    mzfscan::channel_reader_finish(*s);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  const int verified =
      mzfscan::channel_reader_reading(*s, mzfscan::POLARITY_FALLING).verified_blocks;
  std::printf(
      "%zu samples (%.0f s of tape), %d block copies verified: %.2f ns per sample "
      "(both polarities); one hour of stereo 44100 Hz would take %.2f s\n",
      samples.size(), static_cast<double>(samples.size()) / o.sample_rate, verified,
      best * 1e9 / static_cast<double>(samples.size()),
      best / static_cast<double>(samples.size()) * 44100 * 3600 * 2);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "speed") == 0) return speed();
  if (argc >= 3 && std::strcmp(argv[1], "noise") == 0) return noise(argv[2], MZFEXTRACT_PATH);
  std::fputs("usage: scan_bench speed | scan_bench noise FILE.mzf\n", stderr);
  return 2;
}
