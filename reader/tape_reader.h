// Reader for worn tapes: turns the samples of one channel into the programs on the tape, read
// with either polarity at once. Reads both copies of every header and body and trusts only
// what a block's own checksum verifies. Knows nothing of files or audio formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "format/tape_format.h"

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
  // A copy passed its own checksum, but the other copy, where it was read cleanly, disagrees
  // with it and the signal does not show which one was disturbed.
  VERDICT_CONFLICT = 4,
  VERDICT_TRUNCATED = 5,  // no copy verified, and the recording ends inside the block
  // No copy verified alone; the copies' soft readings together gave a block whose checksum holds
  // and that a wrong block could hardly have matched.
  VERDICT_JOINED = 6,
};

// What became of one copy of a block.
enum CopyOutcome : int {
  COPY_NOT_READ = 0,   // not found on the tape
  COPY_VERIFIED = 1,   // its checksum held and the other copy bears it out
  COPY_CONFLICT = 2,   // its checksum held, but the other copy disagrees with it
  COPY_CHECKSUM = 3,   // read to its end, but its checksum failed
  COPY_BROKEN = 4,     // its byte framing was lost before its end
  COPY_TRUNCATED = 5,  // the recording ends inside it
  // Its checksum held, but its signal was disturbed (a dip, a mute, a lost half) at a byte that
  // the other copy did not read alike: the checksum only counts 1 bits, and a disturbance that
  // turns a 1 into a 0 and a 0 into a 1 passes it.
  COPY_UNCONFIRMED = 6,
};

// One copy of a block as the report records it.
struct CopyRecord {
  int outcome = COPY_NOT_READ;  // a CopyOutcome
  double start_seconds = -1;    // where its first start pulse lies (-1: not read)
  double end_seconds = -1;      // where its last byte ended (or its framing broke)
  std::uint32_t bytes = 0;      // whole bytes read, checksum included
  // The first byte known to be wrong (it differs from the block as taken, or from the other
  // copy in a conflict) or where its framing broke; -1 when none is known.
  std::int64_t first_failing = -1;
  // Of a joined block: the stretches of bytes this copy read cleanly as they were taken.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> gave;
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
  int outcome;                                                // a CopyOutcome
  std::uint32_t bytes;                                        // whole bytes read
  std::int64_t first_failing;                                 // as CopyRecord::first_failing
  std::vector<std::pair<std::uint32_t, std::uint32_t>> gave;  // as CopyRecord::gave
};

// Room for the largest block on tape: its data, its checksum and one more byte read past a block
// whose length is not known.
inline constexpr std::size_t BLOCK_CAPACITY = mzf::BODY_AREA_SIZE;
// Words of a bitmap with one bit per byte of a block.
inline constexpr std::size_t SUSPECT_WORDS = (BLOCK_CAPACITY + 63) / 64;

// One copy of a block as read: its bytes, and where their reading was suspect (the signal
// disturbed by a dip or a mute, half pulses of very unequal length, a period far from both pulse
// lengths or close to the decision between them, a lost framing). A byte is suspect when its bit
// is set.
struct CopyView {
  const std::uint8_t* bytes;
  std::uint32_t count;  // whole bytes read
  bool attempted;       // reading began
  bool complete;        // every byte expected was read
  bool verified;        // complete and its own checksum matched
  const std::uint64_t* suspect;
  const std::uint64_t* disturbed;  // the bytes of those whose signal itself was disturbed
};

// A copy kept after the reading, for blocks that did not verify: what a second reader's result
// is compared with.
struct CopyEvidence {
  bool attempted = false, complete = false, verified = false;
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> suspect;    // SUSPECT_WORDS words when attempted
  std::vector<std::uint64_t> disturbed;  // as CopyView::disturbed
  double start_seconds = -1;             // where its first start pulse lies (-1: not read)
  CopyView view() const;
};

// True when a block with this BlockVerdict verified (from either copy).
bool verdict_verified(int verdict);

// True when bit `index` of the bitmap `bits` (one bit per byte of a block, or null) is set.
bool byte_marked(const std::uint64_t* bits, std::uint32_t index);

// True when byte `index` of the copy lies where its reading was suspect.
bool suspect_byte(const CopyView& copy, std::uint32_t index);
// True when byte `index` of the copy lies where its signal was disturbed: a weak half cycle or
// halves of very unequal length.
bool disturbed_byte(const CopyView& copy, std::uint32_t index);

// True when copy `x` is borne out by copy `y`, as far as `y` was read: wherever they differ, `y`
// was disturbed and `x` was not. One byte that differs with neither disturbed is let pass only
// when `y` is complete and fails its own checksum (an error of `y`'s explains both). A copy
// that was not read bears out anything.
bool copy_borne_out(const CopyView& x, const CopyView& y);

// The first byte of copy `x` whose signal was disturbed and that copy `y` did not read, or read
// otherwise; -1 when there is none.
std::int64_t first_unconfirmed(const CopyView& x, const CopyView& y);

// What the two copies of a block give.
struct BlockDecision {
  int verdict;  // a BlockVerdict
  int source;   // the copy the block is taken from (0 or 1), or -1 when none verified
};

// A copy is taken only when its own checksum holds, the other copy bears it out, and the other
// copy read alike every byte where its own signal was disturbed; the first before the second.
// Copies that pass their checksums but are not borne out conflict.
BlockDecision decide_block(const CopyView& first, const CopyView& second);

// A program found on the tape, ready to be saved.
struct ScannedProgram {
  double time_seconds;                    // where its header starts (its body, when it has none)
  std::uint8_t header[mzf::HEADER_SIZE];  // the record to save (patched when a loader relayed it)
  std::vector<std::uint8_t> body;         // the body to save, from the best copy
  int header_verdict;                     // a BlockVerdict
  int body_verdict;                       // a BlockVerdict
  bool relayed;                           // its header was relayed by a loader
  CopyRecord copies[2][2];                // each copy of the header [0] and the body [1]
  // Both copies of each block as read, kept only for a block that did not verify.
  CopyEvidence header_copies[2];
  CopyEvidence body_copies[2];
  // The soft readings of each copy of a block that did not verify (see soft_read_copy()), kept
  // when asked, for joining with other captures of the same tape.
  std::vector<float> soft[2][2];
};

// What one polarity's reading of a channel found.
struct TapeReading {
  std::vector<ScannedProgram> programs;  // in tape order; loaders are relayed, not listed
  std::vector<BlockCopy> copies;         // every block copy read, in tape order
  int verified_blocks;                   // block copies whose own checksum matched
  std::uint64_t histogram[HISTOGRAM_BINS];
  double short_us;       // learned short pulse length (0 when none was learned)
  double long_us;        // learned long pulse length (0 when none was learned)
  double threshold_us;   // the short/long decision
  double separation;     // how cleanly the pulses fall into short and long: higher is cleaner
  double speed_percent;  // tape speed against nominal: +5 is 5 % fast
};

// Signal level of a channel, for the report: full scale is 1.
struct SignalLevel {
  double peak;  // largest absolute sample
  double rms;   // root mean square
  double dc;    // mean
};

// Samples are taken in slices of this many into the scanner's own work buffer.
inline constexpr std::size_t SCAN_SLICE = 4096;
// The front end's smoothing filter averages at most this many samples.
inline constexpr int MAX_SMOOTHING_TAPS = 8;
// One copy of a block as read so far.
struct CopyBuffer {
  std::uint8_t bytes[BLOCK_CAPACITY];
  std::uint32_t count;                     // whole bytes read
  bool attempted;                          // reading began (after a tape mark or a repeat gap)
  bool complete;                           // every byte expected was read (framing held)
  bool verified;                           // complete and its own checksum matched
  double start_seconds;                    // where its first start pulse lies
  double end_seconds;                      // where its last byte ended (or its framing broke)
  bool cut_off;                            // the recording ended inside it
  std::uint64_t suspect[SUSPECT_WORDS];    // bytes whose reading was suspect
  std::uint64_t disturbed[SUSPECT_WORDS];  // of those, bytes whose signal was disturbed
};

// The block a reader is reading.
enum class BlockKind { NONE, HEADER, BODY };
// The second copy a reader awaits after a first.
enum class Awaited { NOTHING, HEADER_COPY, BODY_COPY };

// The reading with one polarity: period classification, block framing and the program being
// assembled. The reader's own fields; callers use TapeReading only.
struct PolarityReader {
  TapeReading reading;
  // Period measurement, in samples (fractional) and microseconds.
  double last_crossing;  // time of the previous crossing of this direction, in samples
  bool has_crossing;
  double glitch_us;  // a too-short period held back to be joined to the next one
  bool disturbed;    // the front end saw the period's signal disturbed
  // Classification: learned from gaps, then both cluster means tracked.
  bool learned;
  double short_mean, long_mean, threshold;
  bool following;  // since a gap's end, every period has fitted a cluster and moved it
  // Steady run (a gap in the making).
  double run_mean;
  int run_count;
  double jitter_us;  // one sample: added to the steadiness tolerance
  // Run lengths of long and short periods, for the tape marks.
  int long_run, short_run, prev_long_run;
  double long_run_start, prev_long_run_start;  // seconds
  // Block reading.
  BlockKind block;           // the block being read, if any
  int copy;                  // 1 or 2
  bool speculative;          // started by a repeat gap: may turn out to be a tape mark
  bool extent_length;        // length unknown: read until the framing breaks
  std::uint32_t block_size;  // bytes expected, checksum included
  int bit_index;             // 0: a start pulse is due; 1 to 8: bits received
  std::uint8_t current;
  Awaited expect;  // the second copy awaited, if any
  // The program being assembled.
  bool open;         // a program has begun (a header or a body mark was seen)
  bool header_seen;  // its header mark was seen
  bool body_seen;    // its body mark was seen
  double time_seconds;
  CopyBuffer header_copy[2];
  CopyBuffer body_copy[2];
  bool relayed;        // this program's header was relayed by a loader
  bool relay_pending;  // a loader's body relayed a header for the next body
  int relay_verdict;   // the relayed header's BlockVerdict
  std::uint8_t relay_header[mzf::HEADER_SIZE];
  std::int64_t copy_record[2][2];  // where each copy (header, body) sits in reading.copies
  // Statistics for the report.
  double short_sum, long_sum;
  std::uint64_t short_count, long_count;
  std::uint64_t block_periods, ambiguous_periods;
};

// Caller-owned state of one channel's reader, both polarities. Large (block buffers): allocate
// it once per channel. Its fields are the reader's own.
struct ChannelReader {
  double sample_rate;
  double us_per_sample;
  int taps;  // samples averaged by the smoothing filter
  // Level of the raw samples.
  double level_sum, level_squares;
  float level_peak;
  std::uint64_t sample_count;
  // Front end: smoothing, then a comparator with hysteresis around the tracked mid level.
  float history[MAX_SMOOTHING_TAPS];  // the last samples of the previous slice
  float previous;                     // the previous smoothed value
  bool high;                          // the comparator's state
  float high_level, low_level;        // tracked extremes of the two half cycles
  float cycle_max, cycle_min;         // extremes of the current half cycle
  float upper, lower;                 // the comparator's thresholds
  float min_hysteresis;
  std::int64_t last_crossing_index;  // sample index of the last crossing either way
  std::int64_t silence_limit;        // samples without a crossing before the levels relax
  std::int64_t holdoff;              // samples after a crossing in which none can follow
  std::int64_t quiet_until;          // no crossing is looked for up to this sample index
  double last_crossing_time;         // of the last crossing either way, in samples
  double half_us;                    // length of the half cycle before the last crossing
  bool half_weak;                    // that half cycle fell well short of the tracked level
  float slice[SCAN_SLICE + MAX_SMOOTHING_TAPS];  // history, then the slice's own samples
  float smoothed[SCAN_SLICE];                    // the slice after the moving average
  PolarityReader readers[2];                     // by Polarity
};

// Starts a reading of a channel sampled at `sample_rate` samples per second.
void channel_reader_init(ChannelReader& scanner, double sample_rate);

// Takes the next `count` samples of the channel, full scale -1 to 1, each `stride` floats
// after the one before (the channel's samples inside interleaved frames).
void channel_reader_feed(ChannelReader& scanner, const float* samples, std::size_t count,
                         std::size_t stride);

// The recording has ended: settles what can be settled (a block cut off is damaged).
void channel_reader_finish(ChannelReader& scanner);

// What the reading with `polarity` found; complete after channel_reader_finish().
const TapeReading& channel_reader_reading(const ChannelReader& scanner, Polarity polarity);

// The channel's level over everything fed so far.
SignalLevel channel_reader_level(const ChannelReader& scanner);

// Of the pulses a reading saw: how many, and how many lie within a quarter of the format's
// short and of its long pulse length.
struct PulseShares {
  std::uint64_t total, short_like, long_like;
};
PulseShares pulse_shares(const TapeReading& t);

// A body whose copies verified at a length other than its verified header gives is damaged: a
// body read before its header was known verifies at any length where it holds only zeros.
void check_body_length(ScannedProgram& p);

// True when reading `a` should be preferred to `b`, of the same channel: more verified block
// copies, then pulse lengths that separate more cleanly into short and long.
bool better_reading(const TapeReading& a, const TapeReading& b);

// The same for readings of different channels, where first, when neither verified a block, the
// one whose pulse lengths are clearly more like the format's is preferred. (Not between
// polarities: at a speed far from the nominal one they differ there by chance.)
bool better_channel_reading(const TapeReading& a, const TapeReading& b);

}  // namespace mzfscan
