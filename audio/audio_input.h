// Audio input for mzfscan: streams any recording libsndfile reads (WAV, RF64, AIFF, FLAC, Ogg,
// MP3 and more, any channel count) as chunks of interleaved float frames, bringing rates above
// what the tape reader needs down with libsoxr. Files, standard input, pipes and memory all reach
// libsndfile through one byte source; what cannot be read twice (a pipe) is first copied to an
// unnamed temporary file. One buffer is allocated when a recording is opened.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace mzfscan {

// Frames handed out per read (at most).
inline constexpr std::size_t AUDIO_CHUNK_FRAMES = 4096;
// Sample rates accepted; recordings above AUDIO_RESAMPLE_ABOVE are resampled to AUDIO_READ_RATE.
inline constexpr int AUDIO_RATE_MIN = 8000;
inline constexpr int AUDIO_RATE_MAX = 768000;
inline constexpr int AUDIO_RESAMPLE_ABOVE = 96000;
inline constexpr int AUDIO_READ_RATE = 48000;
// Channels accepted in one recording.
inline constexpr int AUDIO_CHANNELS_MAX = 64;

// What a recording holds, as its file says.
struct AudioInfo {
  std::string format;  // such as "WAV 16-bit" or "FLAC 24-bit"
  int file_rate = 0;   // the file's own sample rate
  int rate = 0;        // the rate of the frames handed out (file_rate unless resampled)
  int channels = 0;
  std::int64_t frames = 0;  // frames at file_rate the file declares
  bool endless = false;     // the header declares no end (as a stream's does): read to the end
  dev_t device = 0;         // identity of the file read (zero when read from memory)
  ino_t inode = 0;
};

// A recording open for reading. Not copyable; closes everything it opened when it goes.
class AudioInput {
 public:
  AudioInput() = default;
  ~AudioInput();
  AudioInput(const AudioInput&) = delete;
  AudioInput& operator=(const AudioInput&) = delete;

  // Opens the recording at `path` ("-": standard input). With `resample` false the frames come
  // at the file's own rate. Returns false with a message (without the path) in `*error`.
  bool open_file(const std::string& path, bool resample, std::string* error);
  // The same over a recording held in memory; `data` must outlive the reading.
  bool open_memory(const std::uint8_t* data, std::size_t size, bool resample, std::string* error);
  // Opens the recording `first` holds once more, from its start (even when it came from a pipe).
  bool open_again(const AudioInput& first, bool resample, std::string* error);

  const AudioInfo& info() const { return info_; }

  // Reads the next chunk: `*frames` points at up to AUDIO_CHUNK_FRAMES interleaved frames of
  // info().channels floats (full scale -1 to 1), valid until the next call. Returns the number of
  // frames, 0 at the end or on an error (then error() is not empty).
  std::size_t read(const float** frames);

  // Empty, or why reading stopped early (a read error, or a file shorter than it declares).
  const std::string& error() const { return error_; }

  // Frames of the file read so far, at the file's own rate.
  std::int64_t file_frames_read() const { return file_frames_read_; }

  // The bytes libsndfile reads: a file descriptor (read with pread(), so that two inputs may
  // share it) or a recording in memory.
  struct Source {
    int fd = -1;  // owned; -1 when reading memory
    const std::uint8_t* data = nullptr;
    std::int64_t size = 0;
    std::int64_t position = 0;
  };

 private:
  bool open_source(bool resample, std::string* error);
  std::size_t read_file_chunk();

  void* file_ = nullptr;       // SNDFILE*
  void* resampler_ = nullptr;  // soxr_t
  AudioInfo info_;
  Source source_;
  float* buffer_ = nullptr;        // file frames
  std::int16_t* pcm16_ = nullptr;  // 16-bit files: their samples as read, before conversion
  float* resampled_ = nullptr;     // resampler output
  std::size_t pending_ = 0;        // file frames in buffer_ not yet taken by the resampler
  std::size_t pending_at_ = 0;
  bool file_ended_ = false;
  bool flushed_ = false;
  bool truncated_ = false;  // the header declares more than the file holds
  std::int64_t file_frames_read_ = 0;
  std::string error_;
};

// Copies channel `channel` (0-based) of `count` interleaved frames of `channels` samples into
// `out`; a negative `channel` gives the average of all channels.
void take_channel(const float* frames, std::size_t count, std::size_t channels, int channel,
                  float* out);

}  // namespace mzfscan
