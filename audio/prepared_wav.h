// The prepared recording: one channel of a recording as 8-bit unsigned mono WAV with every pulse
// starting on its falling edge, its level normalised without dither, at a rate the classic
// converter reads (the recording's own from 22050 to 96000 Hz, else 44100 Hz via libsoxr).
#pragma once

#include <string>

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

// Reads the recording at `input_path` again and writes the prepared recording to `output_path`.
// Returns false with a message naming the file concerned in `*error`.
bool write_prepared_wav(const std::string& input_path, const std::string& output_path,
                        const PreparedSignal& signal, std::string* error);

}  // namespace mzfscan
