// The pulse-chain side of mzfscan's second reader: from the first reading it plans which stretches
// of the prepared recording hold the copies of blocks it did not verify, gathers their samples as
// the recording streams past and decodes each with the pulse-chain reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "reader/tape_reader.h"
#include "rescue/mark_finder.h"
#include "rescue/pulse_chain.h"
#include "soft/soft_reading.h"

namespace mzfscan {

// ChainRegion::program of a region added where another reader saw a copy begin, and of one that
// turned out to hold no copy of its program.
inline constexpr int ADDED = -1, ORPHANED = -2;

// The samples of one block copy, and what the chain made of them.
struct ChainRegion {
  int program = ADDED;            // the program it belongs to, or ADDED, or ORPHANED
  int block = 0;                  // 0: header, 1: body
  int copy = 0;                   // 0 or 1
  double copy_seconds = -1;       // where the first reading found the copy start (-1: not)
  std::int64_t from = 0, to = 0;  // its stretch of prepared samples
  std::size_t max_bytes = 0;      // bytes to decode at most
  bool size_known = false;        // the block is max_bytes long
  double short_period = 0;        // expected, in samples
  double long_period = 0;
  std::vector<std::uint8_t> samples;  // gathered so far, freed once decoded
  std::vector<std::uint8_t> bytes;    // decoded
  std::vector<std::uint64_t> weak;    // bytes where the chain had to guess (see decode_chain())
  std::vector<float> llr;  // its soft reading (see soft_read_copy()), when its size is known
  bool placed = false;     // read from where the first copy ended, not from here
  bool search = false;     // the copy's start is not known: found by its tape mark
  bool inverted = false;   // read with its samples inverted
  bool decoded = false;    // read, or being read apart (see ChainJob)
  std::uint64_t id = 0;    // given when it is read apart, to take its results back
};

// The reading of a body copy apart from the stream (on another thread): a copy of its region,
// its samples moved in, and what the reading knew of the block when it began. Its results come
// back in `region` and `second` (see chain_job_run()).
struct ChainJob {
  std::uint64_t id = 0;  // of the region
  ChainRegion region;
  ChainRegion second;  // the program's second copy of the block, when `has_second`
  bool has_second = false;
  std::size_t size = 0;  // the block's bytes (0: not known)
  double rate = 0;
  bool finished = false;  // for the executor: set once chain_job_run() has returned
};

// Reads the copy of `job` with the work spaces given (one set per thread at a time).
void chain_job_run(ChainJob& job, ChainWork& work, SoftWork& soft);

struct ChainReading {
  double rate = 0;                           // of the prepared samples
  double short_period = 0, long_period = 0;  // expected, in samples
  std::int64_t position = 0;                 // prepared samples fed so far
  std::vector<ChainRegion> regions;          // in the order of their stretches' starts
  std::vector<std::uint8_t> history;         // the last prepared samples, for copies added late
  ChainWork work;
  SoftWork soft;
  // Programs the first reading did not find are looked for by their header's tape mark (found
  // by a MarkFinder the caller feeds; see chain_reading_marks()). Their regions are numbered from
  // `planned` (the first reading's programs) on.
  int planned = 0;
  std::vector<double> found_seconds;  // per program found so: where its header's mark ends
  std::vector<double> known;          // where the first reading's programs have a mark, in seconds
  std::vector<double> body_hint;      // per program of the first reading: its body's first copy
  std::vector<ChainRegion> pending;   // regions planned while others were decoded, added after
  bool keep_soft = false;  // the soft readings of blocks left unverified go to their programs
  // Where body copies are read: in line as their stretches complete (when unset), or apart, by
  // `start`, which begins a job (on another thread), and `wait`, which returns once it has
  // finished. Jobs are taken back oldest first, and a program's before its header is read, so
  // that the result is the same either way.
  std::function<void(ChainJob&)> start, wait;
  std::deque<std::unique_ptr<ChainJob>> jobs;  // begun, not taken back
  std::uint64_t last_id = 0;
};

// Plans the stretches for the copies of every block of `programs` that did not verify, in
// prepared samples at `rate`; `speed_percent` is the tape speed the first reading measured.
// Header copies the first reading missed are looked for before their body by their tape mark,
// and programs it missed entirely by their header's tape mark as the samples stream past.
void chain_reading_plan(ChainReading& reading, const std::vector<ScannedProgram>& programs,
                        double rate, double speed_percent);

// Starts `marks`, the search for header tape marks that chain_reading_feed() takes, for the
// rate and pulse lengths of `reading` as planned.
void chain_reading_marks(const ChainReading& reading, MarkFinder& marks);

// Takes the next `count` prepared samples, and the ends of the `mark_count` header tape marks
// (`marks`, in prepared samples) a MarkFinder fed the same samples found in them. Decodes each
// copy as soon as its stretch is complete, so that only the copies in progress are held, and
// reads it softly when the block's size is known (a body's from its header, decided from the
// soft readings of the header's copies when the first reading did not verify it); then plans a
// search after each mark where the first reading found no program.
void chain_reading_feed(ChainReading& reading, const std::uint8_t* samples, std::size_t count,
                        const std::int64_t* marks, std::size_t mark_count);

// Prepared samples kept for chain_reading_add().
inline constexpr std::size_t CHAIN_HISTORY = 32768;

// Adds copy `copy` of a block that another reader saw begin at prepared sample `start` (within
// the last CHAIN_HISTORY samples), `size` bytes long with its checksum, unless the first reading
// of `programs` read a copy there or one is planned there already.
// `short_period` is the short pulse that reader measured, in samples (0: not known).
void chain_reading_add(ChainReading& reading, const std::vector<ScannedProgram>& programs,
                       int block, int copy, std::int64_t start, std::size_t size,
                       double short_period);

// The recording has ended: decodes the copies it ended inside, as far as they go, and takes back
// every job begun.
void chain_reading_finish(ChainReading& reading);

}  // namespace mzfscan
