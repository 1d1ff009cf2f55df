#include "audio/prepared_wav.h"

#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "audio/audio_input.h"

namespace mzfscan {

namespace {

constexpr int PREPARED_RATE_MIN = 22050;
constexpr int PREPARED_RATE_MAX = 96000;
constexpr int PREPARED_RATE_DEFAULT = 44100;
// Full scale less one step: the peak lands on 1 or 255, never beyond.
constexpr double PREPARED_SWING = 127.0;

// The output file, closed when it goes; removed when the writing did not finish.
struct Output {
  SNDFILE* file = nullptr;
  std::string path;
  bool done = false;
  ~Output() {
    if (file != nullptr) sf_close(file);
    if (!done && !path.empty()) std::remove(path.c_str());
  }
};

struct Resampler {
  soxr_t soxr = nullptr;
  ~Resampler() {
    if (soxr != nullptr) soxr_delete(soxr);
  }
};

}  // namespace

int prepared_rate(int file_rate) {
  return file_rate >= PREPARED_RATE_MIN && file_rate <= PREPARED_RATE_MAX ? file_rate
                                                                          : PREPARED_RATE_DEFAULT;
}

bool write_prepared_wav(const std::string& input_path, const std::string& output_path,
                        const PreparedSignal& signal, std::string* error) {
  AudioInput input;
  std::string why;
  if (!input.open_file(input_path, false, &why)) {
    *error = input_path + ": " + why;
    return false;
  }
  const AudioInfo& info = input.info();
  struct stat existing {};
  if (::stat(output_path.c_str(), &existing) == 0 && existing.st_dev == info.device &&
      existing.st_ino == info.inode) {
    *error = output_path + ": is the recording itself; not overwritten";
    return false;
  }
  const int rate = prepared_rate(info.file_rate);
  Output output;
  SF_INFO format{};
  format.samplerate = rate;
  format.channels = 1;
  format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
  output.file = sf_open(output_path.c_str(), SFM_WRITE, &format);
  if (output.file == nullptr) {
    *error = output_path + ": cannot create (" + sf_strerror(nullptr) + ")";
    return false;
  }
  output.path = output_path;

  Resampler resampler;
  if (rate != info.file_rate) {
    soxr_error_t failure = nullptr;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    resampler.soxr = soxr_create(info.file_rate, rate, 1, &failure, nullptr, &quality, nullptr);
    if (failure != nullptr) {
      *error = output_path + ": cannot resample: " + failure;
      return false;
    }
  }

  const double span = signal.peak + std::fabs(signal.dc);
  const double gain = (span > 0 ? PREPARED_SWING / span : 0) * (signal.invert ? -1 : 1);
  const auto channels = static_cast<std::size_t>(info.channels);
  // Room for the resampler's output of one chunk, whatever the ratio.
  const std::size_t room = AUDIO_CHUNK_FRAMES * (PREPARED_RATE_DEFAULT / AUDIO_RATE_MIN + 2);
  std::vector<float> mono(AUDIO_CHUNK_FRAMES), resampled(room);
  std::vector<std::uint8_t> bytes(room);

  // Quantises `count` samples and writes them; false on a write error.
  auto emit = [&](const float* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const double level = std::nearbyint(128.0 + (samples[i] - signal.dc) * gain);
      bytes[i] = static_cast<std::uint8_t>(std::fmin(255.0, std::fmax(0.0, level)));
    }
    const auto wanted = static_cast<sf_count_t>(count);
    return count == 0 || sf_write_raw(output.file, bytes.data(), wanted) == wanted;
  };

  const float* frames = nullptr;
  bool written = true;
  std::size_t count = 0;
  while (written && (count = input.read(&frames)) > 0) {
    take_channel(frames, count, channels, signal.channel, mono.data());
    if (resampler.soxr == nullptr) {
      written = emit(mono.data(), count);
      continue;
    }
    for (std::size_t at = 0; written && at < count;) {
      std::size_t taken = 0, made = 0;
      soxr_process(resampler.soxr, mono.data() + at, count - at, &taken, resampled.data(), room,
                   &made);
      at += taken;
      written = emit(resampled.data(), made);
    }
  }
  while (written && resampler.soxr != nullptr) {
    std::size_t made = 0;
    soxr_process(resampler.soxr, nullptr, 0, nullptr, resampled.data(), room, &made);
    if (made == 0) break;
    written = emit(resampled.data(), made);
  }
  if (!input.error().empty()) {
    *error = input_path + ": " + input.error();
    return false;
  }
  if (!written) {
    *error = output_path + ": cannot write (" + sf_strerror(output.file) + ")";
    return false;
  }
  const int closed = sf_close(output.file);
  output.file = nullptr;
  if (closed != 0) {
    *error = output_path + ": cannot write (" + sf_error_number(closed) + ")";
    return false;
  }
  output.done = true;
  return true;
}

}  // namespace mzfscan
