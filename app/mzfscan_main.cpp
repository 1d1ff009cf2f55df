// mzfscan: rescues the programs of cassette recordings in any common audio format, verifying
// every block, and reports what is on each tape. See man/mzfscan.1.
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "output/whole_file.h"
#include "run/mzfscan_run.h"

namespace {

constexpr char VERSION[] = "mzfscan 1.0";

// "auto", "mix" or a channel number from 1; returns an empty string when valid.
std::string check_channel(const std::string& text) {
  if (text == "auto" || text == "mix") return "";
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text.c_str(), &end, 10);
  const bool valid = !text.empty() && text[0] != '+' && text[0] != '-' && *end == '\0' &&
                     errno == 0 && number >= 1 && number <= mzfscan::AUDIO_CHANNELS_MAX;
  return valid ? "" : "must be auto, mix or a channel number from 1";
}

int channel_choice(const std::string& text) {
  if (text == "auto") return mzfscan::CHANNEL_AUTO;
  if (text == "mix") return mzfscan::CHANNEL_MIX;
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10)) - 1;
}

// Everything printed must have reached standard output; a full disk is an error, not success.
int finish_output(int status) {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return status;
  std::fprintf(stderr, "mzfscan: standard output: cannot write\n");
  return mzfscan::STATUS_FAILED;
}

int run(int argc, char** argv) {
  CLI::App app{
      "Reads cassette recordings of MZF programs in any common audio format, saves every program "
      "it can verify as an MZF file and reports what is on each tape.",
      "mzfscan"};
  app.footer(
      "Exit status: 0 every program found was saved verified; 1 a recording could not be read or "
      "a file not written; 2 usage error; 3 a program is damaged or nothing was found.\n");
  mzfscan::RunOptions options;
  std::string channel = "auto", polarity = "auto";
  app.set_version_flag("--version", VERSION);
  app.add_option("RECORDING", options.recordings,
                 "recordings to read (WAV, RF64, AIFF, FLAC, Ogg, MP3; - for standard input)")
      ->required();
  app.add_option("-o", options.output_directory,
                 "directory for the MZF files (default: the current one; created if missing)")
      ->option_text("DIR");
  app.add_flag("--json", options.json, "print the report as JSON instead of the table");
  app.add_option("--channel", channel, "channel to read: auto, mix or a number from 1 (auto)")
      ->check(CLI::Validator(check_channel, "auto|mix|N", "channel"));
  app.add_option("--polarity", polarity, "pulse polarity: auto, falling or rising (auto)")
      ->check(CLI::IsMember({"auto", "falling", "rising"}));
  app.add_flag("--keep-damaged", options.keep_damaged,
               "also save unverified programs, as NAME#NNN.DAMAGED.MZF");
  app.add_flag("--force", options.force, "overwrite existing files");
  app.add_flag("--same-tape", options.same_tape,
               "the recordings are captures of one tape: save each program once, joining its "
               "copies from all of them");
  app.add_option("--wav", options.wav_path,
                 "write the prepared recording (8-bit mono) for mzfextract; one recording only")
      ->option_text("OUT.wav");
  app.add_option("--plot", options.plot_path, "draw pulse lengths and blocks as SVG")
      ->option_text("OUT.svg");
  app.add_option("--threads", options.threads,
                 "worker threads for body copies; 1 reads everything on the main thread "
                 "alone (default: one per core, 2 to 4); the results are the same")
      ->check(CLI::Range(1U, 64U))
      ->option_text("N");
  try {
    app.parse(argc, argv);
    if (!options.wav_path.empty() && options.recordings.size() != 1) {
      throw CLI::ValidationError("--wav", "takes exactly one recording");
    }
  } catch (const CLI::Success& success) {
    return finish_output(app.exit(success));
  } catch (const CLI::ParseError& error) {
    app.exit(error);
    return mzfscan::STATUS_USAGE;
  }
  options.channel = channel_choice(channel);
  // Progress is for a person watching: never into a file or a pipe.
  options.progress = ::isatty(STDERR_FILENO) == 1;
  options.polarity = polarity == "auto"      ? mzfscan::POLARITY_AUTO
                     : polarity == "falling" ? mzfscan::POLARITY_FALLING
                                             : mzfscan::POLARITY_RISING;
  return finish_output(mzfscan::run_scan(options, stdout, stderr));
}

}  // namespace

int main(int argc, char** argv) {
  // An interrupt leaves no partial output behind, under any name.
  wholefile::remove_on_interrupt();
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "mzfscan: %s\n", error.what());
  } catch (...) {
    std::fputs("mzfscan: unexpected failure\n", stderr);
  }
  return mzfscan::STATUS_FAILED;
}
