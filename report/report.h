// mzfscan's report: what was found on each recording, as a table for people, as JSON for
// programs, and as an SVG picture (pulse length histogram and block timeline).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "reader/tape_reader.h"

namespace mzfscan {

// Why a program found was not saved.
enum class NotSaved {
  NO,            // it was saved, or was there already
  NOT_VERIFIED,  // a block did not verify (and --keep-damaged was not given)
  CLASH,         // another file has its name
  WRITE_FAILED,  // the file could not be written
};

// One program found, and what became of it. (Its implicit copy copies the arrays of copy records
// in loops whose variables clang names __i0 and __i1.)
struct ProgramReport {                      // NOLINT(bugprone-reserved-identifier)
  double time_seconds = 0;                  // where its header starts
  std::uint8_t header[mzf::HEADER_SIZE]{};  // its header record as saved
  int header_verdict = VERDICT_MISSING;
  int body_verdict = VERDICT_MISSING;
  std::uint32_t body_size = 0;  // body bytes read
  CopyRecord copies[2][2];      // each copy of the header [0] and the body [1]
  std::string file;             // the file written, empty when none
  bool already = false;         // `file` was in the folder already, the same bytes
  std::string sha256;           // of the file's bytes, in hex; empty when none was saved
  NotSaved not_saved = NotSaved::NO;
  std::string save_error;  // with WRITE_FAILED: why
};

// What the picture of a recording needs from its reading.
struct PlotData {
  std::uint64_t histogram[HISTOGRAM_BINS]{};
  double threshold_us = 0;
  std::vector<BlockCopy> copies;
};

// One recording given.
struct RecordingReport {
  std::string path;
  std::string error;    // why it could not be read (wholly or to its end); empty when it was
  bool opened = false;  // the fields below were read from it
  std::string format;   // such as "WAV 16-bit"
  int sample_rate = 0;  // the file's own rate
  int channels = 0;
  double seconds = 0;    // length read
  int channel_used = 1;  // 1-based, 0 for the average of all channels
  int polarity = POLARITY_FALLING;
  double speed_percent = 0;
  SignalLevel level{};  // of the channel used
  // What may have kept programs from being read (hum, silence, channels that cancel...), one
  // finding a line; empty when nothing was found amiss.
  std::vector<std::string> diagnosis;
  std::vector<ProgramReport> programs;
  PlotData plot;
};

// Of a run over captures of one tape (--same-tape): the tape's programs, each once.
struct TapeReport {
  std::vector<ProgramReport> programs;
  // Per program: the recordings it was read in (indices into the run's recordings) and, of a
  // body joined across them, per recording and copy, the bytes [from, to) it gave.
  std::vector<std::vector<std::size_t>> sources;
  std::vector<std::vector<std::array<std::vector<std::pair<std::uint32_t, std::uint32_t>>, 2>>>
      gave;
};

// Totals over a run.
struct Summary {
  int found = 0;       // programs found
  int verified = 0;    // saved with both blocks verified
  int from_copy = 0;   // of those, at least one block taken from its second copy
  int damaged = 0;     // a block not verified
  int unreadable = 0;  // recordings that could not be opened
};

// True when both blocks of the program verified (either copy).
bool program_verified(const ProgramReport& program);
Summary summarize(const std::vector<RecordingReport>& recordings);

// The program's name as a person reads it: the tape's lower-case codes as a to z, other
// printable ASCII as it is, anything else as '.', up to the end mark.
std::string readable_name(const std::uint8_t* header);
// Header byte 0 in hex with the usual abbreviation, such as "01 OBJ".
std::string type_name(std::uint8_t type);
// Seconds as minutes:seconds.milliseconds, such as "1:02.345".
std::string clock_time(double seconds);
// "ok", "copy", "damaged", "conflict", "truncated" or "missing".
const char* verdict_name(int verdict);
// "verified", "conflict", "unconfirmed", "checksum", "broken", "truncated" or "missing".
const char* copy_outcome_name(int outcome);
// The bytes in hex, two lower-case digits a byte.
std::string hex_text(const std::uint8_t* bytes, std::size_t count);
// The text with control characters and DEL shown as escapes ("\n", "\x1b"), so that a file
// name cannot split a line or reach the terminal as a command.
std::string shown(const std::string& text);
// A level as dBFS text, such as "-6.0 dBFS" ("-inf dBFS" for silence).
std::string dbfs_text(double level);

// The table of one recording: its header line, the column heads and a line per program.
std::string table_text(const RecordingReport& recording);
// The table of a tape's programs read from several recordings, each named after its recordings.
std::string tape_table_text(const TapeReport& tape, const std::vector<RecordingReport>& recordings);
// The summary line(s) closing the table.
std::string summary_text(const Summary& summary);
// The whole run as one JSON object; with `tape`, the tape's programs under "same_tape".
nlohmann::ordered_json report_json(const std::vector<RecordingReport>& recordings,
                                   const Summary& summary, const TapeReport* tape = nullptr);
// The picture of the run: for each recording, its histogram and its timeline.
std::string plot_svg(const std::vector<RecordingReport>& recordings);

}  // namespace mzfscan
