#include "report/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "format/tape_format.h"

namespace mzfscan {

namespace {

using mzf::BODY_LENGTH_OFFSET;
using mzf::EXEC_ADDRESS_OFFSET;
using mzf::header_word;
using mzf::LOAD_ADDRESS_OFFSET;
using mzf::NAME_END;
using mzf::NAME_LENGTH;
using mzf::NAME_OFFSET;

// The tape character set's lower-case letters, as the file names spell them.
constexpr char LOWERCASE[] = "abcdefghijklmnopqrstuvwxyz";
constexpr std::uint8_t LOWERCASE_CODES[26] = {0xA1, 0x9A, 0x9F, 0x9C, 0x92, 0xAA, 0x97, 0x98, 0xA6,
                                              0xAF, 0xA9, 0xB8, 0xB3, 0xB0, 0xB7, 0x9E, 0xA0, 0x9D,
                                              0xA4, 0x96, 0xA5, 0xAB, 0xA3, 0x9B, 0xBD, 0xA2};

std::string format(const char* pattern, auto... values) {
  const int length = std::snprintf(nullptr, 0, pattern, values...);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  std::snprintf(text.data(), text.size() + 1, pattern, values...);
  return text;
}

// The value to `digits` decimals (as JSON prints it shortest: 11.918, not 11.918000000000001).
double rounded(double value, int digits) {
  const double scale = std::pow(10.0, digits);
  return std::round(value * scale) / scale + 0.0;  // + 0.0: never a negative zero
}

std::string hex4(std::uint16_t value) {
  return format("%04X", static_cast<unsigned>(value));
}

std::string channel_text(int channel_used) {
  return channel_used == 0 ? std::string("mix") : format("%d", channel_used);
}

std::string quoted(const std::string& text) {
  std::string result(1, '"');
  result.append(text);
  result.push_back('"');
  return result;
}

const char* polarity_name(int polarity) {
  return polarity == POLARITY_RISING ? "rising" : "falling";
}

// Text safe inside SVG markup.
std::string xml_escaped(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '&': escaped += "&amp;"; break;
      case '"': escaped += "&quot;"; break;
      default: escaped += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  }
  return escaped;
}

// The length of the valid UTF-8 sequence at text[i], or 0 when none starts there.
std::size_t utf8_length(const std::string& text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const std::size_t length = lead < 0x80         ? 1
                             : (lead >> 5) == 6  ? 2
                             : (lead >> 4) == 14 ? 3
                             : (lead >> 3) == 30 ? 4
                                                 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) >> 6) != 2) return 0;
  }
  return length;
}

bool valid_utf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

// A path as JSON can hold it: bytes that are not valid UTF-8 become '?'.
std::string utf8_safe(const std::string& text) {
  std::string safe;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_length(text, i);
    if (length > 0) {
      safe.append(text, i, length);
      i += length;
    } else {
      safe += '?';
      ++i;
    }
  }
  return safe;
}

// One recording's panel of the picture, `top` pixels down.
constexpr int PLOT_WIDTH = 960;
constexpr int PANEL_HEIGHT = 500;
constexpr int MARGIN_LEFT = 90;
constexpr int MARGIN_RIGHT = 30;
constexpr char COLOR_OK[] = "#2e9e44";
constexpr char COLOR_FAILED[] = "#d62728";
constexpr char COLOR_CONFLICT[] = "#ff9f1c";
constexpr char COLOR_BROKEN[] = "#8e44ad";
constexpr char COLOR_TRUNCATED[] = "#8c8c8c";
constexpr char COLOR_BREAK[] = "#000000";
constexpr char COLOR_GAVE[] = "#17becf";
// A byte's usual length on tape, for placing the bytes a copy gave a joined block.
constexpr double BYTE_SECONDS = 9 * (mzf::SHORT_PULSE_US + mzf::LONG_PULSE_US) / 2 * 1e-6;
// Labels on the timeline: monospace characters of this width, rows this far apart.
constexpr double LABEL_CHAR_WIDTH = 6.7;
constexpr double LABEL_SPACE = 8;
constexpr int LABEL_ROW = 14;
// The narrowest a copy is drawn, in pixels.
constexpr double MIN_COPY_WIDTH = 5;
// The legend's second column, from its first.
constexpr int LEGEND_COLUMN = 420;
constexpr char COLOR_BARS[] = "#4a6fa5";

std::string histogram_svg(const RecordingReport& recording, int top) {
  const PlotData& plot = recording.plot;
  std::uint64_t largest = 0;
  int last = 0;
  for (int bin = 0; bin < HISTOGRAM_BINS; ++bin) largest = std::max(largest, plot.histogram[bin]);
  for (int bin = 0; bin < HISTOGRAM_BINS; ++bin) {
    if (plot.histogram[bin] * 1000 > largest) last = bin;
  }
  const double range_us = std::max(1500.0, std::ceil((last + 2) * HISTOGRAM_BIN_US / 250) * 250);
  const int x0 = MARGIN_LEFT, width = PLOT_WIDTH - MARGIN_LEFT - MARGIN_RIGHT;
  const int y0 = top + 60, height = 170;
  const auto x_of = [&](double us) { return x0 + us / range_us * width; };
  std::string svg =
      format("<text x=\"%d\" y=\"%d\" font-size=\"14\" font-weight=\"bold\">Pulse lengths</text>\n",
             x0, y0 - 8);
  svg +=
      format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#888\"/>\n",
             x0, y0, width, height);
  for (int bin = 0; bin < HISTOGRAM_BINS && largest > 0; ++bin) {
    const double from = bin * HISTOGRAM_BIN_US;
    if (plot.histogram[bin] == 0 || from >= range_us) continue;
    // Square-root scale: the long pulses, far fewer than the short ones, stay visible.
    const double bar =
        std::sqrt(static_cast<double>(plot.histogram[bin]) / static_cast<double>(largest)) * height;
    svg += format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\"/>\n",
                  x_of(from), y0 + height - bar,
                  std::max(1.0, x_of(from + HISTOGRAM_BIN_US) - x_of(from) - 0.5), bar, COLOR_BARS);
  }
  for (double tick = 0; tick <= range_us; tick += 250) {
    svg += format(
        "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#888\"/>"
        "<text x=\"%.1f\" y=\"%d\" font-size=\"11\" text-anchor=\"middle\">%.0f</text>\n",
        x_of(tick), y0 + height, x_of(tick), y0 + height + 4, x_of(tick), y0 + height + 16, tick);
  }
  svg += format(
      "<text x=\"%d\" y=\"%d\" font-size=\"12\" text-anchor=\"middle\">pulse length "
      "(microseconds)</text>\n",
      x0 + width / 2, y0 + height + 32);
  svg += format(
      "<text x=\"%d\" y=\"%d\" font-size=\"12\" text-anchor=\"middle\" "
      "transform=\"rotate(-90 %d %d)\">pulses (square root)</text>\n",
      x0 - 20, y0 + height / 2, x0 - 20, y0 + height / 2);
  if (plot.threshold_us > 0 && plot.threshold_us < range_us) {
    const double x = x_of(plot.threshold_us);
    svg += format(
        "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"%s\" "
        "stroke-width=\"2\" stroke-dasharray=\"6,4\"/>"
        "<text x=\"%.1f\" y=\"%d\" font-size=\"12\" fill=\"%s\">short | long at %.0f us"
        "</text>\n",
        x, y0, x, y0 + height, COLOR_FAILED, x + 5, y0 + 14, COLOR_FAILED, plot.threshold_us);
  }
  return svg;
}

// The colour of a copy on the timeline, by what became of it.
const char* outcome_color(int outcome) {
  switch (outcome) {
    case COPY_VERIFIED: return COLOR_OK;
    case COPY_CONFLICT:
    case COPY_UNCONFIRMED: return COLOR_CONFLICT;
    case COPY_CHECKSUM: return COLOR_FAILED;
    case COPY_BROKEN: return COLOR_BROKEN;
    default: return COLOR_TRUNCATED;
  }
}

// A program's label on the timeline: its name, and any block that did not verify.
std::string timeline_label(const ProgramReport& program) {
  std::string label = program.header_verdict == VERDICT_MISSING
                          ? "(no header)"
                          : quoted(readable_name(program.header));
  if (!verdict_verified(program.header_verdict)) {
    label.append(" header ").append(verdict_name(program.header_verdict));
  }
  if (!verdict_verified(program.body_verdict)) {
    label.append(" body ").append(verdict_name(program.body_verdict));
  }
  return label;
}

double label_width(const ProgramReport& program) {
  return LABEL_CHAR_WIDTH * static_cast<double>(timeline_label(program).size());
}

// Where a program's label begins: at its header, or far enough left to end inside the picture.
double label_x(const ProgramReport& program, double seconds) {
  const int width = PLOT_WIDTH - MARGIN_LEFT - MARGIN_RIGHT;
  const double at = MARGIN_LEFT + std::clamp(program.time_seconds / seconds, 0.0, 1.0) * width;
  return std::max(2.0, std::min(at, PLOT_WIDTH - 4 - label_width(program)));
}

// Rows of labels, each placed in the first row where it overlaps no other label: the row of each
// program, and the number of rows.
std::vector<int> label_rows(const RecordingReport& recording, double seconds, int* rows) {
  std::vector<double> row_ends;
  std::vector<int> placed;
  for (const ProgramReport& program : recording.programs) {
    const double from = label_x(program, seconds);
    const double to = from + label_width(program);
    std::size_t row = 0;
    while (row < row_ends.size() && row_ends[row] > from) ++row;
    if (row == row_ends.size()) row_ends.push_back(0);
    row_ends[row] = to + LABEL_SPACE;
    placed.push_back(static_cast<int>(row));
  }
  *rows = std::max<int>(1, static_cast<int>(row_ends.size()));
  return placed;
}

// The height of a recording's panel: the histogram, the labels' rows and the timeline.
int panel_height(const RecordingReport& recording) {
  int rows = 0;
  label_rows(recording, std::max(recording.seconds, 1e-3), &rows);
  return PANEL_HEIGHT + (rows - 1) * LABEL_ROW;
}

std::string timeline_svg(const RecordingReport& recording, int top) {
  const int x0 = MARGIN_LEFT, width = PLOT_WIDTH - MARGIN_LEFT - MARGIN_RIGHT;
  const double seconds = std::max(recording.seconds, 1e-3);
  int rows = 0;
  const std::vector<int> rows_of = label_rows(recording, seconds, &rows);
  // Four lanes: the header's first and second copy, the body's first and second.
  const int y0 = top + 300 + (rows - 1) * LABEL_ROW, lane = 13;
  const auto x_of = [&](double t) { return x0 + std::clamp(t / seconds, 0.0, 1.0) * width; };
  std::string svg = format(
      "<text x=\"%d\" y=\"%d\" font-size=\"14\" font-weight=\"bold\">Blocks on the tape</text>\n",
      x0, y0 - 28 - (rows - 1) * LABEL_ROW);
  svg += format(
      "<text x=\"%d\" y=\"%d\" font-size=\"11\" text-anchor=\"end\">header 1, 2</text>"
      "<text x=\"%d\" y=\"%d\" font-size=\"11\" text-anchor=\"end\">body 1, 2</text>\n",
      x0 - 6, y0 + lane + 4, x0 - 6, y0 + 3 * lane + 8);
  svg += format(
      "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#f4f4f4\" "
      "stroke=\"#888\"/>\n",
      x0, y0, width, 4 * lane + 6);
  for (const BlockCopy& copy : recording.plot.copies) {
    // Even a copy of a fraction of a pixel stays as visible as any other.
    const double from = x_of(copy.start_seconds);
    const double to = std::max(from + MIN_COPY_WIDTH, x_of(copy.end_seconds));
    const int y = y0 + 2 + (copy.is_header ? 0 : 2 * lane + 2) + (copy.copy - 1) * lane;
    svg += format("<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"/>\n", from, y,
                  to - from, lane - 1, outcome_color(copy.outcome));
    for (const auto& [first, last] : copy.gave) {
      // The bytes it gave a joined block, at their usual place in the copy.
      const double a = x_of(copy.start_seconds + first * BYTE_SECONDS);
      const double b = std::max(a + 1, x_of(copy.start_seconds + last * BYTE_SECONDS));
      svg += format("<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"4\" fill=\"%s\"/>\n", a,
                    y + lane - 5, b - a, COLOR_GAVE);
    }
    if (copy.first_failing >= 0) {
      // Where it broke, or its first wrong byte: placed by its share of the bytes read.
      const double share =
          copy.bytes > 0 ? static_cast<double>(copy.first_failing) / static_cast<double>(copy.bytes)
                         : 0;
      const double at =
          x_of(copy.start_seconds +
               std::clamp(share, 0.0, 1.0) * std::max(0.0, copy.end_seconds - copy.start_seconds));
      svg += format(
          "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"%s\" "
          "stroke-width=\"1.5\"/>\n",
          at, y - 3, at, y + lane + 2, COLOR_BREAK);
    }
  }
  for (std::size_t i = 0; i < recording.programs.size(); ++i) {
    const ProgramReport& program = recording.programs[i];
    const int y = y0 - 6 - rows_of[i] * LABEL_ROW;
    svg += format("<text x=\"%.1f\" y=\"%d\" font-size=\"11\" font-family=\"monospace\">",
                  label_x(program, seconds), y) +
           xml_escaped(utf8_safe(timeline_label(program))) + "</text>\n";
  }
  // Ticks at round times, at most about ten of them.
  double step = 1;
  for (const double candidate : {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600}) {
    step = candidate;
    if (seconds / candidate <= 10) break;
  }
  const int bottom = y0 + 4 * lane + 6;
  for (double t = 0; t <= seconds; t += step) {
    const auto whole = static_cast<long long>(t);
    svg += format(
        "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#888\"/>"
        "<text x=\"%.1f\" y=\"%d\" font-size=\"11\" text-anchor=\"middle\">"
        "%lld:%02lld</text>\n",
        x_of(t), bottom, x_of(t), bottom + 4, x_of(t), bottom + 16, whole / 60, whole % 60);
  }
  svg += format(
      "<text x=\"%d\" y=\"%d\" font-size=\"12\" text-anchor=\"middle\">time on the "
      "recording (minutes:seconds)</text>\n",
      x0 + width / 2, bottom + 32);
  // The legend: every colour a copy can have, and the mark of where one broke.
  struct Key {
    const char* color;
    const char* text;
  };
  static constexpr Key KEYS[] = {
      {COLOR_OK, "verified: checksum held, other copy agrees"},
      {COLOR_CONFLICT, "conflict, unconfirmed: checksum held, not borne out"},
      {COLOR_FAILED, "checksum failed"},
      {COLOR_BROKEN, "broken: framing lost"},
      {COLOR_TRUNCATED, "truncated: the recording ends in it"},
      {COLOR_GAVE, "joined: the bytes this copy gave"},
  };
  const int legend_y = bottom + 44;
  for (std::size_t i = 0; i < std::size(KEYS); ++i) {
    const int x = x0 + static_cast<int>(i / 3) * LEGEND_COLUMN;
    const int y = legend_y + static_cast<int>(i % 3) * 18;
    svg += format(
        "<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" fill=\"%s\"/>"
        "<text x=\"%d\" y=\"%d\" font-size=\"12\">%s</text>\n",
        x, y, KEYS[i].color, x + 20, y + 11, KEYS[i].text);
  }
  const int x = x0, y = legend_y + 3 * 18;
  svg += format(
      "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"%s\" stroke-width=\"2\"/>"
      "<text x=\"%d\" y=\"%d\" font-size=\"12\">where a copy broke, or its first wrong "
      "byte</text>\n",
      x + 7, y - 1, x + 7, y + 13, COLOR_BREAK, x + 20, y + 11);
  svg += format(
      "<text x=\"%d\" y=\"%d\" font-size=\"12\">Labels name each program and any block that did "
      "not verify (damaged, conflict, truncated, missing).</text>\n",
      x0, legend_y + 4 * 18 + 10);
  return svg;
}

}  // namespace

bool program_verified(const ProgramReport& program) {
  return verdict_verified(program.header_verdict) && verdict_verified(program.body_verdict);
}

Summary summarize(const std::vector<RecordingReport>& recordings) {
  Summary summary;
  for (const RecordingReport& recording : recordings) {
    if (!recording.opened) ++summary.unreadable;
    for (const ProgramReport& program : recording.programs) {
      ++summary.found;
      if (!program_verified(program)) {
        ++summary.damaged;
        continue;
      }
      if (program.file.empty()) continue;
      ++summary.verified;
      if (program.header_verdict == VERDICT_COPY || program.body_verdict == VERDICT_COPY) {
        ++summary.from_copy;
      }
    }
  }
  return summary;
}

std::string readable_name(const std::uint8_t* header) {
  std::string name;
  for (std::size_t i = 0; i < NAME_LENGTH; ++i) {
    const std::uint8_t code = header[NAME_OFFSET + i];
    if (code == NAME_END) break;
    char c = '.';
    if (code >= 0x20 && code < 0x7F) c = static_cast<char>(code);
    for (std::size_t k = 0; k < sizeof LOWERCASE_CODES; ++k) {
      if (LOWERCASE_CODES[k] == code) c = LOWERCASE[k];
    }
    name += c;
  }
  return name;
}

std::string type_name(std::uint8_t type) {
  static constexpr const char* NAMES[] = {nullptr, "OBJ", "BTX", "BSD", "BRD", "RB"};
  if (type < sizeof NAMES / sizeof NAMES[0] && NAMES[type] != nullptr) {
    return format("%02X %s", static_cast<unsigned>(type), NAMES[type]);
  }
  return format("%02X", static_cast<unsigned>(type));
}

std::string clock_time(double seconds) {
  const auto milliseconds = static_cast<long long>(std::llround(std::max(0.0, seconds) * 1000));
  return format("%lld:%02lld.%03lld", milliseconds / 60000, milliseconds / 1000 % 60,
                milliseconds % 1000);
}

const char* verdict_name(int verdict) {
  switch (verdict) {
    case VERDICT_OK: return "ok";
    case VERDICT_COPY: return "copy";
    case VERDICT_DAMAGED: return "damaged";
    case VERDICT_CONFLICT: return "conflict";
    case VERDICT_TRUNCATED: return "truncated";
    case VERDICT_JOINED: return "joined";
    default: return "missing";
  }
}

const char* copy_outcome_name(int outcome) {
  switch (outcome) {
    case COPY_VERIFIED: return "verified";
    case COPY_CONFLICT: return "conflict";
    case COPY_UNCONFIRMED: return "unconfirmed";
    case COPY_CHECKSUM: return "checksum";
    case COPY_BROKEN: return "broken";
    case COPY_TRUNCATED: return "truncated";
    default: return "missing";
  }
}

std::string hex_text(const std::uint8_t* bytes, std::size_t count) {
  std::string hex;
  for (std::size_t i = 0; i < count; ++i) hex += format("%02x", static_cast<unsigned>(bytes[i]));
  return hex;
}

std::string shown(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      escaped += c;
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\t') {
      escaped += "\\t";
    } else {
      escaped += format("\\x%02x", static_cast<unsigned>(byte));
    }
  }
  return escaped;
}

std::string dbfs_text(double level) {
  if (!(level > 0)) return "-inf dBFS";
  return format("%.1f dBFS", 20 * std::log10(level));
}

namespace {

// Byte ranges as "0-1233, 1300-2689" (inclusive), "none" when empty.
std::string ranges_text(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& ranges) {
  std::string text;
  for (const auto& [from, to] : ranges) {
    text += (text.empty() ? "" : ", ") + std::to_string(from) + "-" + std::to_string(to - 1);
  }
  return text.empty() ? "none" : text;
}

// The column heads of the program lines, and one program's line.
std::string program_heads() {
  return format("  %-10s %-19s %-6s %5s %-4s %-5s %-9s %-9s %s\n", "time", "name", "type", "size",
                "load", "start", "header", "body", "file");
}

std::string program_row(const ProgramReport& p) {
  return format("  %-10s %-19s %-6s %5u %-4s %-5s %-9s %-9s %s\n",
                clock_time(p.time_seconds).c_str(), quoted(readable_name(p.header)).c_str(),
                type_name(p.header[0]).c_str(),
                static_cast<unsigned>(header_word(p.header, BODY_LENGTH_OFFSET)),
                hex4(header_word(p.header, LOAD_ADDRESS_OFFSET)).c_str(),
                hex4(header_word(p.header, EXEC_ADDRESS_OFFSET)).c_str(),
                verdict_name(p.header_verdict), verdict_name(p.body_verdict),
                p.file.empty() ? "-" : (p.already ? p.file + " (already there)" : p.file).c_str());
}

// Of a program with a joined block: a line per such block with the bytes each copy gave.
std::string joined_text(const ProgramReport& p) {
  std::string text;
  for (int block = 0; block < 2; ++block) {
    if ((block == 0 ? p.header_verdict : p.body_verdict) != VERDICT_JOINED) continue;
    text += block == 0 ? "    header joined:" : "    body joined:";
    for (int k = 0; k < 2; ++k) {
      text += format(" copy %d gave ", k + 1) + ranges_text(p.copies[block][k].gave) +
              (k == 0 ? ";" : "");
    }
    text += "\n";
  }
  return text;
}

}  // namespace

std::string table_text(const RecordingReport& r) {
  std::string text =
      shown(r.path) + ": " + r.format +
      format(", %d Hz, %d channel%s, ", r.sample_rate, r.channels, r.channels == 1 ? "" : "s");
  text += clock_time(r.seconds) + "; read channel " + channel_text(r.channel_used) + ", " +
          polarity_name(r.polarity) +
          format(", speed %+.1f %%, peak ", rounded(r.speed_percent, 1)) + dbfs_text(r.level.peak) +
          ", RMS " + dbfs_text(r.level.rms) + "\n";
  if (r.programs.empty()) return text + "  no programs found\n";
  text += program_heads();
  for (const ProgramReport& p : r.programs) {
    text += program_row(p);
    text += joined_text(p);
  }
  return text;
}

std::string tape_table_text(const TapeReport& tape,
                            const std::vector<RecordingReport>& recordings) {
  std::string text =
      format("same tape, %zu recording%s:\n", recordings.size(), recordings.size() == 1 ? "" : "s");
  if (tape.programs.empty()) return text + "  no programs found\n";
  text += program_heads();
  for (std::size_t i = 0; i < tape.programs.size(); ++i) {
    const ProgramReport& p = tape.programs[i];
    text += program_row(p);
    std::string from;
    for (std::size_t k = 0; k < tape.sources[i].size(); ++k) {
      const std::size_t r = tape.sources[i][k];
      from += (k == 0 ? "" : "; ") + shown(recordings[r].path);
      if (k < tape.gave[i].size()) {
        from += " (copy 1 gave " + ranges_text(tape.gave[i][k][0]) + ", copy 2 gave " +
                ranges_text(tape.gave[i][k][1]) + ")";
      }
    }
    text += "    read in " + from + "\n";
  }
  return text;
}

std::string summary_text(const Summary& s) {
  return format("%d program%s found, %d saved verified (%d from the second copy), %d damaged\n",
                s.found, s.found == 1 ? "" : "s", s.verified, s.from_copy, s.damaged);
}

namespace {

using Json = nlohmann::ordered_json;

Json text_or_null(const std::string& text) {
  return text.empty() ? Json(nullptr) : Json(utf8_safe(text));
}

Json dbfs_json(double level) {
  return level > 0 ? Json(rounded(20 * std::log10(level), 2)) : Json(nullptr);
}

// A block with its verdict and both its copies.
Json block_json(int verdict, const CopyRecord copies[2]) {
  Json list = Json::array();
  for (int k = 0; k < 2; ++k) {
    const CopyRecord& c = copies[k];
    const bool read = c.outcome != COPY_NOT_READ;
    // Of a joined block: the bytes [from, to) this copy read cleanly as taken.
    Json gave = Json::array();
    for (const auto& [from, to] : c.gave) gave.push_back({from, to});
    list.push_back({
        {"copy", k + 1},
        {"verdict", copy_outcome_name(c.outcome)},
        {"start", read ? Json(rounded(c.start_seconds, 3)) : Json(nullptr)},
        {"end", read ? Json(rounded(c.end_seconds, 3)) : Json(nullptr)},
        {"bytes", c.bytes},
        {"first_failing_byte", c.first_failing >= 0 ? Json(c.first_failing) : Json(nullptr)},
        {"gave", gave},
    });
  }
  return {{"verdict", verdict_name(verdict)}, {"copies", list}};
}

Json saved_json(const ProgramReport& p) {
  if (!p.file.empty()) return p.already ? "already" : "new";
  return nullptr;
}

Json save_error_json(const ProgramReport& p) {
  switch (p.not_saved) {
    case NotSaved::NOT_VERIFIED: return "not verified";
    case NotSaved::CLASH: return "clash";
    case NotSaved::WRITE_FAILED: return "write failure: " + p.save_error;
    default: return nullptr;
  }
}

Json program_json(const ProgramReport& p) {
  const bool has_header = p.header_verdict != VERDICT_MISSING;
  return {
      {"time", rounded(p.time_seconds, 3)},
      {"name", has_header ? Json(utf8_safe(readable_name(p.header))) : Json(nullptr)},
      {"type", p.header[0]},
      {"size", header_word(p.header, BODY_LENGTH_OFFSET)},
      {"load", header_word(p.header, LOAD_ADDRESS_OFFSET)},
      {"start", header_word(p.header, EXEC_ADDRESS_OFFSET)},
      {"header", verdict_name(p.header_verdict)},
      {"body", verdict_name(p.body_verdict)},
      {"file", text_or_null(p.file)},
      {"saved", saved_json(p)},
      {"error", save_error_json(p)},
      {"sha256", text_or_null(p.sha256)},
      {"blocks",
       {{"header", block_json(p.header_verdict, p.copies[0])},
        {"body", block_json(p.body_verdict, p.copies[1])}}},
  };
}

Json recording_json(const RecordingReport& r) {
  Json programs = Json::array();
  for (const ProgramReport& p : r.programs) programs.push_back(program_json(p));
  std::string diagnosis;
  for (const std::string& finding : r.diagnosis) {
    diagnosis += (diagnosis.empty() ? "" : "; ") + finding;
  }
  const auto known = [&](Json value) { return r.opened ? std::move(value) : Json(nullptr); };
  return {
      {"path", utf8_safe(r.path)},
      {"path_bytes",
       valid_utf8(r.path)
           ? Json(nullptr)
           : Json(hex_text(reinterpret_cast<const std::uint8_t*>(r.path.data()), r.path.size()))},
      {"error", text_or_null(r.error)},
      {"format", known(r.format)},
      {"sample_rate", known(r.sample_rate)},
      {"channels", known(r.channels)},
      {"duration", known(rounded(r.seconds, 3))},
      {"channel_used", known(r.channel_used == 0 ? Json("mix") : Json(r.channel_used))},
      {"polarity", known(polarity_name(r.polarity))},
      {"speed_percent", known(rounded(r.speed_percent, 2))},
      {"peak_dbfs", known(dbfs_json(r.level.peak))},
      {"rms_dbfs", known(dbfs_json(r.level.rms))},
      {"diagnosis", text_or_null(diagnosis)},
      {"programs", programs},
  };
}

}  // namespace

nlohmann::ordered_json report_json(const std::vector<RecordingReport>& recordings,
                                   const Summary& summary, const TapeReport* tape) {
  Json list = Json::array();
  for (const RecordingReport& r : recordings) list.push_back(recording_json(r));
  Json same_tape = nullptr;
  if (tape != nullptr) {
    Json programs = Json::array();
    for (std::size_t i = 0; i < tape->programs.size(); ++i) {
      Json program = program_json(tape->programs[i]);
      Json sources = Json::array();
      for (std::size_t k = 0; k < tape->sources[i].size(); ++k) {
        const std::size_t recording = tape->sources[i][k];
        Json gave = Json::array();
        for (int copy = 0; copy < 2; ++copy) {
          Json ranges = Json::array();
          if (k < tape->gave[i].size()) {
            for (const auto& [from, to] : tape->gave[i][k][copy]) ranges.push_back({from, to});
          }
          gave.push_back({{"copy", copy + 1}, {"gave", ranges}});
        }
        sources.push_back({{"recording", recording + 1},
                           {"path", utf8_safe(recordings[recording].path)},
                           {"body_copies", gave}});
      }
      program["sources"] = sources;
      programs.push_back(program);
    }
    same_tape = {{"programs", programs}};
  }
  return {{"recordings", list},
          {"same_tape", same_tape},
          {"summary",
           {{"found", summary.found},
            {"verified", summary.verified},
            {"from_copy", summary.from_copy},
            {"damaged", summary.damaged},
            {"unreadable", summary.unreadable}}}};
}

std::string plot_svg(const std::vector<RecordingReport>& recordings) {
  int height = 0;
  for (const RecordingReport& r : recordings) height += r.opened ? panel_height(r) : 0;
  height = std::max(height, PANEL_HEIGHT);
  std::string svg = format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
      "font-family=\"sans-serif\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
      PLOT_WIDTH, height, PLOT_WIDTH, height);
  int top = 0;
  for (const RecordingReport& r : recordings) {
    if (!r.opened) continue;
    const std::string title = r.path + " (channel " + channel_text(r.channel_used) + ", " +
                              polarity_name(r.polarity) + ")";
    svg += format("<text x=\"%d\" y=\"%d\" font-size=\"16\" font-weight=\"bold\">", MARGIN_LEFT,
                  top + 24) +
           xml_escaped(utf8_safe(title)) + "</text>\n";
    svg += histogram_svg(r, top) + timeline_svg(r, top);
    top += panel_height(r);
  }
  return svg + "</svg>\n";
}

}  // namespace mzfscan
