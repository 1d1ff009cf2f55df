#include "audio/prepared_wav.h"

#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace mzfscan {

namespace {

constexpr int PREPARED_RATE_MIN = 22050;
constexpr int PREPARED_RATE_MAX = 96000;
constexpr int PREPARED_RATE_DEFAULT = 44100;
// Full scale less one step: the peak lands on 1 or 255, never beyond.
constexpr double PREPARED_SWING = 127.0;

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
    // Clipped to the byte's range, NaN to 0, by comparisons the compiler keeps in line.
    bytes_[i] = static_cast<std::uint8_t>(level > 255.0 ? 255.0 : level >= 0.0 ? level : 0.0);
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

void split_path(const std::string& path, std::string* directory, std::string* name) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    directory->assign(1, '.');
    *name = path;
    return;
  }
  if (slash == 0) {
    directory->assign(1, '/');
  } else {
    directory->assign(path, 0, slash);
  }
  name->assign(path, slash + 1);
}

std::string placing_error(int error) {
  if (error == EEXIST) return "exists; not overwritten (--force replaces it)";
  if (error == EBUSY) return "is a recording or a file of this run; not overwritten";
  return std::string("cannot write: ") + std::strerror(error);
}

namespace {

// An output directory, open while the output is written.
struct Directory {
  int fd = -1;
  ~Directory() {
    if (fd >= 0) ::close(fd);
  }
};

// Opens the directory of `path` and creates the temporary file; false with the reason.
bool start_whole(const std::string& path, Directory& directory, std::string* name, char* temporary,
                 int* fd, std::string* error) {
  std::string folder;
  split_path(path, &folder, name);
  directory.fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int failure = directory.fd < 0 ? errno : 0;
  if (failure == 0) *fd = wholefile::create(directory.fd, name->c_str(), temporary, &failure);
  if (failure == 0) return true;
  *error = std::string("cannot write: ") + std::strerror(failure);
  return false;
}

}  // namespace

bool write_prepared_wav(const AudioInput& recording, const std::string& input_path,
                        const std::string& output_path, const PreparedSignal& signal,
                        const OutputRules& rules, wholefile::Identity* placed, std::string* error) {
  AudioInput input;
  std::string why;
  if (!input.open_again(recording, false, &why)) {
    *error = input_path + ": " + why;
    return false;
  }
  PreparedStream stream;
  if (!stream.open(input, signal, &why)) {
    *error = output_path + ": " + why;
    return false;
  }
  Directory directory;
  std::string name;
  char temporary[wholefile::TEMPORARY_NAME_SIZE];
  int fd = -1;
  if (!start_whole(output_path, directory, &name, temporary, &fd, &why)) {
    *error = output_path + ": " + why;
    return false;
  }
  SF_INFO format{};
  format.samplerate = stream.rate();
  format.channels = 1;
  format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
  SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &format, SF_TRUE);
  if (file == nullptr) {
    ::close(fd);
    wholefile::discard(directory.fd, temporary);
    *error = output_path + ": cannot create (" + sf_strerror(nullptr) + ")";
    return false;
  }
  const std::uint8_t* bytes = nullptr;
  bool written = true;
  std::size_t count = 0;
  while (written && (count = stream.read(&bytes)) > 0) {
    const auto wanted = static_cast<sf_count_t>(count);
    written = sf_write_raw(file, bytes, wanted) == wanted;
  }
  std::string failure;
  if (!written) failure = output_path + ": cannot write (" + sf_strerror(file) + ")";
  const int closed = sf_close(file);
  if (failure.empty() && closed != 0) {
    failure = output_path + ": cannot write (" + sf_error_number(closed) + ")";
  }
  if (failure.empty() && !input.error().empty()) failure = input_path + ": " + input.error();
  if (!failure.empty()) {
    wholefile::discard(directory.fd, temporary);
    *error = failure;
    return false;
  }
  const int placing = wholefile::place(directory.fd, temporary, name.c_str(), rules.replace,
                                       rules.keep, rules.keep_count, placed);
  if (placing != 0) {
    *error = output_path + ": " + placing_error(placing);
    return false;
  }
  return true;
}

bool write_whole_text(const std::string& path, const std::string& text, const OutputRules& rules,
                      wholefile::Identity* placed, std::string* error) {
  Directory directory;
  std::string name;
  char temporary[wholefile::TEMPORARY_NAME_SIZE];
  int fd = -1;
  if (!start_whole(path, directory, &name, temporary, &fd, error)) return false;
  std::size_t done = 0;
  int failure = 0;
  while (failure == 0 && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) failure = errno;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure != 0) {
    wholefile::discard(directory.fd, temporary);
    *error = std::string("cannot write: ") + std::strerror(failure);
    return false;
  }
  const int placing = wholefile::place(directory.fd, temporary, name.c_str(), rules.replace,
                                       rules.keep, rules.keep_count, placed);
  if (placing != 0) {
    *error = placing_error(placing);
    return false;
  }
  return true;
}

}  // namespace mzfscan
