#include "audio/audio_input.h"

#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

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
    default: return "compressed";
  }
}

// libsndfile's view of a recording held in memory.
sf_count_t memory_length(void* user) {
  return static_cast<AudioInput::Memory*>(user)->size;
}

sf_count_t memory_seek(sf_count_t offset, int whence, void* user) {
  auto* memory = static_cast<AudioInput::Memory*>(user);
  sf_count_t base = 0;
  if (whence == SEEK_CUR) base = memory->position;
  if (whence == SEEK_END) base = memory->size;
  if (offset > memory->size - base || offset < -base) return -1;
  memory->position = base + offset;
  return memory->position;
}

sf_count_t memory_read(void* destination, sf_count_t count, void* user) {
  auto* memory = static_cast<AudioInput::Memory*>(user);
  const sf_count_t available = memory->size - memory->position;
  const sf_count_t taken = std::max<sf_count_t>(0, std::min(count, available));
  if (taken > 0) std::memcpy(destination, memory->data + memory->position, taken);
  memory->position += taken;
  return taken;
}

sf_count_t memory_write(const void* /*source*/, sf_count_t /*count*/, void* /*user*/) {
  return 0;
}

sf_count_t memory_tell(void* user) {
  return static_cast<AudioInput::Memory*>(user)->position;
}

// True when libsndfile found the sound data shorter than the file's header declares: it then
// reads what is there, and says so only in its log ("data : N (should be M)").
bool log_reports_truncation(SNDFILE* file) {
  char log[4096] = {};
  sf_command(file, SFC_GET_LOG_INFO, log, sizeof log - 1);
  for (const char* line = log; *line != '\0';) {
    const char* end = std::strchr(line, '\n');
    const std::string text(line, end != nullptr ? end : line + std::strlen(line));
    if ((text.rfind("data", 0) == 0 || text.rfind("SSND", 0) == 0) &&
        text.find("(should be") != std::string::npos) {
      return true;
    }
    if (end == nullptr) break;
    line = end + 1;
  }
  return false;
}

}  // namespace

AudioInput::~AudioInput() {
  if (resampler_ != nullptr) soxr_delete(static_cast<soxr_t>(resampler_));
  if (file_ != nullptr) sf_close(sndfile(file_));
  delete[] buffer_;
  delete[] pcm16_;
  delete[] resampled_;
}

bool AudioInput::open_file(const std::string& path, bool resample, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    *error = S_ISDIR(status.st_mode) ? std::strerror(EISDIR) : std::strerror(errno);
    ::close(fd);
    return false;
  }
  info_.device = status.st_dev;
  info_.inode = status.st_ino;
  SF_INFO sf_info{};
  file_ = sf_open_fd(fd, SFM_READ, &sf_info, SF_TRUE);
  if (file_ == nullptr) {
    *error = std::string("not a recording this program reads (") + sf_strerror(nullptr) + ")";
    return false;
  }
  return finish_open(resample, error);
}

bool AudioInput::open_memory(const std::uint8_t* data, std::size_t size, bool resample,
                             std::string* error) {
  memory_ = Memory{data, static_cast<std::int64_t>(size), 0};
  static SF_VIRTUAL_IO io{memory_length, memory_seek, memory_read, memory_write, memory_tell};
  SF_INFO sf_info{};
  file_ = sf_open_virtual(&io, SFM_READ, &sf_info, &memory_);
  if (file_ == nullptr) {
    *error = std::string("not a recording this program reads (") + sf_strerror(nullptr) + ")";
    return false;
  }
  return finish_open(resample, error);
}

bool AudioInput::finish_open(bool resample, std::string* error) {
  SF_INFO sf_info{};
  sf_command(sndfile(file_), SFC_GET_CURRENT_SF_INFO, &sf_info, sizeof sf_info);
  info_.format = std::string(container_name(sf_info.format)) + " " + encoding_name(sf_info.format);
  info_.file_rate = sf_info.samplerate;
  info_.channels = sf_info.channels;
  info_.frames = sf_info.frames;
  truncated_ = log_reports_truncation(sndfile(file_));
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
  } else if (info_.frames > 0 && file_frames_read_ < info_.frames) {
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
