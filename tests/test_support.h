// Helpers shared by the tests: temporary directories, files, period sequences in the tape
// format, running the program as a child process, and the trace a block should print.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/tapesynth.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under TMPDIR, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& data);
bool file_exists(const std::string& path);
// Names of the entries of a directory, sorted.
std::vector<std::string> list_dir(const std::string& path);

// Where the shared corpus lies; empty when it is not there.
std::string corpus_dir();

// A 128-byte header with the given name (0x0D-terminated when shorter than 17), body length
// and addresses.
Bytes make_header(const std::string& name, std::uint16_t length, std::uint16_t load = 0x1200,
                  std::uint16_t exec = 0x1200);
tapesynth::Program make_program(const std::string& name, const Bytes& body);
// Bytes of pseudo-random content, the same for the same seed.
Bytes pattern(std::size_t size, std::uint32_t seed);
// The MZF file of a program: header, then body.
Bytes mzf_of(const tapesynth::Program& program);

// Pulse periods as the detector reports them for a clean recording.
struct Periods {
  int short_period = 24;
  int long_period = 46;
  std::vector<std::int64_t> list;

  Periods& add(std::int64_t period, int count = 1);
  Periods& gap(int count) { return add(short_period, count); }
  Periods& longs(int count) { return add(long_period, count); }
  Periods& byte(std::uint8_t value);
  Periods& block(const Bytes& bytes);  // bytes, then their checksum, high byte first
  // Gap, 40/40 mark, long pulse, header block, closing long pulse.
  Periods& header(const Bytes& header_record);
  // Gap, 20/20 mark, long pulse, body block, closing long pulse.
  Periods& body(const Bytes& body);
};

// The bytes followed by their checksum, high byte first, as a block stands on tape.
Bytes with_checksum(Bytes data);

// Options for small recordings: gaps this short are still long enough for the decoders (about a
// hundred steady pulses), and the rest is as tapesynth makes it by default.
tapesynth::SynthOptions quick_options(int rate = 48000, int long_gap = 400, int short_gap = 300,
                                      double silence_between = 0.5);

// Records what precedes a body on tape: gap, 40/40 mark, the header block, then a gap and the
// 20/20 mark with its long pulse, so that the next byte recorded is the body's first.
void record_until_body(tapesynth::Recorder& recorder, const Bytes& header);

// `body` with a one and a zero of byte 5 swapped: other bytes, the same checksum.
Bytes same_checksum_other(const Bytes& body);

// A tape of `program` whose two body copies both pass their checksums: the first holds its body,
// the second same_checksum_other() of it.
tapesynth::Recorder record_conflicting_copies(const tapesynth::Program& program,
                                              const tapesynth::SynthOptions& options);

// The trace a complete block prints: its dump and its checksum lines.
std::string block_trace(const Bytes& data, bool body, bool checksum_ok = true);

// Result of running the program.
struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output
  std::string err;  // standard error
};

struct RunOptions {
  std::string cwd;               // working directory of the child
  std::string stdout_path;       // send standard output here instead of capturing it
  long file_size_limit = -1;     // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
  bool no_program_name = false;  // start the program with an empty argument list
};

// Runs mzfextract with `args` (not including the program name) and waits for it.
RunResult run_mzfextract(const std::vector<std::string>& args, const RunOptions& options);

// Writes a recording of `programs` as a WAV file.
void write_recording(const std::string& path, const std::vector<tapesynth::Program>& programs,
                     const tapesynth::SynthOptions& options);

}  // namespace testing_support
