#include "tools/tapesynth.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "tape/tape_header.h"

namespace tapesynth {

namespace {

using mzfextract::HEADER_SIZE;
constexpr int HEADER_MARK = 40;
constexpr int BODY_MARK = 20;
constexpr int BLOCK_REPEAT_GAP = 256;

void put_le(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

bool split_mzf(const std::vector<std::uint8_t>& data, std::vector<Program>& programs) {
  std::size_t at = 0;
  while (data.size() - at >= HEADER_SIZE) {
    const auto* header = data.data() + at;
    const std::size_t length = mzfextract::header_word(header, mzfextract::BODY_LENGTH_OFFSET);
    if (data.size() - at - HEADER_SIZE < length) return false;
    programs.push_back(Program{{header, header + HEADER_SIZE},
                               {header + HEADER_SIZE, header + HEADER_SIZE + length}});
    at += HEADER_SIZE + length;
  }
  return at == data.size();
}

std::uint16_t checksum_of(const std::vector<std::uint8_t>& bytes) {
  std::uint16_t total = 0;
  for (std::uint8_t b : bytes) total = static_cast<std::uint16_t>(total + std::popcount(b));
  return total;
}

Recorder::Recorder(const SynthOptions& options) : options_(options), random_(options.seed) {}

double Recorder::gaussian() {
  // Box-Muller on the generator's raw output, so that a seed gives the same recording anywhere.
  const double u1 = (static_cast<double>(random_() >> 11) + 1) * 0x1p-53;
  const double u2 = static_cast<double>(random_() >> 11) * 0x1p-53;
  return std::sqrt(-2 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
}

std::uint8_t Recorder::sample_value(double sign) {
  double value = 128 + options_.dc_offset + sign * options_.amplitude;
  if (options_.noise > 0) value += options_.noise * gaussian();
  return static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, value))));
}

void Recorder::level(double sign, double microseconds) {
  time_us_ += microseconds / options_.speed;
  const double us_per_sample = 1e6 / options_.sample_rate;
  while (static_cast<double>(samples_.size()) * us_per_sample < time_us_) {
    samples_.push_back(sample_value(sign));
  }
}

void Recorder::pulse(bool is_long) {
  const double first = options_.falling_first ? -1 : 1;
  level(first, is_long ? LONG_FIRST_US : SHORT_FIRST_US);
  level(-first, is_long ? LONG_SECOND_US : SHORT_SECOND_US);
}

void Recorder::pulses(bool is_long, int count) {
  for (int i = 0; i < count; ++i) pulse(is_long);
}

void Recorder::silence(double seconds) {
  level(0, seconds * 1e6);
}

void Recorder::byte(std::uint8_t value) {
  pulse(true);
  for (int bit = 7; bit >= 0; --bit) pulse((value >> bit & 1) != 0);
}

void Recorder::block(const std::vector<std::uint8_t>& bytes) {
  block(bytes, checksum_of(bytes));
}

void Recorder::block(const std::vector<std::uint8_t>& bytes, std::uint16_t checksum) {
  for (std::uint8_t b : bytes) byte(b);
  byte(static_cast<std::uint8_t>(checksum >> 8));
  byte(static_cast<std::uint8_t>(checksum & 0xFF));
}

void Recorder::tape_mark(int count) {
  pulses(true, count);
  pulses(false, count);
}

void Recorder::program(const Program& program) {
  pulses(false, options_.long_gap);
  tape_mark(HEADER_MARK);
  pulse(true);
  block(program.header);
  pulse(true);
  pulses(false, BLOCK_REPEAT_GAP);
  block(program.header);
  pulse(true);
  pulses(false, options_.short_gap);
  tape_mark(BODY_MARK);
  pulse(true);
  block(program.body);
  pulse(true);
  pulses(false, BLOCK_REPEAT_GAP);
  block(program.body);
  pulse(true);
}

std::vector<std::uint8_t> record_programs(const std::vector<Program>& programs,
                                          const SynthOptions& options) {
  Recorder recorder(options);
  recorder.silence(options.silence_before);
  for (std::size_t i = 0; i < programs.size(); ++i) {
    if (i > 0) recorder.silence(options.silence_between);
    recorder.program(programs[i]);
  }
  recorder.silence(options.silence_after);
  return recorder.samples();
}

std::vector<std::uint8_t> wav_header(std::size_t sample_count, int sample_rate) {
  std::vector<std::uint8_t> out;
  const auto data_size = static_cast<std::uint32_t>(sample_count);
  const auto rate = static_cast<std::uint32_t>(sample_rate);
  for (char c : std::string("RIFF")) out.push_back(static_cast<std::uint8_t>(c));
  put_le(out, 36 + data_size, 4);
  for (char c : std::string("WAVEfmt ")) out.push_back(static_cast<std::uint8_t>(c));
  put_le(out, 16, 4);    // format chunk size
  put_le(out, 1, 2);     // PCM
  put_le(out, 1, 2);     // mono
  put_le(out, rate, 4);  // samples per second
  put_le(out, rate, 4);  // bytes per second
  put_le(out, 1, 2);     // bytes per frame
  put_le(out, 8, 2);     // bits per sample
  for (char c : std::string("data")) out.push_back(static_cast<std::uint8_t>(c));
  put_le(out, data_size, 4);
  return out;
}

bool write_wav(const std::string& path, const std::vector<std::uint8_t>& samples, int sample_rate) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const std::vector<std::uint8_t> header = wav_header(samples.size(), sample_rate);
  bool ok = std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
            std::fwrite(samples.data(), 1, samples.size(), file) == samples.size();
  ok = std::fclose(file) == 0 && ok;
  return ok;
}

}  // namespace tapesynth
