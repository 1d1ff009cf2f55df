#include "audio/audio_input.h"

#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace mzfscan {

namespace {

SNDFILE* sndfile(void* file) {
  return static_cast<SNDFILE*>(file);
}

// Output room of the resampler per call: never more than a chunk is handed out at once.
constexpr std::size_t RESAMPLED_FRAMES = AUDIO_CHUNK_FRAMES;

const char* container_name(int format) {
  switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV: return "WAV";
    case SF_FORMAT_WAVEX: return "WAV (extensible)";
    case SF_FORMAT_RF64: return "RF64";
    case SF_FORMAT_AIFF: return "AIFF";
    case SF_FORMAT_FLAC: return "FLAC";
    case SF_FORMAT_OGG: return "Ogg";
    case SF_FORMAT_AU: return "AU";
    case SF_FORMAT_W64: return "W64";
    case SF_FORMAT_CAF: return "CAF";
    case SF_FORMAT_RAW: return "raw";
    case SF_FORMAT_MPEG: return "MPEG";
    default: return "audio";
  }
}

const char* encoding_name(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: return "8-bit";
    case SF_FORMAT_PCM_16: return "16-bit";
    case SF_FORMAT_PCM_24: return "24-bit";
    case SF_FORMAT_PCM_32: return "32-bit";
    case SF_FORMAT_FLOAT: return "float";
    case SF_FORMAT_DOUBLE: return "double";
    case SF_FORMAT_VORBIS: return "Vorbis";
    case SF_FORMAT_OPUS: return "Opus";
    case SF_FORMAT_ULAW: return "u-law";
    case SF_FORMAT_ALAW: return "A-law";
    case SF_FORMAT_MPEG_LAYER_I: return "layer I";
    case SF_FORMAT_MPEG_LAYER_II: return "layer II";
    case SF_FORMAT_MPEG_LAYER_III: return "layer III (MP3)";
    default: return "compressed";
  }
}

// libsndfile's view of the byte source.
sf_count_t source_length(void* user) {
  return static_cast<AudioInput::Source*>(user)->size;
}

sf_count_t source_seek(sf_count_t offset, int whence, void* user) {
  auto* source = static_cast<AudioInput::Source*>(user);
  sf_count_t base = 0;
  if (whence == SEEK_CUR) base = source->position;
  if (whence == SEEK_END) base = source->size;
  if (offset > source->size - base || offset < -base) return -1;
  source->position = base + offset;
  return source->position;
}

sf_count_t source_read(void* destination, sf_count_t count, void* user) {
  auto* source = static_cast<AudioInput::Source*>(user);
  const sf_count_t available = source->size - source->position;
  const sf_count_t wanted = std::max<sf_count_t>(0, std::min(count, available));
  sf_count_t taken = 0;
  if (source->fd < 0) {
    if (wanted > 0) std::memcpy(destination, source->data + source->position, wanted);
    taken = wanted;
  }
  while (source->fd >= 0 && taken < wanted) {
    const ssize_t n = ::pread(source->fd, static_cast<char*>(destination) + taken,
                              static_cast<std::size_t>(wanted - taken), source->position + taken);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // an error, or the file shrank: libsndfile sees a short read
    taken += n;
  }
  source->position += taken;
  return taken;
}

sf_count_t source_write(const void* /*data*/, sf_count_t /*count*/, void* /*user*/) {
  return 0;
}

sf_count_t source_tell(void* user) {
  return static_cast<AudioInput::Source*>(user)->position;
}

// Copies all that `fd` gives (a pipe, a terminal) into an unnamed temporary file, so that the
// recording can be read as often as needed; an interrupt leaves nothing behind. Returns the
// copy's descriptor, or -1 with a message.
int spool(int fd, std::string* error) {
  const char* folder = std::getenv("TMPDIR");
  if (folder == nullptr || *folder == '\0') folder = "/tmp";
  int copy = ::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (copy < 0) {
    // Without O_TMPFILE: a private name, unlinked at once.
    std::string name = std::string(folder) + "/mzfscan-XXXXXX";
    copy = ::mkostemp(name.data(), O_CLOEXEC);
    if (copy >= 0) ::unlink(name.c_str());
  }
  if (copy < 0) {
    *error =
        std::string("cannot keep a copy of the input in ") + folder + ": " + std::strerror(errno);
    return -1;
  }
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("read error: ") + std::strerror(errno);
      break;
    }
    if (n == 0) return copy;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(copy, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        *error = std::string("cannot keep a copy of the input in ") + folder + ": " +
                 std::strerror(w < 0 ? errno : ENOSPC);
        ::close(copy);
        return -1;
      }
      done += w;
    }
  }
  ::close(copy);
  return -1;
}

// What libsndfile's log says of the sound data's declared length.
enum class Declared { AS_PRESENT, TRUNCATED, ENDLESS };

// libsndfile reads what is there when the sound data is shorter than the header declares, and
// says so only in its log ("data : N (should be M)"). A length of 2^32 - 1 or about 2^31 is what
// streams write when they cannot know the length: no end declared, not a cut-off file.
Declared declared_length(SNDFILE* file) {
  char log[4096] = {};
  sf_command(file, SFC_GET_LOG_INFO, log, sizeof log - 1);
  for (const char* line = log; *line != '\0';) {
    const char* end = std::strchr(line, '\n');
    const std::string text(line, end != nullptr ? end : line + std::strlen(line));
    if ((text.rfind("data", 0) == 0 || text.rfind("SSND", 0) == 0) &&
        text.find("(should be") != std::string::npos) {
      const std::size_t colon = text.find(':');
      const unsigned long long declared =
          colon == std::string::npos ? 0 : std::strtoull(text.c_str() + colon + 1, nullptr, 10);
      return declared >= 0x7FFFF000ULL ? Declared::ENDLESS : Declared::TRUNCATED;
    }
    if (end == nullptr) break;
    line = end + 1;
  }
  return Declared::AS_PRESENT;
}

}  // namespace

AudioInput::~AudioInput() {
  if (resampler_ != nullptr) soxr_delete(static_cast<soxr_t>(resampler_));
  if (file_ != nullptr) sf_close(sndfile(file_));
  if (source_.fd >= 0) ::close(source_.fd);
  delete[] buffer_;
  delete[] pcm16_;
  delete[] resampled_;
}

bool AudioInput::open_file(const std::string& path, bool resample, std::string* error) {
  const bool standard_input = path == "-";
  const int fd = standard_input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat status {};
  const bool known = ::fstat(fd, &status) == 0;
  if (!known || S_ISDIR(status.st_mode)) {
    *error = known ? std::strerror(EISDIR) : std::strerror(errno);
    if (!standard_input) ::close(fd);
    return false;
  }
  info_.device = status.st_dev;
  info_.inode = status.st_ino;
  source_.fd = fd;
  if (S_ISREG(status.st_mode)) {
    // A file of standard input is read through a descriptor of its own.
    if (standard_input) source_.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  } else {
    // A pipe can be read once only: the second reader needs it again.
    source_.fd = spool(fd, error);
    if (!standard_input) ::close(fd);
    if (source_.fd < 0) return false;
    info_.device = 0;
    info_.inode = 0;
  }
  if (source_.fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat copy {};
  if (::fstat(source_.fd, &copy) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  source_.size = copy.st_size;
  return open_source(resample, error);
}

bool AudioInput::open_memory(const std::uint8_t* data, std::size_t size, bool resample,
                             std::string* error) {
  source_ = Source{-1, data, static_cast<std::int64_t>(size), 0};
  return open_source(resample, error);
}

bool AudioInput::open_again(const AudioInput& first, bool resample, std::string* error) {
  source_ = first.source_;
  source_.position = 0;
  if (first.source_.fd >= 0) source_.fd = ::fcntl(first.source_.fd, F_DUPFD_CLOEXEC, 0);
  if (first.source_.fd >= 0 && source_.fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  info_.device = first.info_.device;
  info_.inode = first.info_.inode;
  return open_source(resample, error);
}

bool AudioInput::open_source(bool resample, std::string* error) {
  static SF_VIRTUAL_IO source_io{source_length, source_seek, source_read, source_write,
                                 source_tell};
  SF_INFO sf_info{};
  file_ = sf_open_virtual(&source_io, SFM_READ, &sf_info, &source_);
  if (file_ == nullptr) {
    *error = std::string("not a recording this program reads (") + sf_strerror(nullptr) + ")";
    return false;
  }
  sf_command(sndfile(file_), SFC_GET_CURRENT_SF_INFO, &sf_info, sizeof sf_info);
  info_.format = std::string(container_name(sf_info.format)) + " " + encoding_name(sf_info.format);
  info_.file_rate = sf_info.samplerate;
  info_.channels = sf_info.channels;
  info_.frames = sf_info.frames;
  const Declared declared = declared_length(sndfile(file_));
  truncated_ = declared == Declared::TRUNCATED;
  info_.endless = declared == Declared::ENDLESS;
  if (info_.channels < 1 || info_.channels > AUDIO_CHANNELS_MAX) {
    *error = std::to_string(info_.channels) + " channels; at most " +
             std::to_string(AUDIO_CHANNELS_MAX) + " are read";
    return false;
  }
  if (info_.file_rate < AUDIO_RATE_MIN || info_.file_rate > AUDIO_RATE_MAX) {
    *error = "sample rate " + std::to_string(info_.file_rate) + " Hz is outside " +
             std::to_string(AUDIO_RATE_MIN) + " to " + std::to_string(AUDIO_RATE_MAX) + " Hz";
    return false;
  }
  // Integer files come scaled to -1..1 exactly; float files as they are.
  sf_command(sndfile(file_), SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  const auto channels = static_cast<std::size_t>(info_.channels);
  buffer_ = new (std::nothrow) float[AUDIO_CHUNK_FRAMES * channels];
  // 16-bit PCM, the most common capture, is read as it is and scaled here: the same values
  // libsndfile's own conversion gives (x / 32768 is exact), at a fraction of its cost.
  if ((sf_info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) {
    pcm16_ = new (std::nothrow) std::int16_t[AUDIO_CHUNK_FRAMES * channels];
    if (pcm16_ == nullptr) buffer_ = nullptr;
  }
  if (buffer_ == nullptr) {
    *error = std::strerror(ENOMEM);
    return false;
  }
  info_.rate = info_.file_rate;
  if (!resample || info_.file_rate <= AUDIO_RESAMPLE_ABOVE) return true;

  info_.rate = AUDIO_READ_RATE;
  resampled_ = new (std::nothrow) float[RESAMPLED_FRAMES * channels];
  soxr_error_t failure = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, 0);
  resampler_ = soxr_create(info_.file_rate, info_.rate, channels, &failure, &io, &quality, nullptr);
  if (resampled_ == nullptr || resampler_ == nullptr || failure != nullptr) {
    *error = std::string("cannot resample: ") + (failure != nullptr ? failure : "out of memory");
    return false;
  }
  return true;
}

std::size_t AudioInput::read_file_chunk() {
  constexpr float PCM16_SCALE = 1.0F / 32768;
  sf_count_t count = 0;
  if (pcm16_ != nullptr) {
    count = sf_readf_short(sndfile(file_), pcm16_, static_cast<sf_count_t>(AUDIO_CHUNK_FRAMES));
    const std::size_t values =
        count > 0 ? static_cast<std::size_t>(count) * static_cast<std::size_t>(info_.channels) : 0;
    for (std::size_t i = 0; i < values; ++i)
      buffer_[i] = static_cast<float>(pcm16_[i]) * PCM16_SCALE;
  } else {
    count = sf_readf_float(sndfile(file_), buffer_, static_cast<sf_count_t>(AUDIO_CHUNK_FRAMES));
  }
  if (count > 0) {
    file_frames_read_ += count;
    return static_cast<std::size_t>(count);
  }
  file_ended_ = true;
  if (sf_error(sndfile(file_)) != SF_ERR_NO_ERROR) {
    error_ = std::string("read error: ") + sf_strerror(sndfile(file_));
  } else if (truncated_) {
    error_ = "truncated: the file holds less sound than its header declares";
  } else if (!info_.endless && info_.frames > 0 && file_frames_read_ < info_.frames) {
    error_ = "truncated: " + std::to_string(info_.frames) + " frames declared, " +
             std::to_string(file_frames_read_) + " present";
  }
  return 0;
}

std::size_t AudioInput::read(const float** frames) {
  if (file_ == nullptr || (file_ended_ && resampler_ == nullptr)) return 0;
  if (resampler_ == nullptr) {
    *frames = buffer_;
    return read_file_chunk();
  }
  auto* resampler = static_cast<soxr_t>(resampler_);
  const auto channels = static_cast<std::size_t>(info_.channels);
  for (;;) {
    if (pending_ == 0 && !file_ended_) {
      pending_ = read_file_chunk();
      pending_at_ = 0;
    }
    std::size_t taken = 0, made = 0;
    if (pending_ > 0) {
      soxr_process(resampler, buffer_ + pending_at_ * channels, pending_, &taken, resampled_,
                   RESAMPLED_FRAMES, &made);
      pending_ -= taken;
      pending_at_ += taken;
    } else {
      if (flushed_) return 0;
      soxr_process(resampler, nullptr, 0, nullptr, resampled_, RESAMPLED_FRAMES, &made);
      if (made == 0) flushed_ = true;
    }
    if (made > 0) {
      *frames = resampled_;
      return made;
    }
    if (flushed_) return 0;
  }
}

void take_channel(const float* frames, std::size_t count, std::size_t channels, int channel,
                  float* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const float* frame = frames + i * channels;
    if (channel >= 0) {
      out[i] = frame[channel];
      continue;
    }
    float sum = 0;
    for (std::size_t c = 0; c < channels; ++c) sum += frame[c];
    out[i] = sum / static_cast<float>(channels);
  }
}

}  // namespace mzfscan
