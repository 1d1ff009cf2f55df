// A run of mzfscan: reads each recording once through a tape reader per candidate channel and
// polarity, picks the best reading, saves its programs, and reports. Owns statuses and messages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_input.h"
#include "audio/prepared_wav.h"
#include "mzf/mzf_output.h"
#include "reader/tape_reader.h"
#include "report/report.h"

namespace mzfscan {

// Exit statuses.
inline constexpr int STATUS_OK = 0;         // every program found was saved verified
inline constexpr int STATUS_FAILED = 1;     // a recording or a file could not be read or written
inline constexpr int STATUS_USAGE = 2;      // the command line is wrong
inline constexpr int STATUS_NOT_SAVED = 3;  // a program is damaged, or nothing was found

// Which channel is read: every one (the best wins), their average, or one of them (0-based).
inline constexpr int CHANNEL_AUTO = -2;
inline constexpr int CHANNEL_MIX = -1;
// Which polarity is read: both (the best wins) or one Polarity.
inline constexpr int POLARITY_AUTO = -1;

// Progress of a long reading, shown on a terminal: one line, rewritten in place.
struct Progress {
  std::FILE* out = nullptr;  // where it is shown; null: never
  double after_seconds = 2;  // shown once a recording takes longer than this to read
  std::string label;         // the recording, as messages name it
  double total_seconds = 0;  // the recording's length, when its file declares one
  std::int64_t started = 0;  // monotonic clock at the start, in nanoseconds
  std::int64_t last = 0;     // when it was last shown (0: not yet)
};

// Starts showing the progress of reading `label`, `total_seconds` long (0: unknown).
void progress_start(Progress& progress, const std::string& label, double total_seconds);
// True when the progress is to be shown again now.
bool progress_due(const Progress& progress);
// The reading (`what`: "reading" or "second reading") is at `seconds`, with `programs` found.
// Shown at most a few times a second, and only once the reading has taken long enough.
void progress_show(Progress& progress, const char* what, double seconds, std::size_t programs);
// Clears the line shown, if any.
void progress_end(Progress& progress);

struct ScanSettings {
  int channel = CHANNEL_AUTO;
  int polarity = POLARITY_AUTO;
  std::int64_t max_frames = -1;  // stop after this many frames (negative: read everything)
  Progress* progress = nullptr;  // where progress goes, when shown
  // Worker threads: 1 reads everything on the calling thread alone; 0 one per core (see
  // thread_count()). More than 1 also starts a thread that decodes behind the reading.
  unsigned threads = 0;
};

// The threads a reading uses when `threads` are asked for (0: one per core, at least two, so that
// reading and decoding overlap even where the cores are not known).
unsigned thread_count(unsigned threads);

// A channel being read, both polarities.
struct Candidate {
  int channel;  // 0-based, or CHANNEL_MIX
  std::unique_ptr<ChannelReader> scanner;
};

// The readings of one recording and the one chosen.
struct ScanResult {
  std::vector<Candidate> candidates;
  std::size_t chosen = 0;  // index into candidates
  Polarity polarity = POLARITY_FALLING;
  std::int64_t frames = 0;  // frames read, at the input's rate
  int rate = 0;             // the input's rate (after any resampling)
  // The programs to report and save: the chosen reading's, with what the second reader added.
  std::vector<ScannedProgram> programs;
  // With the channels mixed: each channel's own RMS level, to tell channels that cancel.
  std::vector<double> channel_rms;
  // Hum: the RMS of what lies below about 150 Hz against the whole signal's RMS, measured by the
  // second reader (-1 when it did not run).
  double hum = -1;
  const TapeReading& reading() const;
  SignalLevel level() const;
};

// Reads all of `input` through the candidates of `settings` in one pass and chooses the best
// reading: more verified blocks, then cleaner pulses, then the first channel, falling before
// rising. Returns false with a message when the channel asked for does not exist or memory
// runs out; a read error stops the reading (see input.error()) but still chooses.
bool scan_audio(AudioInput& input, const ScanSettings& settings, ScanResult* result,
                std::string* error);

// True when the first reading left a program unverified or found none: then the second reader
// reads the recording again.
bool second_reading_wanted(const ScanResult& result);

// The second reader: reads `input` (the recording opened again, at its own rate) prepared as
// --wav prepares it, through the exact converter core, as far as the first reading went, and
// takes what it verifies into result->programs where the first reading's copies bear it out
// (see adopt_exact_reading()). Returns false with a message when reading fails.
// With `keep_soft`, the soft readings of blocks it leaves unverified stay with their programs
// (ScannedProgram::soft), for joining with other captures of the same tape.
// With `threads` above 1 (see thread_count()), its chains are decoded behind the exact reading on
// a second thread and body copies read on worker threads; the results are the same.
bool read_again_exactly(AudioInput& input, ScanResult* result, std::string* error,
                        Progress* progress = nullptr, bool keep_soft = false, unsigned threads = 0);

// The signal the chosen reading read, as the prepared recording takes it.
PreparedSignal prepared_signal(const ScanResult& result);

// The report of one program, without its file.
ProgramReport program_report(const ScannedProgram& scanned);
// The report of a scanned recording, with its diagnosis, without files (those come from
// save_programs()).
RecordingReport describe_recording(const std::string& path, const AudioInput& input,
                                   const ScanResult& result);

// How saving goes: into `writer`'s directory, shown as `directory_label`.
struct SaveSettings {
  bool keep_damaged = false;
  std::string directory_label;  // prefix of file names in messages ("" or "DIR/")
  // When set: the files never to replace (see mzf_writer_whole_files()), which every file saved
  // joins, the writer kept pointing at them.
  std::vector<mzf::FileIdentity>* keep = nullptr;
};

// The name of a file in `directory_fd` that holds exactly the program `program` would be saved
// as under `name`: that name, or (with `any_number`) another with the same name part and another
// number; empty when there is none.
std::string already_saved(int directory_fd, const mzf::MzfName& name, const ScannedProgram& program,
                          bool any_number);

// Numbers every program of the chosen reading, saves the verified ones (and with keep_damaged
// the others under ".DAMAGED.MZF" names), fills the report's file names and returns the status
// it implies. Write failures and name clashes go to `errors`, naming the file.
int save_programs(const ScanResult& result, mzf::MzfWriter& writer, const SaveSettings& settings,
                  RecordingReport* report, std::FILE* errors);

// What may have kept the recording's programs from being read, a finding a line, the last one
// what to try; empty when nothing was amiss (programs found, and neither hum nor channels that
// cancel).
std::vector<std::string> diagnose(const ScanResult& result);

// The diagnosis of `path` (the findings diagnose() gave) as a message for standard error; empty
// when there is none.
std::string diagnosis_message(const std::string& path, const ScanResult& result,
                              const std::vector<std::string>& findings);

// The command line of a run.
struct RunOptions {
  std::vector<std::string> recordings;
  std::string output_directory;  // empty: the current directory
  bool json = false;
  int channel = CHANNEL_AUTO;
  int polarity = POLARITY_AUTO;
  bool keep_damaged = false;
  bool force = false;
  std::string wav_path;   // empty: none
  std::string plot_path;  // empty: none
  bool progress = false;  // show progress on standard error (a terminal)
  // The recordings are captures of one tape: their programs are matched by header, each saved
  // once, its body joined from every copy of every capture when none verified it.
  bool same_tape = false;
  double progress_after_seconds = 2;
  unsigned threads = 0;  // see ScanSettings::threads
};

// Runs mzfscan: the report to `out`, messages to `errors`. Returns the exit status.
int run_scan(const RunOptions& options, std::FILE* out, std::FILE* errors);

}  // namespace mzfscan
