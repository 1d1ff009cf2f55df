#include "scanner/scan_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <new>

#include "rescue/second_reading.h"
#include "tape/tape_format.h"

namespace mzfscan {

namespace {

// Names of programs saved without verification: the ordinary name never has a '.' before its
// extension, so these cannot be taken for verified files.
constexpr char DAMAGED_EXTENSION[] = ".DAMAGED.MZF";

constexpr double NOMINAL_SHORT_US = mzfextract::SHORT_PULSE_US;
constexpr double NOMINAL_LONG_US = mzfextract::LONG_PULSE_US;
// How far from nominal a pulse may be and still count as a tape pulse in the diagnosis.
constexpr double PULSE_TOLERANCE = 0.25;

std::unique_ptr<ChannelScanner> new_scanner(double rate) {
  std::unique_ptr<ChannelScanner> scanner(new (std::nothrow) ChannelScanner);
  if (scanner) channel_scanner_init(*scanner, rate);
  return scanner;
}

bool polarity_allowed(int wanted, Polarity polarity) {
  return wanted == POLARITY_AUTO || wanted == polarity;
}

std::string message(const std::string& file, const std::string& what) {
  return "mzfscan: " + file + ": " + what + "\n";
}

}  // namespace

const TapeReading& ScanResult::reading() const {
  return channel_scanner_reading(*candidates[chosen].scanner, polarity);
}

SignalLevel ScanResult::level() const {
  return channel_scanner_level(*candidates[chosen].scanner);
}

bool scan_audio(AudioInput& input, const ScanSettings& settings, ScanResult* result,
                std::string* error) {
  const AudioInfo& info = input.info();
  const auto channels = static_cast<std::size_t>(info.channels);
  if (settings.channel >= info.channels) {
    *error = "has " + std::to_string(info.channels) + " channel" + (info.channels == 1 ? "" : "s") +
             "; channel " + std::to_string(settings.channel + 1) + " does not exist";
    return false;
  }
  std::vector<int> wanted;
  if (settings.channel == CHANNEL_AUTO) {
    for (int c = 0; c < info.channels; ++c) wanted.push_back(c);
  } else {
    wanted.push_back(settings.channel);
  }
  for (const int channel : wanted) {
    Candidate candidate{channel, new_scanner(info.rate)};
    if (!candidate.scanner) {
      *error = std::strerror(ENOMEM);
      return false;
    }
    result->candidates.push_back(std::move(candidate));
  }
  std::vector<float> mix(settings.channel == CHANNEL_MIX ? AUDIO_CHUNK_FRAMES : 0);
  result->rate = info.rate;

  const float* frames = nullptr;
  std::size_t count = 0;
  while ((settings.max_frames < 0 || result->frames < settings.max_frames) &&
         (count = input.read(&frames)) > 0) {
    result->frames += static_cast<std::int64_t>(count);
    for (Candidate& candidate : result->candidates) {
      if (candidate.channel >= 0) {
        channel_scanner_feed(*candidate.scanner, frames + candidate.channel, count, channels);
        continue;
      }
      take_channel(frames, count, channels, CHANNEL_MIX, mix.data());
      channel_scanner_feed(*candidate.scanner, mix.data(), count, 1);
    }
  }

  // Candidates in channel order, falling before rising; only a strictly better one replaces.
  bool have_best = false;
  for (std::size_t i = 0; i < result->candidates.size(); ++i) {
    ChannelScanner& scanner = *result->candidates[i].scanner;
    channel_scanner_finish(scanner);
    for (const Polarity polarity : {POLARITY_FALLING, POLARITY_RISING}) {
      if (!polarity_allowed(settings.polarity, polarity)) continue;
      const TapeReading& reading = channel_scanner_reading(scanner, polarity);
      if (!have_best || better_reading(reading, result->reading())) {
        result->chosen = i;
        result->polarity = polarity;
        have_best = true;
      }
    }
  }
  if (have_best) result->programs = result->reading().programs;
  return true;
}

bool second_reading_wanted(const ScanResult& result) {
  return result.programs.empty() ||
         std::any_of(result.programs.begin(), result.programs.end(), [](const ScannedProgram& p) {
           return !verdict_verified(p.header_verdict) || !verdict_verified(p.body_verdict);
         });
}

PreparedSignal prepared_signal(const ScanResult& result) {
  const SignalLevel level = result.level();
  PreparedSignal signal;
  signal.channel = result.candidates[result.chosen].channel;
  signal.invert = result.polarity == POLARITY_RISING;
  signal.dc = level.dc;
  signal.peak = level.peak;
  return signal;
}

namespace {

// The decoder's trace is not wanted here: a stream that takes it and keeps nothing.
ssize_t discard(void* /*cookie*/, const char* /*data*/, std::size_t size) {
  return static_cast<ssize_t>(size);
}

}  // namespace

bool read_again_exactly(AudioInput& input, ScanResult* result, std::string* error) {
  PreparedStream stream;
  if (!stream.open(input, prepared_signal(*result), error)) return false;
  // As far as the first reading went, in prepared samples (and a slice more for rounding).
  const double limit =
      static_cast<double>(result->frames) * stream.rate() / std::max(1, result->rate) +
      static_cast<double>(EXACT_SLICE);
  std::unique_ptr<ExactReader> reader(new (std::nothrow) ExactReader);
  cookie_io_functions_t sink{};
  sink.write = discard;
  std::FILE* trace = ::fopencookie(nullptr, "w", sink);
  if (!reader || trace == nullptr) {
    if (trace != nullptr) std::fclose(trace);
    *error = std::strerror(ENOMEM);
    return false;
  }
  exact_reader_init(*reader, stream.rate(), trace);
  ChainReading chains;
  chain_reading_plan(chains, result->programs, stream.rate(), result->reading().speed_percent);
  const std::uint8_t* bytes = nullptr;
  std::size_t count = 0;
  std::size_t starts_seen = 0;
  while (static_cast<double>(reader->samples) < limit && (count = stream.read(&bytes)) > 0) {
    exact_reader_feed(*reader, bytes, count);
    // A copy the first reading never found, where the exact decoder saw one begin, is decoded
    // too: a program only the exact decoder found is checked against its other copy.
    for (; starts_seen < reader->copy_starts.size(); ++starts_seen) {
      const ExactCopyStart& c = reader->copy_starts[starts_seen];
      chain_reading_add(chains, result->programs, c.block, c.copy, c.sample, c.size,
                        c.short_period);
    }
    chain_reading_feed(chains, bytes, count);
  }
  std::fclose(trace);
  chain_reading_finish(chains);
  adopt_second_reading(result->programs, reader->programs, chains);
  if (!input.error().empty()) {
    *error = input.error();
    return false;
  }
  return true;
}

RecordingReport describe_recording(const std::string& path, const AudioInput& input,
                                   const ScanResult& result) {
  const AudioInfo& info = input.info();
  const TapeReading& reading = result.reading();
  RecordingReport report;
  report.path = path;
  report.format = info.format;
  report.sample_rate = info.file_rate;
  report.channels = info.channels;
  report.seconds = static_cast<double>(result.frames) / info.rate;
  const int channel = result.candidates[result.chosen].channel;
  report.channel_used = channel >= 0 ? channel + 1 : 0;
  report.polarity = result.polarity;
  report.speed_percent = reading.speed_percent;
  report.level = result.level();
  for (const ScannedProgram& scanned : result.programs) {
    ProgramReport program;
    program.time_seconds = scanned.time_seconds;
    std::memcpy(program.header, scanned.header, sizeof program.header);
    program.header_verdict = scanned.header_verdict;
    program.body_verdict = scanned.body_verdict;
    program.body_size = static_cast<std::uint32_t>(scanned.body.size());
    report.programs.push_back(program);
  }
  std::copy(std::begin(reading.histogram), std::end(reading.histogram),
            std::begin(report.plot.histogram));
  report.plot.threshold_us = reading.threshold_us;
  report.plot.copies = reading.copies;
  return report;
}

namespace {

// True when the file `name` in `directory_fd` holds exactly `header` then `body`.
bool holds(int directory_fd, const char* name, const ScannedProgram& program) {
  const int fd = ::openat(directory_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat status {};
  const std::size_t size = mzfextract::HEADER_SIZE + program.body.size();
  bool same = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
              static_cast<std::size_t>(status.st_size) == size;
  std::vector<std::uint8_t> bytes(same ? size : 0);
  std::size_t done = 0;
  while (same && done < size) {
    const ssize_t n = ::read(fd, bytes.data() + done, size - done);
    if (n <= 0) same = false;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return same &&
         std::equal(program.header, program.header + mzfextract::HEADER_SIZE, bytes.begin()) &&
         std::equal(program.body.begin(), program.body.end(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(mzfextract::HEADER_SIZE));
}

}  // namespace

std::string already_saved(int directory_fd, const mzfextract::MzfName& name,
                          const ScannedProgram& program, bool any_number) {
  if (holds(directory_fd, name.text, program)) return name.text;
  if (!any_number) return "";
  // The same name part and any number: "NAME#", digits, ".MZF".
  const std::string text = name.text;
  const std::size_t mark = text.rfind('#');
  if (mark == std::string::npos) return "";
  const std::string stem = text.substr(0, mark + 1);
  const std::string extension = mzfextract::MZF_EXTENSION;
  const int listing = ::dup(directory_fd);
  DIR* directory = listing >= 0 ? ::fdopendir(listing) : nullptr;
  if (directory == nullptr) {
    if (listing >= 0) ::close(listing);
    return "";
  }
  std::string found;
  while (found.empty()) {
    const dirent* entry = ::readdir(directory);
    if (entry == nullptr) break;
    const std::string candidate = entry->d_name;
    const bool numbered =
        candidate.size() > stem.size() + extension.size() && candidate.rfind(stem, 0) == 0 &&
        candidate.compare(candidate.size() - extension.size(), extension.size(), extension) == 0 &&
        std::all_of(candidate.begin() + static_cast<std::ptrdiff_t>(stem.size()),
                    candidate.end() - static_cast<std::ptrdiff_t>(extension.size()),
                    [](char c) { return c >= '0' && c <= '9'; });
    if (numbered && holds(directory_fd, candidate.c_str(), program)) found = candidate;
  }
  ::closedir(directory);
  return found;
}

int save_programs(const ScanResult& result, mzfextract::MzfWriter& writer,
                  const SaveSettings& settings, RecordingReport* report, std::FILE* errors) {
  int status = result.programs.empty() ? STATUS_NOT_SAVED : STATUS_OK;
  for (std::size_t i = 0; i < result.programs.size(); ++i) {
    const ScannedProgram& scanned = result.programs[i];
    ProgramReport& program = report->programs[i];
    // Every program takes a number, saved or not, so that names follow the tape.
    const std::int32_t number = mzfextract::mzf_take_number(writer);
    const bool verified = program_verified(program);
    if (!verified) status = std::max(status, STATUS_NOT_SAVED);
    if (!verified && !settings.keep_damaged) continue;
    const mzfextract::MzfName name =
        verified ? mzfextract::mzf_file_name(scanned.header, number)
                 : mzfextract::mzf_file_name(scanned.header, number, DAMAGED_EXTENSION);
    // A run again over the same tapes changes nothing: the same program already saved in the
    // folder, under this number or another, is not written again.
    if (verified) {
      const std::string found =
          already_saved(writer.directory_fd, name, scanned, !writer.replace_existing);
      if (!found.empty()) {
        program.file = found;
        program.already = true;
        continue;
      }
    }
    const mzfextract::MzfWriteResult written =
        mzfextract::mzf_write_named(writer, name, scanned.header, scanned.body.data(),
                                    static_cast<std::uint32_t>(scanned.body.size()));
    const std::string shown = settings.directory_label + written.name.text;
    if (written.status == mzfextract::MZF_WRITTEN) {
      program.file = written.name.text;
      struct stat saved {};
      if (settings.keep != nullptr &&
          ::fstatat(writer.directory_fd, written.name.text, &saved, AT_SYMLINK_NOFOLLOW) == 0) {
        settings.keep->push_back(mzfextract::FileIdentity{saved.st_dev, saved.st_ino});
        mzfextract::mzf_writer_whole_files(writer, settings.keep->data(), settings.keep->size());
      }
      continue;
    }
    status = STATUS_FAILED;
    std::string why;
    if (written.status == mzfextract::MZF_EXISTS) {
      why = "exists; not overwritten (--force replaces it)";
    } else if (written.error == EBUSY) {
      why = placing_error(EBUSY);
    } else {
      why = std::string(written.status == mzfextract::MZF_WRITE_FAILED ? "cannot write: "
                                                                       : "cannot create: ") +
            std::strerror(written.error);
    }
    std::fputs(message(shown, why).c_str(), errors);
  }
  return status;
}

std::string nothing_found_diagnosis(const std::string& path, const ScanResult& result) {
  const TapeReading& reading = result.reading();
  const SignalLevel level = result.level();
  const int channel = result.candidates[result.chosen].channel;
  std::string text = message(path, "no program found");
  text += "  signal: peak " + dbfs_text(level.peak) + ", RMS " + dbfs_text(level.rms) +
          (channel >= 0 ? " on channel " + std::to_string(channel + 1) : " (channels mixed)") +
          "\n";
  if (!(level.peak > 0)) {
    text += "  the recording is silent\n";
  } else {
    // The most common pulse lengths, and how many fall near the tape's short and long pulses.
    std::uint64_t total = 0, short_like = 0, long_like = 0;
    std::vector<int> bins;
    for (int bin = 0; bin < HISTOGRAM_BINS; ++bin) {
      const std::uint64_t n = reading.histogram[bin];
      total += n;
      const double us = (bin + 0.5) * HISTOGRAM_BIN_US;
      const auto near = [us](double nominal) {
        return std::fabs(us - nominal) <= nominal * PULSE_TOLERANCE;
      };
      if (near(NOMINAL_SHORT_US)) short_like += n;
      if (near(NOMINAL_LONG_US)) long_like += n;
      if (n > 0) bins.push_back(bin);
    }
    std::sort(bins.begin(), bins.end(),
              [&](int a, int b) { return reading.histogram[a] > reading.histogram[b]; });
    if (total == 0) {
      text += "  no pulses seen: the signal never crosses its mid level in a regular way\n";
    } else {
      text += "  pulse lengths seen most often:";
      for (std::size_t i = 0; i < bins.size() && i < 4; ++i) {
        char item[64];
        std::snprintf(item, sizeof item, "%s %.0f us (%llu)", i == 0 ? "" : ",",
                      (bins[i] + 0.5) * HISTOGRAM_BIN_US,
                      static_cast<unsigned long long>(reading.histogram[bins[i]]));
        text += item;
      }
      text += "\n";
      // A tape has both: short pulses in its gaps and bits, long ones in marks and bytes.
      const bool tape_like = 2 * (short_like + long_like) >= total && 10 * short_like >= total &&
                             10 * long_like >= total;
      text += tape_like
                  ? "  they look like this tape format's pulses (about 504 and 958 us), but no "
                    "block could be read: the tape may be too worn or the capture distorted\n"
                  : "  they do not look like this tape format's pulses (about 504 us short, 958 "
                    "us long)\n";
    }
  }
  text +=
      "  try: another channel (--channel N or --channel mix), a louder capture, and check that the "
      "recording is a tape of this format\n";
  return text;
}

namespace {

// Opens (creating it when missing) the output directory; -1 with a message when it cannot.
int open_output_directory(const std::string& directory, std::FILE* errors) {
  if (directory.empty()) return ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::error_code failure;
  std::filesystem::create_directories(directory, failure);
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const std::string why = failure ? failure.message() : std::strerror(errno);
    std::fputs(message(directory, "cannot use as the output directory: " + why).c_str(), errors);
  }
  return fd;
}

}  // namespace

int run_scan(const RunOptions& options, std::FILE* out, std::FILE* errors) {
  const int directory_fd = open_output_directory(options.output_directory, errors);
  if (directory_fd < 0) return STATUS_FAILED;
  // Never written over: the run's recordings, then every file it writes.
  std::vector<mzfextract::FileIdentity> keep;
  for (const std::string& path : options.recordings) {
    struct stat recording {};
    if (::stat(path.c_str(), &recording) == 0) {
      keep.push_back(mzfextract::FileIdentity{recording.st_dev, recording.st_ino});
    }
  }
  mzfextract::MzfWriter writer;
  mzfextract::mzf_writer_init(writer, directory_fd, options.force);
  mzfextract::mzf_writer_whole_files(writer, keep.data(), keep.size());
  const auto rules = [&] { return OutputRules{options.force, keep.data(), keep.size()}; };
  // A file written by a rule joins the files to keep.
  const auto written_file = [&](const wholefile::Identity& placed) {
    keep.push_back(placed);
    mzfextract::mzf_writer_whole_files(writer, keep.data(), keep.size());
  };
  SaveSettings save;
  save.keep_damaged = options.keep_damaged;
  save.keep = &keep;
  if (!options.output_directory.empty()) {
    save.directory_label = options.output_directory;
    if (save.directory_label.back() != '/') save.directory_label += '/';
  }
  ScanSettings settings;
  settings.channel = options.channel;
  settings.polarity = options.polarity;

  bool failed = false, not_saved = false;
  std::vector<RecordingReport> reports;
  for (const std::string& path : options.recordings) {
    AudioInput input;
    std::string why;
    ScanResult result;
    if (!input.open_file(path, true, &why) || !scan_audio(input, settings, &result, &why)) {
      std::fputs(message(path, why).c_str(), errors);
      failed = true;
      continue;
    }
    if (!input.error().empty()) {
      std::fputs(message(path, input.error() + "; what was read is reported").c_str(), errors);
      failed = true;
    }
    if (second_reading_wanted(result)) {
      // The second reader reads the recording again from its start.
      AudioInput again;
      if (!again.open_file(path, false, &why) || !read_again_exactly(again, &result, &why)) {
        std::fputs(message(path, "second reading: " + why).c_str(), errors);
        failed = true;
      }
    }
    RecordingReport report = describe_recording(path, input, result);
    const int status = save_programs(result, writer, save, &report, errors);
    failed = failed || status == STATUS_FAILED;
    not_saved = not_saved || status == STATUS_NOT_SAVED ||
                std::any_of(report.programs.begin(), report.programs.end(),
                            [](const ProgramReport& p) { return !program_verified(p); });
    if (report.programs.empty()) {
      std::fputs(nothing_found_diagnosis(path, result).c_str(), errors);
    }
    if (!options.wav_path.empty()) {
      wholefile::Identity placed{};
      if (write_prepared_wav(path, options.wav_path, prepared_signal(result), rules(), &placed,
                             &why)) {
        written_file(placed);
      } else {
        std::fputs(("mzfscan: " + why + "\n").c_str(), errors);
        failed = true;
      }
    }
    if (!options.json) std::fputs(table_text(report).c_str(), out);
    std::fflush(out);
    report.plot.copies.shrink_to_fit();
    reports.push_back(std::move(report));
  }
  ::close(directory_fd);

  const Summary summary = summarize(reports);
  if (options.json) {
    std::fputs((report_json(reports, summary).dump(2) + "\n").c_str(), out);
  } else {
    std::fputs(summary_text(summary).c_str(), out);
  }
  if (!options.plot_path.empty()) {
    std::string why;
    wholefile::Identity placed{};
    if (write_whole_text(options.plot_path, plot_svg(reports), rules(), &placed, &why)) {
      written_file(placed);
    } else {
      std::fputs(message(options.plot_path, why).c_str(), errors);
      failed = true;
    }
  }
  if (failed) return STATUS_FAILED;
  return not_saved || summary.found == 0 ? STATUS_NOT_SAVED : STATUS_OK;
}

}  // namespace mzfscan
