// The conversion run of mzfextract: reads a recording from where its descriptor stands to its
// end, 2048 bytes at a time, through the converter, saves each program it completes as an MZF
// file and words every error.
#pragma once

#include <cstdio>

namespace mzfextract {

// Converts the recording open for reading on `input_fd`: the trace goes to `trace`, errors to
// `errors`, the MZF files into the directory open on `directory_fd` (AT_FDCWD: the current
// one), replacing files of the same name but never the recording itself. Every error is
// reported and decoding goes on where it can. Returns the exit status: 0 when everything was
// read, written and printed, otherwise 1. Each call is a run of its own (numbering starts at
// 001); calls share no state.
int convert_recording(int input_fd, int directory_fd, std::FILE* trace, std::FILE* errors);

}  // namespace mzfextract
