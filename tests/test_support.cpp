#include "tests/test_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testing_support {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "mzfextract-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
  return fs::exists(path);
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string corpus_dir() {
  return fs::is_directory(CORPUS_DIR) ? CORPUS_DIR : "";
}

Bytes make_header(const std::string& name, std::uint16_t length, std::uint16_t load,
                  std::uint16_t exec) {
  Bytes header(128, 0);
  header[0] = 0x01;
  std::copy_n(name.begin(), std::min<std::size_t>(name.size(), 17), header.begin() + 1);
  if (name.size() < 17) header[1 + name.size()] = 0x0D;
  const std::uint16_t words[] = {length, load, exec};
  for (int i = 0; i < 3; ++i) {
    header[18 + 2 * i] = static_cast<std::uint8_t>(words[i] & 0xFF);
    header[19 + 2 * i] = static_cast<std::uint8_t>(words[i] >> 8);
  }
  return header;
}

tapesynth::Program make_program(const std::string& name, const Bytes& body) {
  return {make_header(name, static_cast<std::uint16_t>(body.size())), body};
}

Bytes pattern(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random() >> 24);
  return bytes;
}

Bytes mzf_of(const tapesynth::Program& program) {
  Bytes file = program.header;
  file.insert(file.end(), program.body.begin(), program.body.end());
  return file;
}

Periods& Periods::add(std::int64_t period, int count) {
  list.insert(list.end(), static_cast<std::size_t>(count), period);
  return *this;
}

Periods& Periods::byte(std::uint8_t value) {
  longs(1);
  for (int bit = 7; bit >= 0; --bit) add((value >> bit & 1) != 0 ? long_period : short_period);
  return *this;
}

Periods& Periods::block(const Bytes& bytes) {
  for (std::uint8_t b : bytes) byte(b);
  const std::uint16_t checksum = tapesynth::checksum_of(bytes);
  byte(static_cast<std::uint8_t>(checksum >> 8));
  return byte(static_cast<std::uint8_t>(checksum & 0xFF));
}

Periods& Periods::header(const Bytes& header_record) {
  return gap(200).longs(40).gap(40).longs(1).block(header_record).longs(1);
}

Periods& Periods::body(const Bytes& body_bytes) {
  return gap(200).longs(20).gap(20).longs(1).block(body_bytes).longs(1);
}

Bytes with_checksum(Bytes data) {
  const std::uint16_t sum = tapesynth::checksum_of(data);
  data.push_back(static_cast<std::uint8_t>(sum >> 8));
  data.push_back(static_cast<std::uint8_t>(sum & 0xFF));
  return data;
}

tapesynth::SynthOptions quick_options(int rate, int long_gap, int short_gap,
                                      double silence_between) {
  tapesynth::SynthOptions options;
  options.sample_rate = rate;
  options.long_gap = long_gap;
  options.short_gap = short_gap;
  options.silence_between = silence_between;
  return options;
}

void record_until_body(tapesynth::Recorder& recorder, const Bytes& header) {
  recorder.pulses(false, 300);
  recorder.tape_mark(40);
  recorder.pulse(true);
  recorder.block(header);
  recorder.pulse(true);
  recorder.pulses(false, 300);
  recorder.tape_mark(20);
  recorder.pulse(true);
}

Bytes same_checksum_other(const Bytes& body) {
  Bytes other = body;
  for (unsigned bit = 0; bit < 7; ++bit) {
    const unsigned pair = 3U << bit;
    if (std::popcount(static_cast<unsigned>(other[5] & pair)) == 1) {
      other[5] = static_cast<std::uint8_t>(other[5] ^ pair);
      break;
    }
  }
  return other;
}

tapesynth::Recorder record_conflicting_copies(const tapesynth::Program& program,
                                              const tapesynth::SynthOptions& options) {
  tapesynth::Recorder recorder(options);
  recorder.silence(0.1);
  record_until_body(recorder, program.header);
  recorder.block(program.body);
  recorder.pulse(true);
  recorder.pulses(false, 256);
  recorder.block(same_checksum_other(program.body));
  recorder.pulse(true);
  recorder.silence(0.2);
  return recorder;
}

std::string block_trace(const Bytes& data, bool body, bool checksum_ok) {
  std::string text;
  char cell[8];
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::snprintf(cell, sizeof cell, "%02X ", data[i]);
    text += cell;
    if ((i + 1) % 8 == 0) text += '\n';
    if (body && (i + 1) % 256 == 0) text += '\n';
  }
  Bytes payload(data.begin(), data.end() - 2);
  std::snprintf(cell, sizeof cell, "%04X", tapesynth::checksum_of(payload));
  text += std::string("\ncrc=") + cell + "\n";
  if (checksum_ok) text += "crc OK!\n";
  return text;
}

namespace {

std::string read_text(const std::string& path) {
  const Bytes bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

[[noreturn]] void exec_child(const std::vector<std::string>& args, const RunOptions& options,
                             const std::string& out_path, const std::string& err_path) {
  if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
  const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
  if (options.file_size_limit >= 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                       static_cast<rlim_t>(options.file_size_limit)};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  std::vector<char*> argv;
  std::string program = MZFEXTRACT_PATH;
  if (!options.no_program_name) argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (auto& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  ::execve(program.c_str(), argv.data(), environ);
  ::_exit(127);
}

}  // namespace

RunResult run_mzfextract(const std::vector<std::string>& args, const RunOptions& options) {
  TempDir capture;
  const std::string out_path =
      options.stdout_path.empty() ? capture.file("stdout") : options.stdout_path;
  const std::string err_path = capture.file("stderr");
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) exec_child(args, options, out_path, err_path);
  RunResult result;
  int wait_status = 0;
  if (child < 0 || ::waitpid(child, &wait_status, 0) != child) return result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  if (options.stdout_path.empty()) result.out = read_text(out_path);
  result.err = read_text(err_path);
  return result;
}

void write_recording(const std::string& path, const std::vector<tapesynth::Program>& programs,
                     const tapesynth::SynthOptions& options) {
  if (!tapesynth::write_wav(path, tapesynth::record_programs(programs, options),
                            options.sample_rate)) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace testing_support
