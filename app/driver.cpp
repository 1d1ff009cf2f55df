#include "app/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "mzf/mzf_output.h"
#include "signal/pulse_detector.h"
#include "tape/tape_decoder.h"

namespace mzfextract {

namespace {

// Saves the program the decoder has just completed. Returns the exit status it implies.
int save_program(MzfWriter& writer, const ProgramView& program) {
  const MzfWriteResult result =
      mzf_write(writer, program.header, program.body, program.body_length);
  if (result.status == MZF_WRITTEN) return 0;
  const char* what =
      result.status == MZF_WRITE_FAILED ? "Nelze zapsat soubor" : "Nelze vytvorit soubor";
  std::fprintf(stderr, "%s %s: %s\n", what, result.name.text, std::strerror(result.error));
  return 1;
}

// Reads up to one chunk, retrying reads interrupted by a signal. Returns what read() returned.
ssize_t read_chunk(int fd, std::uint8_t* chunk) {
  ssize_t count = 0;
  do {
    count = ::read(fd, chunk, READ_CHUNK);
  } while (count < 0 && errno == EINTR);
  return count;
}

}  // namespace

int convert_recording(int input_fd, std::FILE* trace) {
  PulseDetector detector;
  pulse_detector_init(detector);
  // The decoder holds a whole body: one allocation for the run keeps it off the stack.
  const std::unique_ptr<TapeDecoder> decoder(new (std::nothrow) TapeDecoder);
  if (!decoder) {
    std::fputs("Nelze alokovat pamet\n", stderr);
    return 1;
  }
  tape_decoder_init(*decoder, trace);

  // Files go into the current directory, replacing files of the same name, but the recording
  // itself must never be overwritten by an output file of the same name.
  MzfWriter writer;
  mzf_writer_init(writer, AT_FDCWD, true);
  struct stat input_status {};
  if (::fstat(input_fd, &input_status) == 0) {
    const FileIdentity input{input_status.st_dev, input_status.st_ino};
    mzf_writer_keep(writer, &input);
  }

  int status = 0;
  std::uint8_t chunk[READ_CHUNK];
  // Room for every crossing of a full chunk, so that each chunk is taken whole.
  Crossing crossings[max_crossings(READ_CHUNK)];
  std::int64_t samples_before_chunk = 0;
  ssize_t count = 0;
  while ((count = read_chunk(input_fd, chunk)) > 0) {
    const ChunkScan scan = detect_chunk(detector, chunk, static_cast<std::size_t>(count), crossings,
                                        max_crossings(READ_CHUNK));
    for (std::size_t i = 0; i < scan.crossings; ++i) {
      // Sample numbers are 1-based.
      const std::int64_t sample_number = samples_before_chunk + crossings[i].index + 1;
      if (on_period(*decoder, crossings[i].period, sample_number) == TAPE_PROGRAM_COMPLETE) {
        status |= save_program(writer, finished_program(*decoder));
      }
    }
    samples_before_chunk += count;
  }
  if (count < 0) {
    std::perror("Chyba cteni souboru");
    status = 1;
  }
  return status;
}

}  // namespace mzfextract
