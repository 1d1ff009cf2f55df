#include "audio/prepared_wav.h"

#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>

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

}  // namespace

int prepared_rate(int file_rate) {
  return file_rate >= PREPARED_RATE_MIN && file_rate <= PREPARED_RATE_MAX ? file_rate
                                                                          : PREPARED_RATE_DEFAULT;
}

PreparedStream::~PreparedStream() {
  if (resampler_ != nullptr) soxr_delete(static_cast<soxr_t>(resampler_));
}

bool PreparedStream::open(AudioInput& input, const PreparedSignal& signal, std::string* error) {
  input_ = &input;
  signal_ = signal;
  const AudioInfo& info = input.info();
  rate_ = prepared_rate(info.file_rate);
  if (rate_ != info.file_rate) {
    soxr_error_t failure = nullptr;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    resampler_ = soxr_create(info.file_rate, rate_, 1, &failure, nullptr, &quality, nullptr);
    if (failure != nullptr) {
      *error = std::string("cannot resample: ") + failure;
      return false;
    }
  }
  const double span = signal.peak + std::fabs(signal.dc);
  gain_ = (span > 0 ? PREPARED_SWING / span : 0) * (signal.invert ? -1 : 1);
  // Room for the resampler's output of one chunk, whatever the ratio.
  const std::size_t room =
      AUDIO_CHUNK_FRAMES * (static_cast<std::size_t>(PREPARED_RATE_DEFAULT / AUDIO_RATE_MIN) + 2);
  mono_.resize(AUDIO_CHUNK_FRAMES);
  resampled_.resize(room);
  bytes_.resize(room);
  return true;
}

std::size_t PreparedStream::quantise(const float* samples, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const double level = std::nearbyint(128.0 + (samples[i] - signal_.dc) * gain_);
    bytes_[i] = static_cast<std::uint8_t>(std::fmin(255.0, std::fmax(0.0, level)));
  }
  return count;
}

std::size_t PreparedStream::read(const std::uint8_t** bytes) {
  *bytes = bytes_.data();
  auto* soxr = static_cast<soxr_t>(resampler_);
  while (!input_ended_) {
    const float* frames = nullptr;
    const std::size_t count = input_->read(&frames);
    if (count == 0) {
      input_ended_ = true;
      break;
    }
    take_channel(frames, count, static_cast<std::size_t>(input_->info().channels), signal_.channel,
                 mono_.data());
    if (soxr == nullptr) return quantise(mono_.data(), count);
    std::size_t made = 0;
    for (std::size_t at = 0; at < count;) {
      std::size_t taken = 0, more = 0;
      soxr_process(soxr, mono_.data() + at, count - at, &taken, resampled_.data() + made,
                   resampled_.size() - made, &more);
      at += taken;
      made += more;
      if (taken == 0 && more == 0) break;
    }
    if (made > 0) return quantise(resampled_.data(), made);
  }
  if (soxr == nullptr || !input_->error().empty()) return 0;
  // The input has ended: what the resampler still holds.
  std::size_t made = 0;
  soxr_process(soxr, nullptr, 0, nullptr, resampled_.data(), resampled_.size(), &made);
  return quantise(resampled_.data(), made);
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
  PreparedStream stream;
  if (!stream.open(input, signal, &why)) {
    *error = output_path + ": " + why;
    return false;
  }
  Output output;
  SF_INFO format{};
  format.samplerate = stream.rate();
  format.channels = 1;
  format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
  output.file = sf_open(output_path.c_str(), SFM_WRITE, &format);
  if (output.file == nullptr) {
    *error = output_path + ": cannot create (" + sf_strerror(nullptr) + ")";
    return false;
  }
  output.path = output_path;

  const std::uint8_t* bytes = nullptr;
  bool written = true;
  std::size_t count = 0;
  while (written && (count = stream.read(&bytes)) > 0) {
    const auto wanted = static_cast<sf_count_t>(count);
    written = sf_write_raw(output.file, bytes, wanted) == wanted;
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
