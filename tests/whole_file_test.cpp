// mzfscan never overwrites what an archivist has: outputs appear whole under their names, replace
// an existing name only with --force (the name itself, never a link's target), and never replace
// a recording of the run or a file the run wrote.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "run/mzfscan_run.h"
#include "tests/test_support.h"

using namespace testing_support;

namespace {

struct Outcome {
  int status;
  std::string errors;
};

Outcome run(mzfscan::RunOptions options) {
  std::FILE* out = std::tmpfile();
  std::FILE* errors = std::tmpfile();
  Outcome outcome{mzfscan::run_scan(options, out, errors), ""};
  std::rewind(errors);
  char line[512];
  while (std::fgets(line, sizeof line, errors) != nullptr) outcome.errors += line;
  std::fclose(out);
  std::fclose(errors);
  return outcome;
}

bool no_temporaries(const std::string& directory) {
  for (const std::string& name : list_dir(directory)) {
    if (name.rfind('.', 0) == 0) return false;
  }
  return true;
}

TEST(WholeFiles, NothingOfTheArchivistsIsOverwritten) {
  const tapesynth::Program program = make_program("KEEP", pattern(40, 2));
  const Bytes saved = mzf_of(program);
  const Bytes precious = {'k', 'e', 'e', 'p'};
  const std::string mzf_name = "KEEP_____________#001.MZF";
  struct Case {
    const char* label;
    bool force;
    const char* plot;  // "tape" names the recording, "mzf" the file the run saves
    const char* wav;
    const char* at_name;  // what stands at the MZF's name before the run: "", "file", "link"
    int status;
    bool mzf_saved;      // the program's file is at its name after the run
    bool precious_kept;  // the file or link target that stood there is unchanged
  };
  const Case cases[] = {
      {"plot onto the recording", false, "tape", "", "", 1, true, true},
      {"plot onto the recording, forced", true, "tape", "", "", 1, true, true},
      {"wav onto the saved file, forced", true, "", "mzf", "", 1, true, true},
      {"plot onto an existing file", false, "other", "", "", 1, true, true},
      {"plot onto an existing file, forced", true, "other", "", "", 0, true, false},
      {"an existing file at the name", false, "", "", "file", 1, false, true},
      {"an existing file at the name, forced", true, "", "", "file", 0, true, false},
      {"a link at the name, forced", true, "", "", "link", 0, true, true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string tape = dir.file("tape.wav"), out = dir.file("out");
    write_recording(tape, {program}, quick_options(44100, 600, 400, 0.2));
    const Bytes recording = read_file(tape);
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    const std::string other = dir.file("other"), target = dir.file("outside");
    write_file(other, precious);
    write_file(target, precious);
    const std::string at = out + "/" + mzf_name;
    if (std::string(c.at_name) == "file") write_file(at, precious);
    if (std::string(c.at_name) == "link") {
      ASSERT_EQ(::symlink(target.c_str(), at.c_str()), 0);
    }
    mzfscan::RunOptions options;
    options.recordings = {tape};
    options.output_directory = out;
    options.force = c.force;
    const auto path_of = [&](const std::string& which) {
      if (which == "tape") return tape;
      if (which == "mzf") return at;
      if (which == "other") return other;
      return std::string();
    };
    options.plot_path = path_of(c.plot);
    options.wav_path = path_of(c.wav);
    const Outcome outcome = run(options);
    EXPECT_EQ(outcome.status, c.status) << c.label << "\n" << outcome.errors;
    EXPECT_EQ(read_file(tape), recording) << c.label;
    EXPECT_EQ(read_file(at) == saved, c.mzf_saved) << c.label;
    const std::string stood = std::string(c.at_name) == "file" ? at : path_of(c.plot);
    if (!stood.empty() && stood != tape) {
      EXPECT_EQ(read_file(stood) == precious, c.precious_kept) << c.label;
    }
    EXPECT_EQ(read_file(target), precious) << c.label;
    struct stat link {};
    if (std::string(c.at_name) == "link") {
      ASSERT_EQ(::lstat(at.c_str(), &link), 0);
      EXPECT_FALSE(S_ISLNK(link.st_mode)) << c.label << ": the link itself is replaced";
    }
    EXPECT_TRUE(no_temporaries(out) && no_temporaries(dir.path())) << c.label;
  }
}

}  // namespace
