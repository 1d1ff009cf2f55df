// tapesynth: writes MZF files as a cassette recording (a WAV file, 8-bit unsigned mono unless
// asked otherwise).
#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <type_traits>

#include "tools/tapesynth.h"

namespace {

void usage(std::FILE* out) {
  std::fputs(
      "Usage: tapesynth [OPTION]... OUTPUT.wav FILE.mzf...\n"
      "Records the programs of the MZF files, in order, as one tape.\n"
      "  -r, --rate N             samples per second (48000)\n"
      "  -p, --polarity P         falling: every pulse starts on its falling edge (default);\n"
      "                           rising: as the machine writes it\n"
      "  -a, --amplitude A        deviation of the pulse levels from 128 (100)\n"
      "  -d, --offset D           DC offset added to every sample (0)\n"
      "  -n, --noise S            standard deviation of added Gaussian noise (0)\n"
      "  -s, --seed N             noise seed (1)\n"
      "  -f, --speed F            tape speed factor, 1.05 is 5 % fast (1)\n"
      "      --silence-before S   seconds of silence before the first program (0.1)\n"
      "      --silence-between S  seconds of silence between programs (0.5)\n"
      "      --silence-after S    seconds of silence after the last program (0.1)\n"
      "      --long-gap N         short pulses before a header (22000)\n"
      "      --short-gap N        short pulses before a body (11000)\n"
      "      --format F           u8 (default), s16, s24 or f32 (IEEE float) samples; levels\n"
      "                           are kept at the format's full resolution\n"
      "      --channels N         channels in the file (1)\n"
      "      --signal-channel K   the channel that carries the tape, from 1 (1); the others\n"
      "                           stay at the mid level, with noise of their own when -n is set\n"
      "      --level-db D         amplitude as dB of full scale (sets -a: 0 dB is 128)\n"
      "      --drift P            tape speed varies sinusoidally by +-P percent (0)\n"
      "      --drift-period S     seconds per cycle of the drift (20); a fraction of a second\n"
      "                           makes it a flutter, but --flutter adds one beside the drift\n"
      "      --flutter P[:HZ]     a second speed variation of +-P percent, HZ cycles per\n"
      "                           second (10), combined with the drift\n"
      "      --hum F:L            adds a sine of F Hz whose amplitude is L times the pulse\n"
      "                           amplitude (1 is as strong as the pulses)\n"
      "      --lowpass1 HZ        one-pole low-pass filter of cutoff HZ on the tape signal,\n"
      "                           before hum and noise are added\n"
      "      --lowpass2 HZ        second-order Butterworth low-pass (Q 0.7071), the same way;\n"
      "                           both filters may be set, cutoffs below half the rate\n"
      "      --dropout C[:F[:MS]] silence inside copy C (header1, header2, body1, body2) of\n"
      "                           every program, from fraction F of it (0.5) for MS\n"
      "                           milliseconds (20): every half pulse that starts in it\n"
      "      --mute C[:F[:MS]]    silence in copy C, from fraction F of it (0.5) for MS\n"
      "                           milliseconds (0.5), to the sample, even within a pulse\n"
      "      --dip C[:F[:MS[:G]]] the signal in copy C multiplied by G (0.3), from fraction F\n"
      "                           of it (0.5) for MS milliseconds (20), to the sample\n"
      "      --slip C[:F]         a bit slip in copy C: the pulse at fraction F of it (0.5)\n"
      "                           is left out, so its bit disappears and the later ones come\n"
      "                           one place early\n"
      "                           (--dropout, --mute, --dip and --slip may be repeated and\n"
      "                           act on that copy of every program)\n"
      "  -h, --help               show this help\n",
      out);
}

// Parses a number between `low` and `high` into `value`; integer options take whole numbers only.
template <typename T>
bool parse_number(const char* text, double low, double high, T& value) {
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text, &end);
  const bool valid = errno == 0 && end != text && *end == '\0' && parsed >= low && parsed <= high &&
                     (!std::is_integral_v<T> || parsed == std::floor(parsed));
  if (valid) value = static_cast<T>(parsed);
  return valid;
}

bool read_file(const char* path, std::vector<std::uint8_t>& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

enum LongOnly {
  SILENCE_BEFORE = 256,
  SILENCE_BETWEEN,
  SILENCE_AFTER,
  LONG_GAP,
  SHORT_GAP,
  FORMAT,
  CHANNELS,
  SIGNAL_CHANNEL,
  LEVEL_DB,
  DRIFT,
  DRIFT_PERIOD,
  DROPOUT,
  FLUTTER,
  HUM,
  LOWPASS1,
  LOWPASS2,
  MUTE,
  DIP,
  SLIP,
};

bool parse_format(const char* text, tapesynth::SampleFormat& format) {
  static const struct {
    const char* name;
    tapesynth::SampleFormat format;
  } formats[] = {{"u8", tapesynth::SampleFormat::U8},
                 {"s16", tapesynth::SampleFormat::S16},
                 {"s24", tapesynth::SampleFormat::S24},
                 {"f32", tapesynth::SampleFormat::F32}};
  for (const auto& f : formats) {
    if (std::strcmp(text, f.name) == 0) {
      format = f.format;
      return true;
    }
  }
  return false;
}

// A number field of a colon-separated value: where it goes and the range it must lie in.
struct Field {
  double* value;
  double low, high;
};

// Parses COPY[:FIELD...] into the copy and as many of the fields as are given; the others keep
// their defaults.
bool parse_copy_spec(const char* text, tapesynth::CopyId& copy,
                     std::initializer_list<Field> fields) {
  static const struct {
    const char* name;
    tapesynth::CopyId copy;
  } copies[] = {{"header1", tapesynth::CopyId::HEADER1},
                {"header2", tapesynth::CopyId::HEADER2},
                {"body1", tapesynth::CopyId::BODY1},
                {"body2", tapesynth::CopyId::BODY2}};
  const std::string value(text);
  std::size_t colon = value.find(':');
  const std::string name = value.substr(0, colon);
  bool known = false;
  for (const auto& c : copies) {
    if (name == c.name) {
      copy = c.copy;
      known = true;
    }
  }
  if (!known) return false;
  for (const Field& field : fields) {
    if (colon == std::string::npos) return true;
    const std::size_t next = value.find(':', colon + 1);
    const std::string part = value.substr(colon + 1, next - colon - 1);
    if (!parse_number(part.c_str(), field.low, field.high, *field.value)) return false;
    colon = next;
  }
  return colon == std::string::npos;
}

// Parses NUMBER:NUMBER into two fields.
bool parse_pair(const char* text, Field first, Field second) {
  const std::string value(text);
  const std::size_t colon = value.find(':');
  return colon != std::string::npos &&
         parse_number(value.substr(0, colon).c_str(), first.low, first.high, *first.value) &&
         parse_number(value.substr(colon + 1).c_str(), second.low, second.high, *second.value);
}

// Parses P[:HZ] of --flutter.
bool parse_flutter(const char* text, tapesynth::SynthOptions& o) {
  const std::string value(text);
  const std::size_t colon = value.find(':');
  if (colon == std::string::npos) return parse_number(text, 0, 50, o.flutter);
  return parse_pair(text, {&o.flutter, 0, 50}, {&o.flutter_hz, 0.001, 1e4});
}

constexpr double MAX_MS = 3.6e6;

bool parse_dropout(const char* text, tapesynth::SynthOptions& o) {
  tapesynth::Dropout d;
  if (!parse_copy_spec(text, d.copy, {{&d.start, 0, 1}, {&d.ms, 0, MAX_MS}})) return false;
  o.dropouts.push_back(d);
  return true;
}

bool parse_damage(const char* text, bool dip, tapesynth::SynthOptions& o) {
  tapesynth::Damage d;
  if (dip) {
    d.ms = 20;
    d.gain = 0.3;
  }
  const bool ok =
      dip ? parse_copy_spec(text, d.copy, {{&d.start, 0, 1}, {&d.ms, 0, MAX_MS}, {&d.gain, 0, 1}})
          : parse_copy_spec(text, d.copy, {{&d.start, 0, 1}, {&d.ms, 0, MAX_MS}});
  if (ok) o.damages.push_back(d);
  return ok;
}

bool parse_slip(const char* text, tapesynth::SynthOptions& o) {
  tapesynth::Slip slip;
  if (!parse_copy_spec(text, slip.copy, {{&slip.start, 0, 1}})) return false;
  o.slips.push_back(slip);
  return true;
}

// Applies one option to `o`; returns false when its value is invalid.
bool apply_option(int option, const char* arg, tapesynth::SynthOptions& o) {
  switch (option) {
    case 'r': return parse_number(arg, 1000, 1e6, o.sample_rate);
    case 'p':
      o.falling_first = std::strcmp(arg, "falling") == 0;
      return o.falling_first || std::strcmp(arg, "rising") == 0;
    case 'a': return parse_number(arg, 0, 255, o.amplitude);
    case 'd': return parse_number(arg, -255, 255, o.dc_offset);
    case 'n': return parse_number(arg, 0, 255, o.noise);
    case 's': return parse_number(arg, 0, 1e18, o.seed);
    case 'f': return parse_number(arg, 0.1, 10, o.speed);
    case SILENCE_BEFORE: return parse_number(arg, 0, 3600, o.silence_before);
    case SILENCE_BETWEEN: return parse_number(arg, 0, 3600, o.silence_between);
    case SILENCE_AFTER: return parse_number(arg, 0, 3600, o.silence_after);
    case LONG_GAP: return parse_number(arg, 0, 1e7, o.long_gap);
    case SHORT_GAP: return parse_number(arg, 0, 1e7, o.short_gap);
    case FORMAT: return parse_format(arg, o.format);
    case CHANNELS: return parse_number(arg, 1, 64, o.channels);
    case SIGNAL_CHANNEL: return parse_number(arg, 1, 64, o.signal_channel);
    case LEVEL_DB: {
      double db = 0;
      if (!parse_number(arg, -120, 6, db)) return false;
      o.amplitude = 128 * std::pow(10.0, db / 20);
      return true;
    }
    case DRIFT: return parse_number(arg, 0, 50, o.drift);
    case DRIFT_PERIOD: return parse_number(arg, 0.001, 1e6, o.drift_period);
    case DROPOUT: return parse_dropout(arg, o);
    case FLUTTER: return parse_flutter(arg, o);
    case HUM: return parse_pair(arg, {&o.hum_hz, 0.001, 1e5}, {&o.hum_level, 0, 100});
    case LOWPASS1: return parse_number(arg, 1, 5e5, o.lowpass1);
    case LOWPASS2: return parse_number(arg, 1, 5e5, o.lowpass2);
    case MUTE: return parse_damage(arg, false, o);
    case DIP: return parse_damage(arg, true, o);
    case SLIP: return parse_slip(arg, o);
    default: return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  static const option long_options[] = {
      {"rate", required_argument, nullptr, 'r'},
      {"polarity", required_argument, nullptr, 'p'},
      {"amplitude", required_argument, nullptr, 'a'},
      {"offset", required_argument, nullptr, 'd'},
      {"noise", required_argument, nullptr, 'n'},
      {"seed", required_argument, nullptr, 's'},
      {"speed", required_argument, nullptr, 'f'},
      {"silence-before", required_argument, nullptr, SILENCE_BEFORE},
      {"silence-between", required_argument, nullptr, SILENCE_BETWEEN},
      {"silence-after", required_argument, nullptr, SILENCE_AFTER},
      {"long-gap", required_argument, nullptr, LONG_GAP},
      {"short-gap", required_argument, nullptr, SHORT_GAP},
      {"format", required_argument, nullptr, FORMAT},
      {"channels", required_argument, nullptr, CHANNELS},
      {"signal-channel", required_argument, nullptr, SIGNAL_CHANNEL},
      {"level-db", required_argument, nullptr, LEVEL_DB},
      {"drift", required_argument, nullptr, DRIFT},
      {"drift-period", required_argument, nullptr, DRIFT_PERIOD},
      {"dropout", required_argument, nullptr, DROPOUT},
      {"flutter", required_argument, nullptr, FLUTTER},
      {"hum", required_argument, nullptr, HUM},
      {"lowpass1", required_argument, nullptr, LOWPASS1},
      {"lowpass2", required_argument, nullptr, LOWPASS2},
      {"mute", required_argument, nullptr, MUTE},
      {"dip", required_argument, nullptr, DIP},
      {"slip", required_argument, nullptr, SLIP},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  tapesynth::SynthOptions options;
  int option = 0;
  while ((option = getopt_long(argc, argv, "r:p:a:d:n:s:f:h", long_options, nullptr)) != -1) {
    if (option == 'h') {
      usage(stdout);
      return 0;
    }
    if (option == '?' || !apply_option(option, optarg, options)) {
      if (option != '?') std::fprintf(stderr, "tapesynth: invalid value '%s'\n", optarg);
      usage(stderr);
      return 2;
    }
  }
  if (options.signal_channel > options.channels) {
    std::fprintf(stderr, "tapesynth: signal channel %d is beyond the %d channel(s)\n",
                 options.signal_channel, options.channels);
    usage(stderr);
    return 2;
  }
  if (2 * std::fmax(options.lowpass1, options.lowpass2) >= options.sample_rate) {
    std::fprintf(stderr, "tapesynth: a low-pass cutoff must lie below half the sample rate\n");
    usage(stderr);
    return 2;
  }
  if (argc - optind < 2) {
    usage(stderr);
    return 2;
  }
  std::vector<tapesynth::Program> programs;
  for (int i = optind + 1; i < argc; ++i) {
    std::vector<std::uint8_t> data;
    if (!read_file(argv[i], data)) {
      std::fprintf(stderr, "tapesynth: cannot read %s: %s\n", argv[i], std::strerror(errno));
      return 1;
    }
    if (!tapesynth::split_mzf(data, programs)) {
      std::fprintf(stderr, "tapesynth: %s is not a sequence of MZF records\n", argv[i]);
      return 1;
    }
  }
  const tapesynth::Recorder recorder = tapesynth::record_tape(programs, options);
  if (!tapesynth::write_wav(argv[optind], recorder, options)) {
    std::fprintf(stderr, "tapesynth: cannot write %s: %s\n", argv[optind], std::strerror(errno));
    return 1;
  }
  return 0;
}
