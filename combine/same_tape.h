// Several captures of one tape (two decks, two passes): their programs matched by header, and
// each body taken from a capture that verified it or joined from the soft readings of every
// copy in every capture.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "reader/tape_reader.h"
#include "soft/soft_reading.h"

namespace mzfscan {

// A program of the tape: as it is saved, and where it was read.
struct TapeProgram {
  ScannedProgram program;
  // Every capture it was read in, in order: the capture's index and the program's index in it.
  std::vector<std::array<std::size_t, 2>> sources;
  // Of a body joined across captures: per source, per copy, the bytes it read cleanly as taken.
  std::vector<std::array<std::vector<ByteRange>, 2>> gave;
};

// Combines the programs of `captures` (each one recording's, in tape order, with the soft
// readings of blocks it left unverified): programs whose headers verified and agree (type,
// name, size and addresses) are one program, in the order they first appear. Its body is a
// verified one (the same in every capture that verified it, else a conflict), or else the
// decision of soft_decide() over every copy of every capture, or else damaged. Programs whose
// header no capture verified are left out.
std::vector<TapeProgram> combine_captures(const std::vector<std::vector<ScannedProgram>>& captures);

}  // namespace mzfscan
