// The conversion run: reads a recording from its first byte to its end, passes every sample
// through the pulse detector and every period through the tape decoder, and saves each
// program the decoder completes as an MZF file in the current directory.
#pragma once

#include <cstdio>

#include "app/chunk_reader.h"

namespace mzfextract {

// Converts the recording open for reading on `input_fd`, printing the trace to `trace` and
// errors to standard error. Every error is reported and decoding goes on where it can.
// Returns the exit status: 0 when everything was read, written and printed, otherwise 1.
// Each call is a run of its own (numbering starts at 001); calls share no state.
// The recording is read ahead on a second thread where one can be started (see ChunkReader).
int convert_recording(int input_fd, std::FILE* trace);

// convert_recording() with the recording read the given way; both print, write and return the
// same.
int convert_recording_along(ReadMode mode, int input_fd, std::FILE* trace);

}  // namespace mzfextract
