// mzfscan's report: what was found on each recording, as a table for people, as JSON for
// programs, and as an SVG picture (pulse length histogram and block timeline).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scan/tape_scan.h"

namespace mzfscan {

// One program found, and what became of it.
struct ProgramReport {
  double time_seconds = 0;     // where its header starts
  std::uint8_t header[128]{};  // its header record as saved
  int header_verdict = VERDICT_MISSING;
  int body_verdict = VERDICT_MISSING;
  std::uint32_t body_size = 0;  // body bytes read
  std::string file;             // the file written, empty when none
  bool already = false;         // `file` was in the folder already, the same bytes
};

// What the picture of a recording needs from its reading.
struct PlotData {
  std::uint64_t histogram[HISTOGRAM_BINS]{};
  double threshold_us = 0;
  std::vector<BlockCopy> copies;
};

// One recording read.
struct RecordingReport {
  std::string path;
  std::string format;   // such as "WAV 16-bit"
  int sample_rate = 0;  // the file's own rate
  int channels = 0;
  double seconds = 0;    // length read
  int channel_used = 1;  // 1-based, 0 for the average of all channels
  int polarity = POLARITY_FALLING;
  double speed_percent = 0;
  SignalLevel level{};  // of the channel used
  std::vector<ProgramReport> programs;
  PlotData plot;
};

// Totals over a run.
struct Summary {
  int found = 0;      // programs found
  int verified = 0;   // saved with both blocks verified
  int from_copy = 0;  // of those, at least one block taken from its second copy
  int damaged = 0;    // a block not verified
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
// "ok", "copy", "damaged", "conflict" or "missing".
const char* verdict_name(int verdict);
// A level as dBFS text, such as "-6.0 dBFS" ("-inf dBFS" for silence).
std::string dbfs_text(double level);

// The table of one recording: its header line, the column heads and a line per program.
std::string table_text(const RecordingReport& recording);
// The summary line(s) closing the table.
std::string summary_text(const Summary& summary);
// The whole run as one JSON object.
nlohmann::ordered_json report_json(const std::vector<RecordingReport>& recordings,
                                   const Summary& summary);
// The picture of the run: for each recording, its histogram and its timeline.
std::string plot_svg(const std::vector<RecordingReport>& recordings);

}  // namespace mzfscan
