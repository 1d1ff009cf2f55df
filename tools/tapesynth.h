// tapesynth: renders MZF programs as a cassette recording in the machines' tape format, a WAV
// file (8-bit unsigned mono by default; 16/24-bit, float and several channels on request), with
// optional noise, hum, low-pass filtering, level, speed, drift, flutter, dropouts, mutes, dips,
// bit slips and polarity changes.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "format/tape_format.h"

namespace tapesynth {

// The tape format's pulse lengths and gaps, as it writes them.
using mzf::LONG_FIRST_US;
using mzf::LONG_GAP_PULSES;
using mzf::LONG_SECOND_US;
using mzf::SHORT_FIRST_US;
using mzf::SHORT_GAP_PULSES;
using mzf::SHORT_SECOND_US;

// Sample formats of the output: unsigned 8-bit, signed 16 and 24-bit PCM, 32-bit IEEE float.
enum class SampleFormat { U8, S16, S24, F32 };

// A block copy of every program on the tape: the header's or the body's first or second copy.
enum class CopyId { HEADER1, HEADER2, BODY1, BODY2 };

// Silence (the mid level) in place of the signal inside one copy of every program: from
// `start` (a fraction of the copy's length on tape) for `ms` milliseconds.
// Every half pulse that starts inside the span is silenced whole.
struct Dropout {
  CopyId copy = CopyId::BODY1;
  double start = 0.5;
  double ms = 20;
};

// Damage to the tape inside one copy of every program, to the sample: from `start` (a fraction
// of the copy's length on tape) for `ms` milliseconds the signal is multiplied by `gain`, so that
// a gain of 0 mutes it (even for a fraction of a pulse) and one of 0.3 is a dip in the level.
struct Damage {
  CopyId copy = CopyId::BODY1;
  double start = 0.5;
  double ms = 0.5;
  double gain = 0;
};

// A bit slip in one copy of every program: the pulse of the copy that lies at `start` (a
// fraction of its length on tape) is left out, so the bit or start pulse it carried disappears
// and every later pulse of the copy comes one place early.
struct Slip {
  CopyId copy = CopyId::BODY1;
  double start = 0.5;
};

struct SynthOptions {
  int sample_rate = 48000;
  // The machine writes each pulse high half first; many capture chains invert it, so that every
  // pulse starts on its falling edge. Recordings of that polarity are what the converter reads.
  bool falling_first = true;
  double amplitude = 100;  // deviation of both halves from the mid level 128
  double dc_offset = 0;    // added to every sample
  double noise = 0;        // standard deviation of Gaussian noise added to every sample
  std::uint64_t seed = 1;
  double speed = 1.0;  // tape speed factor: 1.05 plays every pulse 5 % shorter
  double silence_before = 0.1, silence_between = 0.5, silence_after = 0.1;  // seconds
  int long_gap = LONG_GAP_PULSES;
  int short_gap = SHORT_GAP_PULSES;
  // Output: the format, the number of channels and the one (1-based) that carries the signal;
  // the others carry the mid level and, when `noise` is set, noise of their own seed.
  SampleFormat format = SampleFormat::U8;
  int channels = 1;
  int signal_channel = 1;
  // Speed drift: the speed varies sinusoidally by +-`drift` percent every `drift_period` s.
  double drift = 0;
  double drift_period = 20;
  // Flutter: a second sinusoidal speed variation on top of the drift, +-`flutter` percent at
  // `flutter_hz` cycles per second.
  double flutter = 0;
  double flutter_hz = 10;
  // Mains hum added to the signal: a sine of `hum_hz` whose amplitude is `hum_level` times the
  // pulse amplitude.
  double hum_hz = 50;
  double hum_level = 0;
  // Low-pass filters applied to the tape signal (its deviation from the mid level, after any
  // damage and before hum and noise), cutoffs in Hz below half the sample rate, 0 for none: one
  // pole, and a second-order Butterworth (Q = 0.7071). Both may be set; they then run in series.
  double lowpass1 = 0;
  double lowpass2 = 0;
  std::vector<Dropout> dropouts;
  std::vector<Damage> damages;
  std::vector<Slip> slips;
};

// Bytes per sample of a format.
int sample_bytes(SampleFormat format);

// One program: its 128-byte header and its body.
struct Program {
  std::vector<std::uint8_t> header;
  std::vector<std::uint8_t> body;
};

// Splits the contents of an MZF file into its records (header, then the body length it gives).
// Returns false when the data does not end exactly after a whole record.
bool split_mzf(const std::vector<std::uint8_t>& data, std::vector<Program>& programs);

// The number of bits set in `bytes`, modulo 65536: the tape checksum.
std::uint16_t checksum_of(const std::vector<std::uint8_t>& bytes);

// Builds a recording pulse by pulse. The building blocks are public so that tests can record
// damaged or unusual tapes.
class Recorder {
 public:
  explicit Recorder(const SynthOptions& options);

  void pulse(bool is_long);
  void pulses(bool is_long, int count);
  void silence(double seconds);
  // A byte: one long start pulse, then 8 bits, most significant first (long = 1).
  void byte(std::uint8_t value);
  // The bytes, then their checksum (or `checksum` when given), high byte first.
  void block(const std::vector<std::uint8_t>& bytes);
  void block(const std::vector<std::uint8_t>& bytes, std::uint16_t checksum);
  // A tape mark: `count` long pulses, then `count` short ones.
  void tape_mark(int count);
  // A whole program in the machine's format: gap, mark, header twice, gap, mark, body twice.
  void program(const Program& program);

  // The next block() is cut by silence from `start` (fraction of its length) for `ms` ms.
  void drop_next_block(double start, double ms);

  // Samples recorded so far as 8-bit unsigned bytes, without a file header.
  const std::vector<std::uint8_t>& samples() const { return samples_; }
  // The same samples before quantisation: levels in 8-bit units (mid level 128).
  const std::vector<double>& levels() const { return levels_; }

 private:
  // A span of tape, in tape position, whose signal is multiplied by `gain`.
  struct Span {
    double from, to, gain;
  };

  void level(double sign, double microseconds);
  double sample_level(double deviation);
  double tape_signal(double deviation, double tape_us);
  double gaussian();
  void dropped_copy(CopyId copy);

  SynthOptions options_;
  std::vector<std::uint8_t> samples_;
  std::vector<double> levels_;
  double time_us_ = 0;                    // recording time reached so far
  double tape_us_ = 0;                    // tape position reached so far, at nominal speed
  double mute_from_ = -1, mute_to_ = -1;  // a dropout, in tape position
  double next_drop_start_ = -1, next_drop_ms_ = 0;
  std::vector<Damage> next_damages_;  // damage and slips for the next block()
  std::vector<double> next_slips_;
  std::vector<Span> spans_;          // damage from the blocks recorded, in tape position
  double pole_gain_ = 0, pole_ = 0;  // the one-pole low-pass filter: its step and output
  // The second-order filter: coefficients b0 to b2, a1 and a2, and its state (transposed
  // direct form II).
  double biquad_b_[3] = {0, 0, 0}, biquad_a_[2] = {0, 0}, biquad_[2] = {0, 0};
  std::mt19937_64 random_;
};

// Renders programs onto one tape with the silences of the options between them.
std::vector<std::uint8_t> record_programs(const std::vector<Program>& programs,
                                          const SynthOptions& options);

// Renders programs onto one tape, as record_programs() does, and hands over the recorder.
Recorder record_tape(const std::vector<Program>& programs, const SynthOptions& options);

// The 44-byte header of an 8-bit unsigned mono WAV file holding `sample_count` samples.
std::vector<std::uint8_t> wav_header(std::size_t sample_count, int sample_rate);

// The header of a WAV file of `frames` frames in the options' format, channels and rate.
std::vector<std::uint8_t> wav_header(std::size_t frames, const SynthOptions& options);

// The data of the recording in the options' format and channels, interleaved, little-endian.
std::vector<std::uint8_t> render_data(const Recorder& recorder, const SynthOptions& options);

// The recording as interleaved float frames, full scale -1 to 1 (128 levels of 8-bit units).
std::vector<float> render_float(const Recorder& recorder, const SynthOptions& options);

// Writes samples as a WAV file. Returns false (with errno set) when it cannot.
bool write_wav(const std::string& path, const std::vector<std::uint8_t>& samples, int sample_rate);

// Writes the recording as a WAV file in the options' format. Returns false (with errno set)
// when it cannot.
bool write_wav(const std::string& path, const Recorder& recorder, const SynthOptions& options);

}  // namespace tapesynth
