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
#include "tape/decoder_ride.h"
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

// Hands the crossings of a buffer whose first sample follows `samples_before` others to the
// decoder, saving every program it completes. Returns the exit status that implies.
int decode_crossings(TapeDecoder& decoder, MzfWriter& writer, const Crossing* crossings,
                     std::size_t count, std::int64_t samples_before) {
  int status = 0;
  for (std::size_t i = 0; i < count;) {
    int event = TAPE_NO_EVENT;
    i += on_crossings(decoder, crossings + i, count - i, samples_before, &event);
    if (event == TAPE_PROGRAM_COMPLETE) status |= save_program(writer, finished_program(decoder));
  }
  return status;
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
  // Each read appends one chunk to the bytes the detector left over from the one before (fewer
  // than STREAM_LOOKAHEAD), so that its windows never straddle two reads.
  std::uint8_t buffer[STREAM_LOOKAHEAD + READ_CHUNK];
  std::size_t carried = 0;
  // Room for every crossing of a full buffer, so that each is taken whole.
  constexpr std::size_t CAPACITY = max_crossings(sizeof buffer);
  Crossing crossings[CAPACITY];
  std::int64_t samples_before_buffer = 0;
  int read_error = 0;
  for (;;) {
    const ssize_t count = read_chunk(input_fd, buffer + carried);
    // Kept at once: decoding what is left and saving it may change errno before it is reported.
    if (count < 0) read_error = errno;
    const bool at_end = count <= 0;
    const std::size_t available = carried + (at_end ? 0 : static_cast<std::size_t>(count));
    // At the end of the input (or a read error) the bytes left over are taken as they are.
    // Otherwise, while the decoder seeks a gap or reads a block, it takes the crossings as the
    // detector finds them where it can, and only the rest are stored for it; a program it
    // completes on the way is saved first.
    ChunkScan scan{};
    if (at_end) {
      scan = detect_chunk(detector, buffer, available, crossings, CAPACITY);
    } else if (decoder_can_ride(*decoder) && decoder_ride_available()) {
      int event = TAPE_NO_EVENT;
      scan = detect_with_decoder(detector, *decoder, buffer, available, crossings, CAPACITY,
                                 samples_before_buffer, &event);
      if (event == TAPE_PROGRAM_COMPLETE)
        status |= save_program(writer, finished_program(*decoder));
    } else {
      scan = detect_stream(detector, buffer, available, crossings, CAPACITY);
    }
    status |= decode_crossings(*decoder, writer, crossings, scan.crossings, samples_before_buffer);
    samples_before_buffer += static_cast<std::int64_t>(scan.consumed);
    carried = available - scan.consumed;
    if (at_end) break;
    std::memmove(buffer, buffer + scan.consumed, carried);
  }
  if (read_error != 0) {
    std::fprintf(stderr, "Chyba cteni souboru: %s\n", std::strerror(read_error));
    status = 1;
  }
  return status;
}

}  // namespace mzfextract
