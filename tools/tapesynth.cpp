#include "tools/tapesynth.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "format/tape_format.h"

namespace tapesynth {

namespace {

using mzf::HEADER_SIZE;
constexpr int HEADER_MARK = mzf::HEADER_MARK_PULSES;
constexpr int BODY_MARK = mzf::BODY_MARK_PULSES;
constexpr int BLOCK_REPEAT_GAP = mzf::COPY_GAP_PULSES;

void put_le(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void put_text(std::vector<std::uint8_t>& out, const char* text) {
  for (; *text != '\0'; ++text) out.push_back(static_cast<std::uint8_t>(*text));
}

// A standard normal deviate: Box-Muller on the generator's raw output, so that a seed gives
// the same recording anywhere.
double gaussian_of(std::mt19937_64& random) {
  const double u1 = (static_cast<double>(random() >> 11) + 1) * 0x1p-53;
  const double u2 = static_cast<double>(random() >> 11) * 0x1p-53;
  return std::sqrt(-2 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
}

std::uint8_t quantise_u8(double level) {
  return static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, level))));
}

// A level in 8-bit units as a signed integer of `bits` bits at full resolution.
std::int32_t quantise_signed(double level, int bits) {
  const double scale = std::ldexp(1.0, bits - 1);
  const double value = std::nearbyint((level - 128) / 128 * scale);
  return static_cast<std::int32_t>(std::fmin(scale - 1, std::fmax(-scale, value)));
}

float to_float(double level) {
  return static_cast<float>(std::fmin(1.0, std::fmax(-1.0, (level - 128) / 128)));
}

void put_sample(std::vector<std::uint8_t>& out, double level, SampleFormat format) {
  switch (format) {
    case SampleFormat::U8: out.push_back(quantise_u8(level)); break;
    case SampleFormat::S16:
      put_le(out, static_cast<std::uint32_t>(quantise_signed(level, 16)), 2);
      break;
    case SampleFormat::S24:
      put_le(out, static_cast<std::uint32_t>(quantise_signed(level, 24)), 3);
      break;
    case SampleFormat::F32: put_le(out, std::bit_cast<std::uint32_t>(to_float(level)), 4); break;
  }
}

// The sample as a reader of the file sees it, full scale -1 to 1.
float read_back(double level, SampleFormat format) {
  switch (format) {
    case SampleFormat::U8: return static_cast<float>(quantise_u8(level) - 128) / 128.0F;
    case SampleFormat::S16: return static_cast<float>(quantise_signed(level, 16)) / 32768.0F;
    case SampleFormat::S24: return static_cast<float>(quantise_signed(level, 24)) / 8388608.0F;
    case SampleFormat::F32: return to_float(level);
  }
  return 0;
}

// Calls `put(channel, level)` for every sample of the recording, frame by frame: the signal in
// its channel, the mid level (with noise of its own seed) in the others.
template <typename Put>
void each_sample(const Recorder& recorder, const SynthOptions& o, Put put) {
  std::vector<std::mt19937_64> randoms;
  randoms.reserve(static_cast<std::size_t>(o.channels));
  for (int c = 0; c < o.channels; ++c) randoms.emplace_back(o.seed + static_cast<unsigned>(c));
  for (double signal : recorder.levels()) {
    for (int c = 0; c < o.channels; ++c) {
      if (c + 1 == o.signal_channel) {
        put(c, signal);
      } else {
        put(c, o.noise > 0 ? 128 + o.noise * gaussian_of(randoms[static_cast<std::size_t>(c)])
                           : 128.0);
      }
    }
  }
}

}  // namespace

bool split_mzf(const std::vector<std::uint8_t>& data, std::vector<Program>& programs) {
  std::size_t at = 0;
  while (data.size() - at >= HEADER_SIZE) {
    const auto* header = data.data() + at;
    const std::size_t length = mzf::header_word(header, mzf::BODY_LENGTH_OFFSET);
    if (data.size() - at - HEADER_SIZE < length) return false;
    programs.push_back(Program{{header, header + HEADER_SIZE},
                               {header + HEADER_SIZE, header + HEADER_SIZE + length}});
    at += HEADER_SIZE + length;
  }
  return at == data.size();
}

std::uint16_t checksum_of(const std::vector<std::uint8_t>& bytes) {
  return mzf::ones_checksum(bytes.data(), bytes.size());
}

int sample_bytes(SampleFormat format) {
  switch (format) {
    case SampleFormat::U8: return 1;
    case SampleFormat::S16: return 2;
    case SampleFormat::S24: return 3;
    case SampleFormat::F32: return 4;
  }
  return 1;
}

Recorder::Recorder(const SynthOptions& options) : options_(options), random_(options.seed) {
  const double rate = options.sample_rate;
  pole_gain_ = 1 - std::exp(-2 * std::numbers::pi * options.lowpass1 / rate);
  // The low-pass biquad of the audio EQ cookbook with Q = 1/sqrt(2), normalised by a0.
  const double w0 = 2 * std::numbers::pi * options.lowpass2 / rate;
  const double alpha = std::sin(w0) / std::numbers::sqrt2;
  const double a0 = 1 + alpha;
  biquad_b_[0] = biquad_b_[2] = (1 - std::cos(w0)) / 2 / a0;
  biquad_b_[1] = (1 - std::cos(w0)) / a0;
  biquad_a_[0] = -2 * std::cos(w0) / a0;
  biquad_a_[1] = (1 - alpha) / a0;
}

double Recorder::gaussian() {
  return gaussian_of(random_);
}

double Recorder::sample_level(double deviation) {
  double value = 128 + options_.dc_offset + deviation;
  if (options_.hum_level > 0) {
    const double seconds = static_cast<double>(samples_.size()) / options_.sample_rate;
    value += options_.hum_level * options_.amplitude *
             std::sin(2 * std::numbers::pi * options_.hum_hz * seconds);
  }
  if (options_.noise > 0) value += options_.noise * gaussian();
  return value;
}

// The deviation of the signal on tape at a tape position, after the damage there, as the
// playback filters pass it.
double Recorder::tape_signal(double deviation, double tape_us) {
  for (const Span& span : spans_) {
    if (tape_us >= span.from && tape_us < span.to) deviation *= span.gain;
  }
  if (options_.lowpass1 > 0) {
    pole_ += pole_gain_ * (deviation - pole_);
    deviation = pole_;
  }
  if (options_.lowpass2 > 0) {
    const double out = biquad_b_[0] * deviation + biquad_[0];
    biquad_[0] = biquad_b_[1] * deviation - biquad_a_[0] * out + biquad_[1];
    biquad_[1] = biquad_b_[2] * deviation - biquad_a_[1] * out;
    deviation = out;
  }
  return deviation;
}

void Recorder::level(double sign, double microseconds) {
  if (tape_us_ >= mute_from_ && tape_us_ < mute_to_) sign = 0;
  const double tape_from = tape_us_, time_from = time_us_;
  tape_us_ += microseconds;
  double speed = options_.speed;
  if (options_.drift != 0) {
    const double phase = 2 * std::numbers::pi * time_us_ * 1e-6 / options_.drift_period;
    speed *= 1 + options_.drift / 100 * std::sin(phase);
  }
  if (options_.flutter != 0) {
    const double phase = 2 * std::numbers::pi * time_us_ * 1e-6 * options_.flutter_hz;
    speed *= 1 + options_.flutter / 100 * std::sin(phase);
  }
  time_us_ += microseconds / speed;
  const bool plain = spans_.empty() && options_.lowpass1 <= 0 && options_.lowpass2 <= 0;
  const double us_per_sample = 1e6 / options_.sample_rate;
  while (static_cast<double>(samples_.size()) * us_per_sample < time_us_) {
    double deviation = sign * options_.amplitude;
    if (!plain) {
      const double at = static_cast<double>(samples_.size()) * us_per_sample;
      deviation = tape_signal(deviation, tape_from + (at - time_from) * speed);
    }
    const double value = sample_level(deviation);
    levels_.push_back(value);
    samples_.push_back(quantise_u8(value));
  }
  // Damage behind the tape position reached is done with.
  std::erase_if(spans_, [&](const Span& span) { return span.to <= tape_from; });
}

void Recorder::drop_next_block(double start, double ms) {
  next_drop_start_ = start;
  next_drop_ms_ = ms;
}

void Recorder::dropped_copy(CopyId copy) {
  for (const Dropout& d : options_.dropouts) {
    if (d.copy == copy) drop_next_block(d.start, d.ms);
  }
  for (const Damage& d : options_.damages) {
    if (d.copy == copy) next_damages_.push_back(d);
  }
  for (const Slip& slip : options_.slips) {
    if (slip.copy == copy) next_slips_.push_back(slip.start);
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
  std::vector<std::uint8_t> all = bytes;
  all.push_back(static_cast<std::uint8_t>(checksum >> 8));
  all.push_back(static_cast<std::uint8_t>(checksum & 0xFF));
  // The copy's pulses: every byte is a long start pulse and 8 bits, most significant first.
  std::vector<bool> kinds;
  kinds.reserve(9 * all.size());
  for (std::uint8_t b : all) {
    kinds.push_back(true);
    for (int bit = 7; bit >= 0; --bit) kinds.push_back((b >> bit & 1) != 0);
  }
  const auto pulse_us = [](bool is_long) {
    return is_long ? LONG_FIRST_US + LONG_SECOND_US : SHORT_FIRST_US + SHORT_SECOND_US;
  };
  double length = 0;  // at nominal speed; a sum of whole microseconds, so exact in any order
  for (bool is_long : kinds) length += pulse_us(is_long);
  if (next_drop_start_ >= 0) {
    mute_from_ = tape_us_ + next_drop_start_ * length;
    mute_to_ = mute_from_ + next_drop_ms_ * 1000 * options_.speed;
    next_drop_start_ = -1;
  }
  for (const Damage& d : next_damages_) {
    const double from = tape_us_ + d.start * length;
    spans_.push_back({from, from + d.ms * 1000 * options_.speed, d.gain});
  }
  next_damages_.clear();
  // A slip leaves out the pulse that ends first beyond its place (the last one at the very end).
  std::vector<bool> slipped(kinds.size(), false);
  for (double start : next_slips_) {
    double end = 0;
    std::size_t i = 0;
    while (i + 1 < kinds.size() && (end += pulse_us(kinds[i])) <= start * length) ++i;
    slipped[i] = true;
  }
  next_slips_.clear();
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    if (!slipped[i]) pulse(kinds[i]);
  }
}

void Recorder::tape_mark(int count) {
  pulses(true, count);
  pulses(false, count);
}

void Recorder::program(const Program& program) {
  pulses(false, options_.long_gap);
  tape_mark(HEADER_MARK);
  pulse(true);
  dropped_copy(CopyId::HEADER1);
  block(program.header);
  pulse(true);
  pulses(false, BLOCK_REPEAT_GAP);
  dropped_copy(CopyId::HEADER2);
  block(program.header);
  pulse(true);
  pulses(false, options_.short_gap);
  tape_mark(BODY_MARK);
  pulse(true);
  dropped_copy(CopyId::BODY1);
  block(program.body);
  pulse(true);
  pulses(false, BLOCK_REPEAT_GAP);
  dropped_copy(CopyId::BODY2);
  block(program.body);
  pulse(true);
}

Recorder record_tape(const std::vector<Program>& programs, const SynthOptions& options) {
  Recorder recorder(options);
  recorder.silence(options.silence_before);
  for (std::size_t i = 0; i < programs.size(); ++i) {
    if (i > 0) recorder.silence(options.silence_between);
    recorder.program(programs[i]);
  }
  recorder.silence(options.silence_after);
  return recorder;
}

std::vector<std::uint8_t> record_programs(const std::vector<Program>& programs,
                                          const SynthOptions& options) {
  return record_tape(programs, options).samples();
}

std::vector<std::uint8_t> wav_header(std::size_t sample_count, int sample_rate) {
  SynthOptions options;
  options.sample_rate = sample_rate;
  return wav_header(sample_count, options);
}

std::vector<std::uint8_t> wav_header(std::size_t frames, const SynthOptions& options) {
  const bool is_float = options.format == SampleFormat::F32;
  const auto bytes = static_cast<std::uint32_t>(sample_bytes(options.format));
  const auto channels = static_cast<std::uint32_t>(options.channels);
  const auto rate = static_cast<std::uint32_t>(options.sample_rate);
  const auto data_size = static_cast<std::uint32_t>(frames * channels * bytes);
  // Float data is not PCM: its format chunk carries an (empty) extension size and a fact chunk
  // gives the number of frames.
  const std::uint32_t format_size = is_float ? 18 : 16;
  const std::uint32_t fact_size = is_float ? 12 : 0;
  std::vector<std::uint8_t> out;
  put_text(out, "RIFF");
  put_le(out, 4 + 8 + format_size + fact_size + 8 + data_size, 4);
  put_text(out, "WAVEfmt ");
  put_le(out, format_size, 4);
  put_le(out, is_float ? 3 : 1, 2);         // IEEE float or PCM
  put_le(out, channels, 2);                 // channels
  put_le(out, rate, 4);                     // frames per second
  put_le(out, rate * channels * bytes, 4);  // bytes per second
  put_le(out, channels * bytes, 2);         // bytes per frame
  put_le(out, 8 * bytes, 2);                // bits per sample
  if (is_float) {
    put_le(out, 0, 2);  // no extension
    put_text(out, "fact");
    put_le(out, 4, 4);
    put_le(out, static_cast<std::uint32_t>(frames), 4);
  }
  put_text(out, "data");
  put_le(out, data_size, 4);
  return out;
}

std::vector<std::uint8_t> render_data(const Recorder& recorder, const SynthOptions& options) {
  std::vector<std::uint8_t> out;
  out.reserve(recorder.levels().size() * static_cast<std::size_t>(options.channels) *
              static_cast<std::size_t>(sample_bytes(options.format)));
  std::size_t frame = 0;
  each_sample(recorder, options, [&](int channel, double level) {
    if (options.format == SampleFormat::U8 && channel + 1 == options.signal_channel) {
      out.push_back(recorder.samples()[frame]);
    } else {
      put_sample(out, level, options.format);
    }
    if (channel + 1 == options.channels) ++frame;
  });
  return out;
}

std::vector<float> render_float(const Recorder& recorder, const SynthOptions& options) {
  std::vector<float> out;
  out.reserve(recorder.levels().size() * static_cast<std::size_t>(options.channels));
  each_sample(recorder, options,
              [&](int, double level) { out.push_back(read_back(level, options.format)); });
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

bool write_wav(const std::string& path, const Recorder& recorder, const SynthOptions& options) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const std::vector<std::uint8_t> data = render_data(recorder, options);
  const auto frames = recorder.levels().size();
  const std::vector<std::uint8_t> header = wav_header(frames, options);
  bool ok = std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
            std::fwrite(data.data(), 1, data.size(), file) == data.size();
  ok = std::fclose(file) == 0 && ok;
  return ok;
}

}  // namespace tapesynth
