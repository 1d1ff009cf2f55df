// Reader for worn tapes: turns the samples of one channel into the programs on the tape, read
// with either polarity at once. Reads both copies of every header and body and trusts only
// what a block's own checksum verifies. Knows nothing of files or audio formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mzfscan {

// How the first pulse edge of the recording is taken: falling (the usual capture) or rising
// (as the machine writes it).
enum Polarity : int {
  POLARITY_FALLING = 0,
  POLARITY_RISING = 1,
};

// What came of one block (header or body) of a program.
enum BlockVerdict : int {
  VERDICT_OK = 0,       // the first copy verified
  VERDICT_COPY = 1,     // the first copy failed, the second verified
  VERDICT_DAMAGED = 2,  // read, but no copy verified
  VERDICT_MISSING = 3,  // not found on the tape
};

// Pulse lengths seen, in microseconds, in bins of HISTOGRAM_BIN_US.
inline constexpr int HISTOGRAM_BINS = 250;
inline constexpr double HISTOGRAM_BIN_US = 10.0;

// One copy of one block, for a timeline of the tape.
struct BlockCopy {
  bool is_header;
  int copy;  // 1 or 2
  double start_seconds;
  double end_seconds;
  bool verified;
};

// A program found on the tape, ready to be saved.
struct ScannedProgram {
  double time_seconds;              // where its header starts (its body, when it has none)
  std::uint8_t header[128];         // the record to save (patched when a loader relayed it)
  std::vector<std::uint8_t> body;   // the body to save, from the best copy
  int header_verdict;               // a BlockVerdict
  int body_verdict;                 // a BlockVerdict
};

// What one polarity's reading of a channel found.
struct TapeReading {
  std::vector<ScannedProgram> programs;  // in tape order; loaders are relayed, not listed
  std::vector<BlockCopy> copies;         // every block copy read, in tape order
  int verified_blocks;                   // block copies whose own checksum matched
  std::uint64_t histogram[HISTOGRAM_BINS];
  double short_us;      // learned short pulse length (0 when none was learned)
  double long_us;       // learned long pulse length (0 when none was learned)
  double threshold_us;  // the short/long decision
  double separation;    // how cleanly the pulses fall into short and long: higher is cleaner
  double speed_percent; // tape speed against nominal: +5 is 5 % fast
};

// Signal level of a channel, for the report: full scale is 1.
struct SignalLevel {
  double peak;  // largest absolute sample
  double rms;   // root mean square
  double dc;    // mean
};

// Caller-owned state of one channel's reader, both polarities. Large (block buffers): allocate
// it once per channel. Its fields are the reader's own.
struct ChannelScanner;  // defined below by the reader

// Starts a reading of a channel sampled at `sample_rate` samples per second.
void channel_scanner_init(ChannelScanner& scanner, double sample_rate);

// Takes the next `count` samples of the channel, full scale -1 to 1, each `stride` floats
// after the one before (the channel's samples inside interleaved frames).
void channel_scanner_feed(ChannelScanner& scanner, const float* samples, std::size_t count,
                          std::size_t stride);

// The recording has ended: settles what can be settled (a block cut off is damaged).
void channel_scanner_finish(ChannelScanner& scanner);

// What the reading with `polarity` found; complete after channel_scanner_finish().
const TapeReading& channel_scanner_reading(const ChannelScanner& scanner, Polarity polarity);

// The channel's level over everything fed so far.
SignalLevel channel_scanner_level(const ChannelScanner& scanner);

// True when reading `a` should be preferred to `b`: more verified block copies, then pulse
// lengths that separate more cleanly into short and long.
bool better_reading(const TapeReading& a, const TapeReading& b);

}  // namespace mzfscan
