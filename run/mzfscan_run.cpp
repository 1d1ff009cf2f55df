#include "run/mzfscan_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <new>
#include <numbers>
#include <thread>

#include <nettle/sha2.h>

#include "combine/same_tape.h"
#include "format/tape_format.h"
#include "pipe/handover.h"
#include "pipe/job_pool.h"
#include "rescue/second_reading.h"

namespace mzfscan {

namespace {

// Names of programs saved without verification: the ordinary name never has a '.' before its
// extension, so these cannot be taken for verified files.
constexpr char DAMAGED_EXTENSION[] = ".DAMAGED.MZF";

// Frames the first reading hands to its second thread at a time (see scan_audio()).
constexpr std::size_t HANDED_FRAMES = 16 * AUDIO_CHUNK_FRAMES;
// Threads used at most, unless more are asked for.
constexpr unsigned MAX_THREADS = 4;
// Prepared samples the second reading hands to its second thread at a time.
constexpr std::size_t HANDED_SAMPLES = 65536;

constexpr double NOMINAL_SHORT_US = mzf::SHORT_PULSE_US;
constexpr double NOMINAL_LONG_US = mzf::LONG_PULSE_US;

std::unique_ptr<ChannelReader> new_scanner(double rate) {
  std::unique_ptr<ChannelReader> scanner(new (std::nothrow) ChannelReader);
  if (scanner) channel_reader_init(*scanner, rate);
  return scanner;
}

bool polarity_allowed(int wanted, Polarity polarity) {
  return wanted == POLARITY_AUTO || wanted == polarity;
}

// A message naming `file`, its control characters escaped.
std::string message(const std::string& file, const std::string& what) {
  return "mzfscan: " + shown(file) + ": " + what + "\n";
}

// The SHA-256 of the MZF file of `program`, in hex.
std::string file_sha256(const ScannedProgram& program) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, mzf::HEADER_SIZE, program.header);
  sha256_update(&context, program.body.size(), program.body.data());
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof digest, digest);
  return hex_text(digest, sizeof digest);
}

}  // namespace

namespace {

std::int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The line is rewritten at most this often.
constexpr std::int64_t PROGRESS_EVERY_NS = 250'000'000;

}  // namespace

void progress_start(Progress& progress, const std::string& label, double total_seconds) {
  progress.label = shown(label);
  progress.total_seconds = total_seconds;
  progress.started = monotonic_ns();
  progress.last = 0;
}

bool progress_due(const Progress& progress) {
  if (progress.out == nullptr) return false;
  const std::int64_t now = monotonic_ns();
  return static_cast<double>(now - progress.started) >= progress.after_seconds * 1e9 &&
         (progress.last == 0 || now - progress.last >= PROGRESS_EVERY_NS);
}

void progress_show(Progress& progress, const char* what, double seconds, std::size_t programs) {
  if (!progress_due(progress)) return;
  progress.last = monotonic_ns();
  std::string line = "\rmzfscan: " + progress.label + ": " + what + " " + clock_time(seconds);
  if (progress.total_seconds > 0) line += " of " + clock_time(progress.total_seconds);
  line += ", " + std::to_string(programs) + (programs == 1 ? " program" : " programs") + "\x1b[K";
  std::fputs(line.c_str(), progress.out);
  std::fflush(progress.out);
}

void progress_end(Progress& progress) {
  if (progress.out == nullptr || progress.last == 0) return;
  std::fputs("\r\x1b[K", progress.out);
  std::fflush(progress.out);
  progress.last = 0;
}

const TapeReading& ScanResult::reading() const {
  return channel_reader_reading(*candidates[chosen].scanner, polarity);
}

SignalLevel ScanResult::level() const {
  return channel_reader_level(*candidates[chosen].scanner);
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
  const bool mixed = settings.channel == CHANNEL_MIX;
  std::vector<float> mix(mixed ? AUDIO_CHUNK_FRAMES : 0);
  std::vector<double> squares(mixed ? channels : 0);
  result->rate = info.rate;

  // The most programs a reading of candidates [from, to) has found so far.
  const auto programs_found = [&](std::size_t from, std::size_t to) {
    std::size_t programs = 0;
    for (std::size_t i = from; i < to; ++i) {
      for (const Polarity polarity : {POLARITY_FALLING, POLARITY_RISING}) {
        const ChannelReader& scanner = *result->candidates[i].scanner;
        programs = std::max(programs, channel_reader_reading(scanner, polarity).programs.size());
      }
    }
    return programs;
  };
  // With several channels, the second half of them is read on a second thread: the frames are
  // copied into slots of HANDED_FRAMES and handed over (see Handover).
  const std::size_t candidates = result->candidates.size();
  const bool split = candidates > 1 && thread_count(settings.threads) > 1;
  const std::size_t own = split ? (candidates + 1) / 2 : candidates;
  using Frames = std::vector<float>;  // interleaved, as read
  std::atomic<std::size_t> handed_programs{0};
  std::unique_ptr<Handover<Frames>> handover;
  if (split) {
    handover = std::make_unique<Handover<Frames>>([&](Frames& slot) {
      for (std::size_t i = own; i < candidates; ++i) {
        channel_reader_feed(*result->candidates[i].scanner,
                            slot.data() + result->candidates[i].channel, slot.size() / channels,
                            channels);
      }
      handed_programs.store(programs_found(own, candidates), std::memory_order_relaxed);
      slot.clear();
    });
  }

  const float* frames = nullptr;
  std::size_t count = 0;
  while ((settings.max_frames < 0 || result->frames < settings.max_frames) &&
         (count = input.read(&frames)) > 0) {
    result->frames += static_cast<std::int64_t>(count);
    if (handover) {
      // Handed over in slots of several chunks: a hand-over costs the threads a wake-up.
      Frames& slot = handover->to_fill();
      slot.insert(slot.end(), frames, frames + count * channels);
      if (slot.size() >= HANDED_FRAMES * channels) handover->send();
    }
    for (std::size_t i = 0; i < own; ++i) {
      Candidate& candidate = result->candidates[i];
      if (candidate.channel >= 0) {
        channel_reader_feed(*candidate.scanner, frames + candidate.channel, count, channels);
        continue;
      }
      take_channel(frames, count, channels, CHANNEL_MIX, mix.data());
      channel_reader_feed(*candidate.scanner, mix.data(), count, 1);
    }
    for (std::size_t c = 0; c < squares.size(); ++c) {
      for (std::size_t i = 0; i < count; ++i) {
        const double x = frames[i * channels + c];
        squares[c] += x * x;
      }
    }
    if (settings.progress != nullptr && progress_due(*settings.progress)) {
      progress_show(
          *settings.progress, "reading",
          static_cast<double>(result->frames) / std::max(1, info.rate),
          std::max(programs_found(0, own), handed_programs.load(std::memory_order_relaxed)));
    }
  }
  if (handover) {
    if (!handover->to_fill().empty()) handover->send();
    handover->finish();
  }
  for (const double sum : squares) {
    result->channel_rms.push_back(
        result->frames > 0 ? std::sqrt(sum / static_cast<double>(result->frames)) : 0);
  }

  // Candidates in channel order, falling before rising; only a strictly better one replaces.
  bool have_best = false;
  for (std::size_t i = 0; i < result->candidates.size(); ++i) {
    ChannelReader& scanner = *result->candidates[i].scanner;
    channel_reader_finish(scanner);
    for (const Polarity polarity : {POLARITY_FALLING, POLARITY_RISING}) {
      if (!polarity_allowed(settings.polarity, polarity)) continue;
      const TapeReading& reading = channel_reader_reading(scanner, polarity);
      // Between channels, where nothing verified, the pulse lengths may decide (see
      // better_channel_reading()); between the polarities of one channel they do not.
      if (!have_best ||
          (result->chosen == i ? better_reading(reading, result->reading())
                               : better_channel_reading(reading, result->reading()))) {
        result->chosen = i;
        result->polarity = polarity;
        have_best = true;
      }
    }
  }
  if (have_best) result->programs = result->reading().programs;
  return true;
}

unsigned thread_count(unsigned threads) {
  if (threads > 0) return threads;
  return std::clamp(std::thread::hardware_concurrency(), 2U, MAX_THREADS);
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

// How much of a signal is hum: two one-pole low-passes at HUM_HZ keep mains hum and its first
// harmonics and pass little of the tape's pulses (1 to 2 kHz). They run on the means of
// HUM_STEP samples (hum is far below even that rate), which keeps the cost to a sum.
constexpr double HUM_HZ = 150;
constexpr std::size_t HUM_STEP = 8;

struct HumMeter {
  double pole = 0;
  double low1 = 128, low2 = 128;
  double sum = 0, squares = 0, low_sum = 0, low_squares = 0;
  std::uint64_t count = 0, low_count = 0;
  std::uint32_t step_sum = 0;
  std::size_t step_count = 0;

  explicit HumMeter(int rate)
      : pole(1 - std::exp(-2 * std::numbers::pi * HUM_HZ * HUM_STEP / rate)) {}

  void feed(const std::uint8_t* bytes, std::size_t n) {
    std::uint64_t total = 0, total_squares = 0;
    for (std::size_t i = 0; i < n; ++i) {
      total += bytes[i];
      total_squares += std::uint64_t{bytes[i]} * bytes[i];
    }
    sum += static_cast<double>(total);
    squares += static_cast<double>(total_squares);
    count += n;
    for (std::size_t i = 0; i < n; ++i) {
      step_sum += bytes[i];
      if (++step_count < HUM_STEP) continue;
      const double x = static_cast<double>(step_sum) / HUM_STEP;
      step_sum = 0;
      step_count = 0;
      low1 += pole * (x - low1);
      low2 += pole * (low1 - low2);
      low_sum += low2;
      low_squares += low2 * low2;
      ++low_count;
    }
  }

  // The RMS of the low-passed signal against the signal's, both about their means.
  double ratio() const {
    if (count == 0 || low_count == 0) return 0;
    const auto n = static_cast<double>(count), m = static_cast<double>(low_count);
    const double all = squares / n - (sum / n) * (sum / n);
    const double low = low_squares / m - (low_sum / m) * (low_sum / m);
    return all > 0 ? std::sqrt(std::max(0.0, low) / all) : 0;
  }
};

// The decoder's trace is not wanted here: a stream that takes it and keeps nothing.
ssize_t discard(void* /*cookie*/, const char* /*data*/, std::size_t size) {
  return static_cast<ssize_t>(size);
}

}  // namespace

bool read_again_exactly(AudioInput& input, ScanResult* result, std::string* error,
                        Progress* progress, bool keep_soft, unsigned threads) {
  const unsigned used = thread_count(threads);
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
  chains.keep_soft = keep_soft;
  // Body copies are read apart, on a worker thread per core (see ChainReading::start).
  struct ChainScratch {
    ChainWork work;
    SoftWork soft;
  };
  JobPool<ChainJob, ChainScratch> pool(
      [](ChainJob& job, ChainScratch& scratch) { chain_job_run(job, scratch.work, scratch.soft); },
      used > 1 ? used : 0);
  if (used > 1) {
    chains.start = [&](ChainJob& job) { pool.start(job); };
    chains.wait = [&](ChainJob& job) { pool.wait(job); };
  }
  MarkFinder marks;
  chain_reading_marks(chains, marks);
  // The chain reading runs on a second thread, behind the exact reading and the mark search:
  // each slot carries prepared samples as the stream gave them, chunk by chunk, with the copy
  // starts the exact decoder saw and the tape marks found in each (see Handover). It takes them
  // exactly as it would in line.
  struct Piece {
    std::size_t bytes_end, starts_end, marks_end;  // in the slot's bytes, starts and marks
  };
  struct Prepared {
    std::vector<std::uint8_t> bytes;
    std::vector<ExactCopyStart> starts;
    std::vector<std::int64_t> marks;
    std::vector<Piece> pieces;
  };
  Handover<Prepared> handover(
      [&](Prepared& slot) {
        std::size_t bytes_from = 0, starts_from = 0, marks_from = 0;
        for (const Piece& piece : slot.pieces) {
          // A copy the first reading never found, where the exact decoder saw one begin, is decoded
          // too: a program only the exact decoder found is checked against its other copy.
          for (; starts_from < piece.starts_end; ++starts_from) {
            const ExactCopyStart& c = slot.starts[starts_from];
            chain_reading_add(chains, result->programs, c.block, c.copy, c.sample, c.size,
                              c.short_period);
          }
          chain_reading_feed(chains, slot.bytes.data() + bytes_from, piece.bytes_end - bytes_from,
                             slot.marks.data() + marks_from, piece.marks_end - marks_from);
          bytes_from = piece.bytes_end;
          marks_from = piece.marks_end;
        }
        slot.bytes.clear();
        slot.starts.clear();
        slot.marks.clear();
        slot.pieces.clear();
      },
      used > 1);
  HumMeter hum(stream.rate());
  const std::uint8_t* bytes = nullptr;
  std::size_t count = 0;
  std::size_t starts_seen = 0, marks_seen = 0;
  while (static_cast<double>(reader->samples) < limit && (count = stream.read(&bytes)) > 0) {
    exact_reader_feed(*reader, bytes, count);
    mark_finder_feed(marks, bytes, count);
    hum.feed(bytes, count);
    if (progress != nullptr) {
      progress_show(*progress, "second reading",
                    static_cast<double>(reader->samples) / stream.rate(), result->programs.size());
    }
    Prepared& slot = handover.to_fill();
    slot.starts.insert(slot.starts.end(),
                       reader->copy_starts.begin() + static_cast<std::ptrdiff_t>(starts_seen),
                       reader->copy_starts.end());
    starts_seen = reader->copy_starts.size();
    slot.marks.insert(slot.marks.end(),
                      marks.found.begin() + static_cast<std::ptrdiff_t>(marks_seen),
                      marks.found.end());
    marks_seen = marks.found.size();
    slot.bytes.insert(slot.bytes.end(), bytes, bytes + count);
    slot.pieces.push_back({slot.bytes.size(), slot.starts.size(), slot.marks.size()});
    if (slot.bytes.size() >= HANDED_SAMPLES) handover.send();
  }
  if (!handover.to_fill().pieces.empty()) handover.send();
  handover.finish();
  std::fclose(trace);
  chain_reading_finish(chains);
  adopt_second_reading(result->programs, reader->programs, chains);
  result->hum = hum.ratio();
  if (!input.error().empty()) {
    *error = input.error();
    return false;
  }
  return true;
}

ProgramReport program_report(const ScannedProgram& scanned) {
  ProgramReport program;
  program.time_seconds = scanned.time_seconds;
  std::memcpy(program.header, scanned.header, sizeof program.header);
  program.header_verdict = scanned.header_verdict;
  program.body_verdict = scanned.body_verdict;
  program.body_size = static_cast<std::uint32_t>(scanned.body.size());
  std::copy(&scanned.copies[0][0], &scanned.copies[0][0] + 4, &program.copies[0][0]);
  return program;
}

RecordingReport describe_recording(const std::string& path, const AudioInput& input,
                                   const ScanResult& result) {
  const AudioInfo& info = input.info();
  const TapeReading& reading = result.reading();
  RecordingReport report;
  report.path = path;
  report.opened = true;
  report.format = info.format;
  report.sample_rate = info.file_rate;
  report.channels = info.channels;
  report.seconds = static_cast<double>(result.frames) / info.rate;
  const int channel = result.candidates[result.chosen].channel;
  report.channel_used = channel >= 0 ? channel + 1 : 0;
  report.polarity = result.polarity;
  report.speed_percent = reading.speed_percent;
  report.level = result.level();
  report.diagnosis = diagnose(result);
  for (const ScannedProgram& scanned : result.programs) {
    report.programs.push_back(program_report(scanned));
  }
  std::copy(std::begin(reading.histogram), std::end(reading.histogram),
            std::begin(report.plot.histogram));
  report.plot.threshold_us = reading.threshold_us;
  report.plot.copies = reading.copies;
  // The timeline shows the copies as the record has them: with what the second reader made of
  // them, and the copies of programs only it found.
  for (const ScannedProgram& scanned : result.programs) {
    for (int block = 0; block < 2; ++block) {
      for (int k = 0; k < 2; ++k) {
        const CopyRecord& record = scanned.copies[block][k];
        if (record.outcome == COPY_NOT_READ) continue;
        const auto at = std::find_if(report.plot.copies.begin(), report.plot.copies.end(),
                                     [&](const BlockCopy& c) {
                                       return c.is_header == (block == 0) && c.copy == k + 1 &&
                                              c.start_seconds == record.start_seconds;
                                     });
        BlockCopy copy{block == 0,     k + 1,        record.start_seconds, record.end_seconds,
                       record.outcome, record.bytes, record.first_failing, record.gave};
        if (at != report.plot.copies.end()) {
          *at = copy;
        } else {
          report.plot.copies.push_back(copy);
        }
      }
    }
  }
  return report;
}

namespace {

// True when the file `name` in `directory_fd` holds exactly `header` then `body`.
bool holds(int directory_fd, const char* name, const ScannedProgram& program) {
  const int fd = ::openat(directory_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat status {};
  const std::size_t size = mzf::HEADER_SIZE + program.body.size();
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
  return same && std::equal(program.header, program.header + mzf::HEADER_SIZE, bytes.begin()) &&
         std::equal(program.body.begin(), program.body.end(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(mzf::HEADER_SIZE));
}

}  // namespace

std::string already_saved(int directory_fd, const mzf::MzfName& name, const ScannedProgram& program,
                          bool any_number) {
  if (holds(directory_fd, name.text, program)) return name.text;
  if (!any_number) return "";
  // The same name part and any number: "NAME#", digits, ".MZF".
  const std::string text = name.text;
  const std::size_t mark = text.rfind('#');
  if (mark == std::string::npos) return "";
  const std::string stem = text.substr(0, mark + 1);
  const std::string extension = mzf::MZF_EXTENSION;
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

int save_programs(const ScanResult& result, mzf::MzfWriter& writer, const SaveSettings& settings,
                  RecordingReport* report, std::FILE* errors) {
  int status = result.programs.empty() ? STATUS_NOT_SAVED : STATUS_OK;
  for (std::size_t i = 0; i < result.programs.size(); ++i) {
    const ScannedProgram& scanned = result.programs[i];
    ProgramReport& program = report->programs[i];
    // Every program takes a number, saved or not, so that names follow the tape.
    const std::int32_t number = mzf::mzf_take_number(writer);
    const bool verified = program_verified(program);
    if (!verified) status = std::max(status, STATUS_NOT_SAVED);
    if (!verified && !settings.keep_damaged) {
      program.not_saved = NotSaved::NOT_VERIFIED;
      continue;
    }
    const mzf::MzfName name = verified
                                  ? mzf::mzf_file_name(scanned.header, number)
                                  : mzf::mzf_file_name(scanned.header, number, DAMAGED_EXTENSION);
    // A run again over the same tapes changes nothing: the same program already saved in the
    // folder, under this number or another, is not written again.
    if (verified) {
      const std::string found =
          already_saved(writer.directory_fd, name, scanned, !writer.replace_existing);
      if (!found.empty()) {
        program.file = found;
        program.already = true;
        program.sha256 = file_sha256(scanned);
        continue;
      }
    }
    const mzf::MzfWriteResult written =
        mzf::mzf_write_named(writer, name, scanned.header, scanned.body.data(),
                             static_cast<std::uint32_t>(scanned.body.size()));
    const std::string name_shown = settings.directory_label + written.name.text;
    if (written.status == mzf::MZF_WRITTEN) {
      program.file = written.name.text;
      program.sha256 = file_sha256(scanned);
      struct stat saved {};
      if (settings.keep != nullptr &&
          ::fstatat(writer.directory_fd, written.name.text, &saved, AT_SYMLINK_NOFOLLOW) == 0) {
        settings.keep->push_back(mzf::FileIdentity{saved.st_dev, saved.st_ino});
        mzf::mzf_writer_whole_files(writer, settings.keep->data(), settings.keep->size());
      }
      continue;
    }
    status = STATUS_FAILED;
    std::string why;
    program.not_saved = NotSaved::WRITE_FAILED;
    if (written.status == mzf::MZF_EXISTS) {
      program.not_saved = NotSaved::CLASH;
      why = "exists; not overwritten (--force replaces it)";
    } else if (written.error == EBUSY) {
      program.not_saved = NotSaved::CLASH;
      why = placing_error(EBUSY);
    } else {
      why = std::string(written.status == mzf::MZF_WRITE_FAILED ? "cannot write: "
                                                                : "cannot create: ") +
            std::strerror(written.error);
    }
    program.save_error = why;
    std::fputs(message(name_shown, why).c_str(), errors);
  }
  return status;
}

namespace {

// Hum this strong against the signal (RMS, below about 150 Hz) is named in the diagnosis.
constexpr double HUM_NAMED = 0.2;
// Mixed channels this far below the loudest of them (RMS) cancel each other.
constexpr double CANCELLED = 0.25;

std::string decibels(double ratio) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f dB", 20 * std::log10(ratio));
  return text;
}

// What the pulse lengths seen say, when no program was found.
void diagnose_pulses(const ScanResult& result, bool cancelled, std::vector<std::string>& findings) {
  const TapeReading& reading = result.reading();
  const SignalLevel level = result.level();
  const int channel = result.candidates[result.chosen].channel;
  findings.push_back(
      "signal: peak " + dbfs_text(level.peak) + ", RMS " + dbfs_text(level.rms) +
      (channel >= 0 ? " on channel " + std::to_string(channel + 1) : " (channels mixed)"));
  if (!(level.peak > 0)) {
    if (!cancelled) findings.emplace_back("the recording is silent");
    return;
  }
  // The most common pulse lengths, and how many fall near the tape's short and long pulses.
  const auto [total, short_like, long_like] = pulse_shares(reading);
  std::vector<int> bins;
  for (int bin = 0; bin < HISTOGRAM_BINS; ++bin) {
    if (reading.histogram[bin] > 0) bins.push_back(bin);
  }
  std::sort(bins.begin(), bins.end(),
            [&](int a, int b) { return reading.histogram[a] > reading.histogram[b]; });
  if (total == 0) {
    findings.emplace_back(
        "no pulses seen: the signal never crosses its mid level in a regular way");
    return;
  }
  std::string seen = "pulse lengths seen most often:";
  for (std::size_t i = 0; i < bins.size() && i < 4; ++i) {
    char item[64];
    std::snprintf(item, sizeof item, "%s %.0f us (%llu)", i == 0 ? "" : ",",
                  (bins[i] + 0.5) * HISTOGRAM_BIN_US,
                  static_cast<unsigned long long>(reading.histogram[bins[i]]));
    seen += item;
  }
  findings.push_back(seen);
  // A tape has both: short pulses in its gaps and bits, long ones in marks and bytes.
  const bool tape_like =
      2 * (short_like + long_like) >= total && 10 * short_like >= total && 10 * long_like >= total;
  char nominal[64];
  std::snprintf(nominal, sizeof nominal, "about %.0f us short, %.0f us long", NOMINAL_SHORT_US,
                NOMINAL_LONG_US);
  findings.push_back(
      tape_like ? std::string("they look like this tape format's pulses (") + nominal +
                      "), but no block could be read: the tape may be too worn or "
                      "the capture distorted"
                : std::string("they do not look like this tape format's pulses (") + nominal + ")");
}

}  // namespace

std::vector<std::string> diagnose(const ScanResult& result) {
  double loudest = 0;
  std::size_t loudest_channel = 0;
  for (std::size_t c = 0; c < result.channel_rms.size(); ++c) {
    if (result.channel_rms[c] > loudest) {
      loudest = result.channel_rms[c];
      loudest_channel = c;
    }
  }
  const double mix = result.level().rms;
  const bool cancelled = result.channel_rms.size() > 1 && loudest > 0 && mix < CANCELLED * loudest;
  const bool hum = result.hum >= HUM_NAMED;
  std::vector<std::string> findings;
  if (result.programs.empty()) diagnose_pulses(result, cancelled, findings);
  if (hum) {
    findings.push_back("strong hum: what lies below about 150 Hz is at " + decibels(result.hum) +
                       " of the whole signal; it moves the pulses' edges");
  }
  if (cancelled) {
    const std::string channel = "channel " + std::to_string(loudest_channel + 1);
    findings.push_back("the channels cancel when mixed (one is inverted or delayed): the mix is " +
                       (mix > 0 ? "at " + decibels(mix / loudest) + " of " + channel + " alone"
                                : "silent, " + channel + " alone is not"));
  }
  if (findings.empty() || !second_reading_wanted(result)) return findings;
  std::string advice = "try:";
  if (cancelled) advice += " one channel (--channel " + std::to_string(loudest_channel + 1) + "),";
  if (hum) advice += " a capture without the hum or a high-pass filter at about 200 Hz,";
  if (!cancelled && !hum) {
    advice += " another channel (--channel N or --channel mix), a louder capture,";
  }
  findings.push_back(advice + " and check that the recording is a tape of this format");
  return findings;
}

std::string diagnosis_message(const std::string& path, const ScanResult& result,
                              const std::vector<std::string>& findings) {
  if (findings.empty()) return "";
  const char* what = result.programs.empty()         ? "no program found"
                     : second_reading_wanted(result) ? "not every program verified"
                                                     : "note";
  std::string text = message(path, what);
  for (const std::string& finding : findings) text += "  " + finding + "\n";
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
  std::vector<mzf::FileIdentity> keep;
  for (const std::string& path : options.recordings) {
    struct stat recording {};
    if (::stat(path.c_str(), &recording) == 0) {
      keep.push_back(mzf::FileIdentity{recording.st_dev, recording.st_ino});
    }
  }
  mzf::MzfWriter writer;
  mzf::mzf_writer_init(writer, directory_fd, options.force);
  mzf::mzf_writer_whole_files(writer, keep.data(), keep.size());
  const auto rules = [&] { return OutputRules{options.force, keep.data(), keep.size()}; };
  // A file written by a rule joins the files to keep.
  const auto written_file = [&](const wholefile::Identity& placed) {
    keep.push_back(placed);
    mzf::mzf_writer_whole_files(writer, keep.data(), keep.size());
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
  settings.threads = options.threads;

  Progress progress;
  progress.out = options.progress ? errors : nullptr;
  progress.after_seconds = options.progress_after_seconds;
  settings.progress = &progress;

  bool failed = false, not_saved = false;
  std::vector<RecordingReport> reports;
  // With same_tape: each capture's programs, and the index of its report.
  std::vector<std::vector<ScannedProgram>> captures;
  std::vector<std::size_t> capture_of;
  for (const std::string& path : options.recordings) {
    AudioInput input;
    std::string why;
    ScanResult result;
    const bool opened = input.open_file(path, true, &why);
    if (opened) {
      const AudioInfo& info = input.info();
      progress_start(progress, path,
                     info.endless ? 0 : static_cast<double>(info.frames) / info.file_rate);
    }
    if (!opened || !scan_audio(input, settings, &result, &why)) {
      progress_end(progress);
      std::fputs(message(path, why).c_str(), errors);
      failed = true;
      // Every recording given has its place in the record, read or not.
      RecordingReport unread;
      unread.path = path;
      unread.error = why;
      reports.push_back(std::move(unread));
      continue;
    }
    std::string read_error;
    if (!input.error().empty()) {
      read_error = input.error() + "; what was read is reported";
      failed = true;
    }
    if (second_reading_wanted(result)) {
      // The second reader reads the recording again from its start.
      AudioInput again;
      const bool read_again =
          again.open_again(input, false, &why) &&
          read_again_exactly(again, &result, &why, &progress, options.same_tape, options.threads);
      // The end of a cut-off file is said once, by the first reading.
      if (!read_again && why != input.error()) {
        read_error += (read_error.empty() ? "" : "; ") + ("second reading: " + why);
        failed = true;
      }
    }
    progress_end(progress);
    if (!read_error.empty()) std::fputs(message(path, read_error).c_str(), errors);
    if (input.info().endless) {
      std::fputs(message(path,
                         "its header declares no end (as a stream's does); read to the end "
                         "of the data")
                     .c_str(),
                 errors);
    }
    RecordingReport report = describe_recording(path, input, result);
    report.error = read_error;
    if (options.same_tape) {
      // Saved once for the tape, below.
      captures.push_back(std::move(result.programs));
      capture_of.push_back(reports.size());
    } else {
      const int status = save_programs(result, writer, save, &report, errors);
      failed = failed || status == STATUS_FAILED;
      not_saved = not_saved || status == STATUS_NOT_SAVED ||
                  std::any_of(report.programs.begin(), report.programs.end(),
                              [](const ProgramReport& p) { return !program_verified(p); });
    }
    std::fputs(diagnosis_message(path, result, report.diagnosis).c_str(), errors);
    if (!options.wav_path.empty()) {
      wholefile::Identity placed{};
      if (write_prepared_wav(input, path, options.wav_path, prepared_signal(result), rules(),
                             &placed, &why)) {
        written_file(placed);
      } else {
        std::fputs(("mzfscan: " + shown(why) + "\n").c_str(), errors);
        failed = true;
      }
    }
    if (!options.json) std::fputs(table_text(report).c_str(), out);
    std::fflush(out);
    report.plot.copies.shrink_to_fit();
    reports.push_back(std::move(report));
  }
  TapeReport tape;
  Summary summary;
  if (options.same_tape) {
    // One program per header, saved once; the summary counts the tape's programs.
    ScanResult combined;
    RecordingReport saved;
    const std::vector<TapeProgram> programs = combine_captures(captures);
    for (const TapeProgram& t : programs) {
      combined.programs.push_back(t.program);
      saved.programs.push_back(program_report(t.program));
      std::vector<std::size_t> sources;
      for (const auto& [capture, index] : t.sources) sources.push_back(capture_of[capture]);
      tape.sources.push_back(sources);
      std::vector<std::array<std::vector<std::pair<std::uint32_t, std::uint32_t>>, 2>> gave;
      for (const auto& copies : t.gave) {
        gave.emplace_back();
        for (int k = 0; k < 2; ++k) {
          for (const ByteRange& r : copies[static_cast<std::size_t>(k)]) {
            gave.back()[static_cast<std::size_t>(k)].emplace_back(r.from, r.to);
          }
        }
      }
      tape.gave.push_back(std::move(gave));
    }
    const int status = save_programs(combined, writer, save, &saved, errors);
    failed = failed || status == STATUS_FAILED;
    tape.programs = std::move(saved.programs);
    // A program of a capture whose header none verified is not on the tape's list.
    const bool unmatched = std::any_of(captures.begin(), captures.end(), [](const auto& c) {
      return std::any_of(c.begin(), c.end(), [](const ScannedProgram& p) {
        return !verdict_verified(p.header_verdict);
      });
    });
    not_saved = not_saved || unmatched || tape.programs.empty() ||
                std::any_of(tape.programs.begin(), tape.programs.end(),
                            [](const ProgramReport& p) { return !program_verified(p); });
    RecordingReport whole;
    whole.programs = tape.programs;
    summary = summarize({whole});
    for (const RecordingReport& r : reports) summary.unreadable += r.opened ? 0 : 1;
    if (!options.json) std::fputs(tape_table_text(tape, reports).c_str(), out);
  } else {
    summary = summarize(reports);
  }
  ::close(directory_fd);

  if (options.json) {
    std::fputs(
        (report_json(reports, summary, options.same_tape ? &tape : nullptr).dump(2) + "\n").c_str(),
        out);
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
