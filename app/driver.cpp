#include "app/driver.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "app/chunk_reader.h"
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

}  // namespace

int convert_recording_along(ReadMode mode, int input_fd, std::FILE* trace) {
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
  ChunkReader reader(input_fd, mode);
  // Each chunk is taken with the bytes the detector left over from the one before (fewer than
  // STREAM_LOOKAHEAD) put right in front of it, so that its windows never straddle two reads.
  static_assert(STREAM_LOOKAHEAD <= CHUNK_HEADROOM);
  std::uint8_t leftover[STREAM_LOOKAHEAD];
  std::size_t carried = 0;
  // Room for every crossing of a full buffer, so that each is taken whole.
  constexpr std::size_t CAPACITY = max_crossings(STREAM_LOOKAHEAD + MOST_CHUNK_BYTES);
  Crossing crossings[CAPACITY];
  std::int64_t samples_before_buffer = 0;
  int read_error = 0;
  for (;;) {
    const Chunk chunk = reader.next();
    if (chunk.count < 0) read_error = chunk.error;
    const bool at_end = chunk.count <= 0;
    std::uint8_t* const buffer = chunk.bytes - carried;
    std::memcpy(buffer, leftover, carried);
    const std::size_t available = carried + (at_end ? 0 : static_cast<std::size_t>(chunk.count));
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
    std::memcpy(leftover, buffer + scan.consumed, carried);
  }
  if (read_error != 0) {
    std::fprintf(stderr, "Chyba cteni souboru: %s\n", std::strerror(read_error));
    status = 1;
  }
  return status;
}

int convert_recording(int input_fd, std::FILE* trace) {
  return convert_recording_along(ReadMode::AHEAD, input_fd, trace);
}

}  // namespace mzfextract
