// The prepared recording: one channel of a recording as 8-bit unsigned mono samples with every
// pulse starting on its falling edge, its level normalised without dither, at a rate mzfextract
// reads (the recording's own from 22050 to 96000 Hz, else 44100 Hz via libsoxr). It is
// streamed to the second reader and written as a WAV file for mzfextract (--wav), the same bytes
// both ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio_input.h"
#include "output/whole_file.h"

namespace mzfscan {

// How the tape signal is taken from the recording; known after a scan.
struct PreparedSignal {
  int channel = 0;      // 0-based channel, or -1 for the average of all channels
  bool invert = false;  // true when the pulses start on their rising edge
  double dc = 0;        // the signal's mean, removed
  double peak = 0;      // its largest absolute sample, before removing the mean
};

// The rate the prepared recording of a recording at `file_rate` gets.
int prepared_rate(int file_rate);

// The prepared samples of a recording, chunk by chunk. Not copyable; frees what it holds when it
// goes.
class PreparedStream {
 public:
  PreparedStream() = default;
  ~PreparedStream();
  PreparedStream(const PreparedStream&) = delete;
  PreparedStream& operator=(const PreparedStream&) = delete;

  // Starts preparing `input`, opened at the file's own rate (without resampling), which must
  // outlive the stream. Returns false with a message (without a path) in `*error`.
  bool open(AudioInput& input, const PreparedSignal& signal, std::string* error);

  int rate() const { return rate_; }

  // The next prepared samples: `*bytes` points at them, valid until the next call. Returns their
  // number, 0 at the end or when the input failed (then input.error() is not empty).
  std::size_t read(const std::uint8_t** bytes);

 private:
  std::size_t quantise(const float* samples, std::size_t count);

  AudioInput* input_ = nullptr;
  void* resampler_ = nullptr;  // soxr_t, when the rate changes
  PreparedSignal signal_;
  double gain_ = 0;
  int rate_ = 0;
  bool input_ended_ = false;
  std::vector<float> mono_, resampled_;
  std::vector<std::uint8_t> bytes_;
};

// How an output is put in place: whether it may replace an existing name, and the files it must
// never replace (the run's recordings and what it has written).
struct OutputRules {
  bool replace = false;
  const wholefile::Identity* keep = nullptr;
  std::size_t keep_count = 0;
};

// The directory part of `path` ("." when none) and its file name.
void split_path(const std::string& path, std::string* directory, std::string* name);

// Reads the recording `recording` holds (named `input_path` in messages) again from its start
// and writes the prepared recording to `output_path` as an 8-bit unsigned mono WAV file, a whole
// file (see output/whole_file.h) put in place as `rules` say; `*placed` gets its identity.
// Returns false with a message naming the file concerned in `*error`.
bool write_prepared_wav(const AudioInput& recording, const std::string& input_path,
                        const std::string& output_path, const PreparedSignal& signal,
                        const OutputRules& rules, wholefile::Identity* placed, std::string* error);

// Writes `text` to `path` as a whole file put in place as `rules` say. Returns false with the
// reason (without the path) in `*error`.
bool write_whole_text(const std::string& path, const std::string& text, const OutputRules& rules,
                      wholefile::Identity* placed, std::string* error);

// The reason an output was not put in place, from the error number place() gave.
std::string placing_error(int error);

}  // namespace mzfscan
